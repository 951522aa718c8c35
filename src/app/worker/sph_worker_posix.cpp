#include "sph_worker_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace quorrel {

namespace {

// "/" and the name; false when it does not fit (the transport keeps names to 127
// characters, so this never happens for its own names).
bool object_name(const char* name, char (&out)[256]) {
    if (name == nullptr) return false;
    const std::size_t n = std::strlen(name);
    if (n == 0 || n + 2 > sizeof out) return false;
    out[0] = '/';
    std::memcpy(out + 1, name, n + 1);
    return true;
}

}  // namespace

void quorrel_worker_posix_mapping_clear(quorrel_worker_posix_mapping_t* mapping) {
    if (mapping == nullptr) return;
    mapping->fd = -1;
    mapping->view = nullptr;
    mapping->size = 0;
}

int quorrel_worker_posix_mapping_open(const char* name, std::size_t minimum, bool whole,
                                      quorrel_worker_posix_mapping_t* mapping) {
    if (mapping == nullptr) return -1;
    quorrel_worker_posix_mapping_clear(mapping);
    char path[256];
    if (!object_name(name, path)) return -1;
    const int fd = shm_open(path, O_RDWR, 0);
    if (fd < 0) return -1;
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_size < 0 || static_cast<std::uintmax_t>(info.st_size) < minimum) {
        close(fd);
        return -1;
    }
    const std::size_t length = whole ? static_cast<std::size_t>(info.st_size) : minimum;
    void* view = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        close(fd);
        return -1;
    }
    mapping->fd = fd;
    mapping->view = view;
    mapping->size = length;
    return 0;
}

int quorrel_worker_posix_mapping_lock(quorrel_worker_posix_mapping_t* mapping) {
    if (mapping == nullptr || mapping->fd < 0) return -1;
    for (;;) {
        if (flock(mapping->fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

bool quorrel_worker_posix_same_object(const quorrel_worker_posix_mapping_t* a, const quorrel_worker_posix_mapping_t* b) {
    if (a == nullptr || b == nullptr || a->fd < 0 || b->fd < 0) return false;
    struct stat sa {}, sb {};
    // An object that cannot be examined counts as the same: nothing may then be trusted.
    if (fstat(a->fd, &sa) != 0 || fstat(b->fd, &sb) != 0) return true;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool quorrel_worker_posix_mapping_intact(const quorrel_worker_posix_mapping_t* mapping) {
    if (mapping == nullptr || mapping->fd < 0) return false;
    struct stat info {};
    return fstat(mapping->fd, &info) == 0 && info.st_size >= 0 &&
           static_cast<std::uintmax_t>(info.st_size) >= mapping->size;
}

void quorrel_worker_posix_mapping_close(quorrel_worker_posix_mapping_t* mapping) {
    if (mapping == nullptr) return;
    if (mapping->view != nullptr) munmap(mapping->view, mapping->size);
    if (mapping->fd >= 0) close(mapping->fd);
    quorrel_worker_posix_mapping_clear(mapping);
}

sem_t* quorrel_worker_posix_event_open(const char* name) {
    char path[256];
    if (!object_name(name, path)) return nullptr;
    sem_t* event = sem_open(path, 0);
    return event == SEM_FAILED ? nullptr : event;
}

void quorrel_worker_posix_event_close(sem_t* event) {
    if (event != nullptr) sem_close(event);
}

int quorrel_worker_posix_event_wait(sem_t* event, int timeout_ms) {
    if (event == nullptr || timeout_ms < 0) return quorrel_worker_posix_wait_failed;
    timespec deadline{};
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) return quorrel_worker_posix_wait_failed;
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // The deadline is absolute, so a wait restarted after a signal has only the time left.
    for (;;) {
        if (sem_clockwait(event, CLOCK_MONOTONIC, &deadline) == 0) return quorrel_worker_posix_wait_signalled;
        if (errno == EINTR) continue;
        return errno == ETIMEDOUT ? quorrel_worker_posix_wait_timeout : quorrel_worker_posix_wait_failed;
    }
}

int quorrel_worker_posix_event_set(sem_t* event) {
    if (event == nullptr) return -1;
    return sem_post(event) == 0 ? 0 : -1;
}

}  // namespace quorrel
