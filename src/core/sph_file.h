// Every file Quorrel opens goes through these two calls, so that one rule decides what
// kind of file a name may be: nothing hangs on a FIFO, nothing is killed by SIGPIPE, and
// no link planted at a name makes a write land somewhere else.
#pragma once

#include <string>
#include <string_view>

namespace quorrel {

// How an open ended: ok, or why it gave no descriptor.
enum class SphFileOutcome {
    ok,
    failed,       // the system refused the open (missing directory, permission, ...)
    not_regular,  // the name is a FIFO, socket, link or other kind this open does not take
    directory,
    locked,       // another process holds the file's exclusive lock
    foreign,      // a regular file that belongs to another user
};

struct SphWriteOptions {
    // Empty the file once it is known to be ours to write (after the lock, if any).
    bool truncate = true;
    // Every write goes to the end of the file.
    bool append = false;
    // Take an exclusive lock without waiting, held until the descriptor is closed.
    bool lock = false;
    // Leave out a regular file that belongs to another user.
    bool own_only = false;
    // Permission bits of a file this open creates (before the umask).
    unsigned mode = 0666;
};

// Opens `path` for writing. A missing name is created, a regular file is written, a
// character device (/dev/null) is written in place. A FIFO, socket, block device,
// directory or link at the name is never opened for writing: the open neither waits
// nor lets a later write raise SIGPIPE. Returns the descriptor (close-on-exec,
// blocking) or -1, with the reason in `outcome` when given.
[[nodiscard]] int sph_file_open_write(const std::string& path, const SphWriteOptions& options,
                                      SphFileOutcome* outcome = nullptr);

// Opens `path` for reading: regular files only (links to them are followed). A FIFO,
// device or other kind fails at once, without waiting, as not_regular; a directory as
// directory. Returns the descriptor (close-on-exec, blocking) or -1.
[[nodiscard]] int sph_file_open_read(const std::string& path, SphFileOutcome* outcome = nullptr);

// The message of a write that could not open `path`: `failure` as it is, or, when the
// name was refused for its kind (a link, FIFO, socket or block device), `failure`
// followed by the name and that reason, so that the user can find what is in the way.
std::string sph_file_open_message(std::string_view failure, std::string_view path, SphFileOutcome outcome);

}  // namespace quorrel
