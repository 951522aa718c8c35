// The coupling worker's round trip: a host process posts INIT and waits for its
// acknowledgement, 2000 times, with the worker's own loop (quorrel_worker_main) in a
// child process on the host's shared memory and named semaphores. Beside it, the floor:
// a bare ping-pong over two named semaphores between the same two kinds of process.
// The worker first reads and builds a one-particle deck, then serves 100 untimed INITs.
// Figures: median, p99 and maximum of the round trip (host post to acknowledgement),
// the medians of the first and second half (constant per command), and the worker's heap
// allocations per command once its first commands have run (counted in a counter both
// processes share).
// Last, the INIT round trip's median as a multiple of the ping-pong's (the target is at
// most 2).
// Usage: worker_bench [commands]   (default 2000; pin it, e.g. taskset -c 6)
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "sph_worker_runtime.h"

namespace {

// Heap allocations of whichever process runs the counting operator new below, in memory
// the host and the worker share once the host has forked.
std::atomic<long>* shared_allocations = nullptr;

void count_allocation() {
    if (shared_allocations != nullptr) shared_allocations->fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void* operator new(std::size_t size) {
    count_allocation();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    count_allocation();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    count_allocation();
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    count_allocation();
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t command_bytes = 176, data_bytes = 1245344;
constexpr std::size_t off_version = 0, off_sequence = 4, off_command = 8, off_step_id = 20, off_dt = 24,
                      off_ack_sequence = 32, off_worker_state = 36, off_error_code = 40;
constexpr int command_init = 1, command_read_input = 2, command_build_model = 3, command_stop = 8;
constexpr int warm_up = 100;

// The host's four objects under one base name, removed again whatever happens.
struct Objects {
    std::string base;
    unsigned char* command = nullptr;
    sem_t* command_event = SEM_FAILED;
    sem_t* done_event = SEM_FAILED;

    std::string name(const char* suffix) const { return "/" + base + "." + suffix; }
    void unlink_all() const {
        shm_unlink(name("command").c_str());
        shm_unlink(name("data").c_str());
        sem_unlink(name("command_event").c_str());
        sem_unlink(name("done_event").c_str());
    }
    static bool mapping(const std::string& path, std::size_t bytes, unsigned char** view) {
        const int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) return false;
        bool ok = ftruncate(fd, static_cast<off_t>(bytes)) == 0;
        if (ok && view != nullptr) {
            void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            ok = p != MAP_FAILED;
            if (ok) *view = static_cast<unsigned char*>(p);
        }
        close(fd);
        return ok;
    }
    bool create() {
        unlink_all();
        if (!mapping(name("command"), command_bytes, &command)) return false;
        if (!mapping(name("data"), data_bytes, nullptr)) return false;
        command_event = sem_open(name("command_event").c_str(), O_CREAT | O_EXCL, 0600, 0);
        done_event = sem_open(name("done_event").c_str(), O_CREAT | O_EXCL, 0600, 0);
        return command_event != SEM_FAILED && done_event != SEM_FAILED;
    }
    ~Objects() {
        if (command != nullptr) munmap(command, command_bytes);
        if (command_event != SEM_FAILED) sem_close(command_event);
        if (done_event != SEM_FAILED) sem_close(done_event);
        unlink_all();
    }

    void set_i32(std::size_t offset, std::int32_t v) { std::memcpy(command + offset, &v, sizeof v); }
    std::int32_t i32(std::size_t offset) const {
        std::int32_t v;
        std::memcpy(&v, command + offset, sizeof v);
        return v;
    }
};

// Waits for one post, at most `ms`.
bool take(sem_t* event, int ms) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (sem_clockwait(event, CLOCK_MONOTONIC, &deadline) != 0)
        if (errno != EINTR) return false;
    return true;
}

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Figures {
    double median, p99, max, first_half, second_half;
};

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Figures figures(const std::vector<double>& samples) {
    std::vector<double> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const std::size_t half = samples.size() / 2;
    return {sorted[n / 2], sorted[std::min(n - 1, (n * 99) / 100)], sorted[n - 1],
            median_of({samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(half)}),
            median_of({samples.begin() + static_cast<std::ptrdiff_t>(half), samples.end()})};
}

void print(const char* what, const Figures& f, const char* extra) {
    std::printf("%-26s %10.2f %10.2f %10.2f %12.2f %12.2f  %s\n", what, f.median, f.p99, f.max, f.first_half,
                f.second_half, extra);
}

// The floor: the child answers every post of `ping` with a post of `pong`.
int ping_pong(int commands, std::vector<double>& samples) {
    Objects o;
    o.base = "qwb" + std::to_string(getpid()) + "_pp";
    if (!o.create()) return 1;
    const pid_t child = fork();
    if (child == 0) {
        for (int k = 0; k < warm_up + commands; ++k) {
            if (!take(o.command_event, 10000)) _exit(1);
            sem_post(o.done_event);
        }
        _exit(0);
    }
    for (int k = 0; k < warm_up + commands; ++k) {
        const auto t0 = Clock::now();
        sem_post(o.command_event);
        if (!take(o.done_event, 10000)) return 1;
        if (k >= warm_up) samples.push_back(us(Clock::now() - t0));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

// The worker: INIT after INIT, each acknowledged DONE and OK, then STOP.
int worker_round_trips(int commands, std::vector<double>& samples, long& allocations, long& warm_up_allocations) {
    Objects o;
    o.base = "qwb" + std::to_string(getpid()) + "_w";
    if (!o.create()) return 1;
    // The worker writes its two reports beside its log: a directory of their own holds all
    // three, removed at the end.
    char log_dir[] = "/tmp/quorrel_worker_bench_XXXXXX";
    if (mkdtemp(log_dir) == nullptr) return 1;
    const std::string log_file = std::string(log_dir) + "/worker.log";
    const char* log_path = log_file.c_str();
    // A one-particle deck, read and built once before the INITs, so that the first INIT
    // has a model to finalise.
    char deck_path[] = "/tmp/quorrel_worker_bench_XXXXXX.inp";
    const int deck_fd = mkstemps(deck_path, 4);
    if (deck_fd < 0) return 1;
    static const char deck[] =
        "*NODE\n1, 0.0, 0.0, 0.0\n*NSET, NSET=FLUID\n1\n*MATERIAL, NAME=WATER, TYPE=WATER\n*DENSITY\n1000.0\n"
        "*FLUID SECTION, NSET=FLUID, MATERIAL=WATER\n"
        "*QUORREL, TIME CONTROL, DT=0.001, TIME=1.0, STEPS=10\n"
        "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, RHO0=1000.0, C0=10.0, GAMMA=7.0\n"
        "*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=WATER, ALPHA=0.1, BETA=0.0, ETA2=0.01\n"
        "*QUORREL, PARTICLE CONTROL, H=0.1, MASS=2.0, VOLUME=0.002\n";
    const bool written = write(deck_fd, deck, sizeof deck - 1) == static_cast<ssize_t>(sizeof deck - 1);
    close(deck_fd);
    if (!written) return 1;
    const pid_t child = fork();
    if (child == 0) {
        const std::string base = o.base;
        const char* argv[] = {"quorrel", "--zenvik-worker", "--case", deck_path, "--ipc-name", base.c_str(),
                              "--log", log_path, "--timeout-ms", "10000"};
        _exit(quorrel::quorrel_worker_main(static_cast<int>(sizeof argv / sizeof argv[0]), argv));
    }
    const long at_fork = shared_allocations->load();
    int result = take(o.done_event, 10000) ? 0 : 1;  // READY
    int sequence = 0;
    auto send = [&](int command) {
        o.set_i32(off_version, 1);
        o.set_i32(off_sequence, ++sequence);
        o.set_i32(off_command, command);
        o.set_i32(off_step_id, 0);
        const double dt = 0.0;
        std::memcpy(o.command + off_dt, &dt, sizeof dt);
        sem_post(o.command_event);
        return take(o.done_event, 10000) && o.i32(off_ack_sequence) == sequence && o.i32(off_error_code) == 0;
    };
    for (int command : {command_init, command_read_input, command_build_model})
        if (result == 0 && !send(command)) result = 1;
    for (int k = 0; result == 0 && k < warm_up; ++k)
        if (!send(command_init)) result = 1;
    // The worker finishes its log row after the acknowledgement; let it reach its wait
    // before the counter is read, at both ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long before = shared_allocations->load();
    warm_up_allocations = before - at_fork;
    for (int k = 0; result == 0 && k < commands; ++k) {
        const auto t0 = Clock::now();
        if (!send(command_init)) result = 1;
        samples.push_back(us(Clock::now() - t0));
        if (o.i32(off_worker_state) != 3) result = 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    allocations = shared_allocations->load() - before;
    if (result == 0 && !send(command_stop)) result = 1;
    int status = 0;
    waitpid(child, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(log_dir, ignored);
    std::remove(deck_path);
    if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) result = 1;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (commands < 2) {
        std::fprintf(stderr, "usage: worker_bench [commands >= 2]\n");
        return 1;
    }
    void* shared = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return 1;
    shared_allocations = new (shared) std::atomic<long>(0);

    std::vector<double> floor, worker;
    floor.reserve(static_cast<std::size_t>(commands));
    worker.reserve(static_cast<std::size_t>(commands));
    long allocations = 0, warm_up_allocations = 0;
    if (ping_pong(commands, floor) != 0) {
        std::fprintf(stderr, "semaphore ping-pong failed\n");
        return 1;
    }
    if (worker_round_trips(commands, worker, allocations, warm_up_allocations) != 0) {
        std::fprintf(stderr, "worker round trips failed\n");
        return 1;
    }
    std::printf("%d round trips after %d untimed, in microseconds\n", commands, warm_up);
    std::printf("%-26s %10s %10s %10s %12s %12s\n", "", "median", "p99", "max", "1st half", "2nd half");
    print("semaphore ping-pong", figures(floor), "");
    char extra[64];
    std::snprintf(extra, sizeof extra, "%.3f allocations per command",
                  static_cast<double>(allocations) / commands);
    const Figures init = figures(worker), floor_figures = figures(floor);
    print("worker INIT", init, extra);
    // Proof that the counter sees the worker: its start and first commands allocate.
    std::printf("worker start-up, READ_INPUT, BUILD_MODEL and %d untimed INIT: %ld allocations\n", warm_up,
                warm_up_allocations);
    std::printf("worker INIT round trip is %.2f times the semaphore ping-pong (target at most 2)\n",
                init.median / floor_figures.median);
    return 0;
}
