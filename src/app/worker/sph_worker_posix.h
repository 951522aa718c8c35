// The few POSIX calls the worker's transport stands on. A named mapping is a POSIX
// shared-memory object and a named event a POSIX named semaphore, each named "/" and the
// transport's name. The worker only opens what its host created: nothing here creates,
// removes or drains an object.
#pragma once

#include <semaphore.h>

#include <cstddef>

namespace quorrel {

// An open shared-memory object and its view; fd -1 and a null view when not open.
struct quorrel_worker_posix_mapping_t {
    int fd;
    void* view;
    std::size_t size;  // bytes mapped
};

void quorrel_worker_posix_mapping_clear(quorrel_worker_posix_mapping_t* mapping);

// Opens the object `name` for reading and writing and maps it shared: `minimum` bytes, or
// the whole object when `whole`. An object smaller than `minimum` is not mapped (a view
// past its end would fault on first touch). 0, or -1 with nothing left open.
[[nodiscard]] int quorrel_worker_posix_mapping_open(const char* name, std::size_t minimum, bool whole,
                                                    quorrel_worker_posix_mapping_t* mapping);
// Takes an exclusive lock on the open object, without waiting, held until it is closed:
// one worker per object, command or data. -1 when another open of the object holds a
// lock.
[[nodiscard]] int quorrel_worker_posix_mapping_lock(quorrel_worker_posix_mapping_t* mapping);
// True when both open mappings are the same object, under one name or two.
bool quorrel_worker_posix_same_object(const quorrel_worker_posix_mapping_t* a, const quorrel_worker_posix_mapping_t* b);
// True while the open object still holds every byte mapped: a view past its end faults
// on first touch. False when it cannot be told.
bool quorrel_worker_posix_mapping_intact(const quorrel_worker_posix_mapping_t* mapping);
// Unmaps and closes what is open, then clears the record.
void quorrel_worker_posix_mapping_close(quorrel_worker_posix_mapping_t* mapping);

// The named semaphore `name`, or null.
sem_t* quorrel_worker_posix_event_open(const char* name);
void quorrel_worker_posix_event_close(sem_t* event);

inline constexpr int quorrel_worker_posix_wait_signalled = 0;
inline constexpr int quorrel_worker_posix_wait_timeout = 1;
inline constexpr int quorrel_worker_posix_wait_failed = -1;
// Takes one post of `event`, waiting at most `timeout_ms` on the monotonic clock; an
// interrupted wait goes on for the time left. One of the three results above.
int quorrel_worker_posix_event_wait(sem_t* event, int timeout_ms);
// Posts `event` once. 0 or -1.
[[nodiscard]] int quorrel_worker_posix_event_set(sem_t* event);

}  // namespace quorrel
