/*
 * A minimal coupling host: creates the four shared objects, starts
 * `quorrel --zenvik-worker` on them and drives it through INIT, READ_INPUT,
 * BUILD_MODEL, three ADVANCE steps (dt 0: the worker takes the stable step) and STOP,
 * checking every acknowledgement. It removes its objects at the end, whatever happened.
 *
 *   worker_host path/to/quorrel model.inp
 *
 * The worker writes its log (worker_host.log) and its two CSV reports into the working
 * directory. Exit status 0 when every command was acknowledged with OK and the worker
 * exited with 0.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* The command block: 176 bytes, fields at fixed offsets. */
enum {
    BLOCK_BYTES = 176,
    OFF_VERSION = 0,
    OFF_SEQUENCE = 4,
    OFF_COMMAND = 8,
    OFF_STEP_ID = 20,
    OFF_DT = 24,
    OFF_ACK_SEQUENCE = 32,
    OFF_WORKER_STATE = 36,
    OFF_ERROR_CODE = 40,
    OFF_MESSAGE = 44,
    MESSAGE_BYTES = 128
};
/* The data block must be at least this large, even when nothing is exchanged. */
#define DATA_BYTES 1245344

enum { INIT = 1, READ_INPUT = 2, BUILD_MODEL = 3, ADVANCE = 6, STOP = 8 };
static const char* const state_names[] = {"CREATED", "READY", "RUNNING", "DONE", "ERROR", "STOPPED"};

/* How long the host waits for any one answer, and what it tells the worker to wait. */
#define ANSWER_SECONDS 120
#define WORKER_TIMEOUT_MS "120000"

static char names[4][96]; /* command, data, command_event, done_event: "/" + base + suffix */
static unsigned char* block = NULL;
static sem_t* command_event = SEM_FAILED;
static sem_t* done_event = SEM_FAILED;

static void remove_objects(void) {
    shm_unlink(names[0]);
    shm_unlink(names[1]);
    sem_unlink(names[2]);
    sem_unlink(names[3]);
}

/* A zero-filled shared-memory object of `bytes`, mapped when `view` is given. */
static int create_mapping(const char* name, size_t bytes, unsigned char** view) {
    int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    int ok;
    if (fd < 0) return -1;
    ok = ftruncate(fd, (off_t)bytes) == 0;
    if (ok && view != NULL) {
        void* p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ok = p != MAP_FAILED;
        if (ok) *view = (unsigned char*)p;
    }
    close(fd);
    return ok ? 0 : -1;
}

static int32_t get_i32(size_t offset) {
    int32_t v;
    memcpy(&v, block + offset, sizeof v);
    return v;
}

static void set_i32(size_t offset, int32_t v) { memcpy(block + offset, &v, sizeof v); }

/* One post of the done event, or -1 after ANSWER_SECONDS. */
static int await_done(void) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ANSWER_SECONDS;
    while (sem_timedwait(done_event, &deadline) != 0)
        if (errno != EINTR) return -1;
    return 0;
}

static void print_answer(const char* what) {
    char message[MESSAGE_BYTES + 1];
    const int32_t state = get_i32(OFF_WORKER_STATE);
    memcpy(message, block + OFF_MESSAGE, MESSAGE_BYTES);
    message[MESSAGE_BYTES] = '\0';
    printf("%-12s ack_sequence %d, state %s, error %d (%s)\n", what, (int)get_i32(OFF_ACK_SEQUENCE),
           state >= 0 && state <= 5 ? state_names[state] : "?", (int)get_i32(OFF_ERROR_CODE), message);
}

/* Sends one command and checks that it was acknowledged with OK in `want_state`. */
static int send_command(int sequence, int command, const char* what, int want_state) {
    const double dt = 0.0;
    set_i32(OFF_VERSION, 1);
    set_i32(OFF_SEQUENCE, sequence);
    set_i32(OFF_COMMAND, command);
    set_i32(OFF_STEP_ID, sequence);
    memcpy(block + OFF_DT, &dt, sizeof dt);
    if (sem_post(command_event) != 0 || await_done() != 0) {
        fprintf(stderr, "%s: no acknowledgement\n", what);
        return -1;
    }
    print_answer(what);
    if (get_i32(OFF_ACK_SEQUENCE) != sequence || get_i32(OFF_ERROR_CODE) != 0 ||
        get_i32(OFF_WORKER_STATE) != want_state) {
        fprintf(stderr, "%s: not acknowledged as expected\n", what);
        return -1;
    }
    return 0;
}

static int drive(const char* quorrel, const char* deck, const char* base, pid_t* worker) {
    static const char* const suffixes[4] = {"command", "data", "command_event", "done_event"};
    int k, sequence = 0;
    for (k = 0; k < 4; ++k) snprintf(names[k], sizeof names[k], "/%s.%s", base, suffixes[k]);
    /* Names outlive their creator: clear what an earlier host may have left, then create
       all four afresh. */
    remove_objects();
    if (create_mapping(names[0], BLOCK_BYTES, &block) != 0 || create_mapping(names[1], DATA_BYTES, NULL) != 0)
        return -1;
    command_event = sem_open(names[2], O_CREAT | O_EXCL, 0600, 0);
    done_event = sem_open(names[3], O_CREAT | O_EXCL, 0600, 0);
    if (command_event == SEM_FAILED || done_event == SEM_FAILED) return -1;

    *worker = fork();
    if (*worker < 0) return -1;
    if (*worker == 0) {
        execl(quorrel, quorrel, "--zenvik-worker", "--solver-id", "SPH", "--case", deck, "--ipc-name", base,
              "--log", "worker_host.log", "--timeout-ms", WORKER_TIMEOUT_MS, (char*)NULL);
        perror("execl");
        _exit(127);
    }
    if (await_done() != 0 || get_i32(OFF_WORKER_STATE) != 1) {
        fprintf(stderr, "the worker did not announce READY\n");
        return -1;
    }
    print_answer("READY");
    if (send_command(++sequence, INIT, "INIT", 3) != 0) return -1;
    if (send_command(++sequence, READ_INPUT, "READ_INPUT", 3) != 0) return -1;
    if (send_command(++sequence, BUILD_MODEL, "BUILD_MODEL", 3) != 0) return -1;
    for (k = 0; k < 3; ++k)
        if (send_command(++sequence, ADVANCE, "ADVANCE", 3) != 0) return -1;
    return send_command(++sequence, STOP, "STOP", 5);
}

int main(int argc, char** argv) {
    char base[64];
    pid_t worker = -1;
    int status = 0, result;
    if (argc != 3) {
        fprintf(stderr, "usage: worker_host path/to/quorrel model.inp\n");
        return 2;
    }
    snprintf(base, sizeof base, "quorrel_example_%ld", (long)getpid());
    result = drive(argv[1], argv[2], base, &worker);
    if (worker > 0) {
        /* After STOP the worker exits by itself; after a failure it is not waited for. */
        if (result != 0) kill(worker, SIGKILL);
        waitpid(worker, &status, 0);
        if (result == 0) {
            printf("worker exited with status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result = -1;
        }
    }
    if (block != NULL) munmap(block, BLOCK_BYTES);
    if (command_event != SEM_FAILED) sem_close(command_event);
    if (done_event != SEM_FAILED) sem_close(done_event);
    remove_objects();
    return result == 0 ? 0 : 1;
}
