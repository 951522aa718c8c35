#include "core/sph_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quorrel {

namespace {

int open_retrying(const std::string& path, int flags, unsigned mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The open was non-blocking only so that a FIFO could not make it wait; what follows
// writes and reads as usual.
bool make_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

int give_up(int fd, SphFileOutcome why, SphFileOutcome* outcome) {
    if (fd >= 0) ::close(fd);
    if (outcome != nullptr) *outcome = why;
    return -1;
}

}  // namespace

int sph_file_open_write(const std::string& path, const SphWriteOptions& options, SphFileOutcome* outcome) {
    if (outcome != nullptr) *outcome = SphFileOutcome::ok;
    if (path.empty()) return give_up(-1, SphFileOutcome::failed, outcome);
    // No truncation at the open: nothing is emptied before it is known to be ours.
    // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of waiting.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK |
                      (options.append ? O_APPEND : 0);
    const int fd = open_retrying(path, flags, options.mode);
    if (fd < 0) {
        switch (errno) {
            case ELOOP:  // a link at the name
            case ENXIO:  // a FIFO without a reader, a socket
                return give_up(-1, SphFileOutcome::not_regular, outcome);
            case EISDIR: return give_up(-1, SphFileOutcome::directory, outcome);
            default: return give_up(-1, SphFileOutcome::failed, outcome);
        }
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) return give_up(fd, SphFileOutcome::failed, outcome);
    if (S_ISCHR(status.st_mode)) {
        // A device is written in place: nothing to empty, nobody else's file to guard.
        if (!make_blocking(fd)) return give_up(fd, SphFileOutcome::failed, outcome);
        return fd;
    }
    if (!S_ISREG(status.st_mode)) return give_up(fd, SphFileOutcome::not_regular, outcome);
    if (options.own_only && status.st_uid != ::geteuid()) return give_up(fd, SphFileOutcome::foreign, outcome);
    if (options.lock) {
        int locked;
        do {
            locked = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (locked != 0 && errno == EINTR);
        // A file system without locks cannot be shared safely either way; write on.
        if (locked != 0 && errno == EWOULDBLOCK) return give_up(fd, SphFileOutcome::locked, outcome);
    }
    if (options.truncate && ::ftruncate(fd, 0) != 0) return give_up(fd, SphFileOutcome::failed, outcome);
    if (!make_blocking(fd)) return give_up(fd, SphFileOutcome::failed, outcome);
    return fd;
}

int sph_file_open_read(const std::string& path, SphFileOutcome* outcome) {
    if (outcome != nullptr) *outcome = SphFileOutcome::ok;
    if (path.empty()) return give_up(-1, SphFileOutcome::failed, outcome);
    const int fd = open_retrying(path, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0) return give_up(-1, SphFileOutcome::failed, outcome);
    struct stat status {};
    if (::fstat(fd, &status) != 0) return give_up(fd, SphFileOutcome::failed, outcome);
    if (S_ISDIR(status.st_mode)) return give_up(fd, SphFileOutcome::directory, outcome);
    if (!S_ISREG(status.st_mode)) return give_up(fd, SphFileOutcome::not_regular, outcome);
    if (!make_blocking(fd)) return give_up(fd, SphFileOutcome::failed, outcome);
    return fd;
}

std::string sph_file_open_message(std::string_view failure, std::string_view path, SphFileOutcome outcome) {
    std::string message(failure);
    if (outcome != SphFileOutcome::not_regular) return message;
    message += ": ";
    message += path;
    message += " is not a regular file";
    return message;
}

}  // namespace quorrel
