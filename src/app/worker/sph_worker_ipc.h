// The worker's shared-memory transport: the command block, the names of the host's four
// objects, attaching to them, reading commands, writing acknowledgements and signalling.
// The host creates every object before it starts the worker; the worker only opens,
// uses and closes them, and writes only its own fields of the command block.
#pragma once

#include <semaphore.h>

#include <cstddef>
#include <cstdint>

#include "sph_worker_posix.h"

namespace quorrel {

inline constexpr int quorrel_worker_command_block_version = 1;
inline constexpr std::size_t quorrel_worker_command_block_bytes = 176;
// The data block (its layout belongs to the data exchange); only its size matters here.
inline constexpr std::size_t quorrel_worker_data_block_bytes = 1245344;
inline constexpr std::size_t quorrel_worker_ipc_name_capacity = 128;  // 127 characters and the zero

// The command block at the start of the command mapping, little-endian. The host writes
// version .. dt, the worker ack_sequence .. message (and version 1 at READY).
struct quorrel_worker_command_block_t {
    std::int32_t version;
    std::int32_t sequence;
    std::int32_t command;
    std::int32_t substep_id;    // carried, never read
    std::int32_t iteration_id;  // carried, never read
    std::int32_t step_id;
    double dt;
    std::int32_t ack_sequence;
    std::int32_t worker_state;
    std::int32_t error_code;
    char message[128];
    std::uint8_t padding[4];
};

static_assert(sizeof(quorrel_worker_command_block_t) == quorrel_worker_command_block_bytes);
static_assert(offsetof(quorrel_worker_command_block_t, version) == 0);
static_assert(offsetof(quorrel_worker_command_block_t, sequence) == 4);
static_assert(offsetof(quorrel_worker_command_block_t, command) == 8);
static_assert(offsetof(quorrel_worker_command_block_t, substep_id) == 12);
static_assert(offsetof(quorrel_worker_command_block_t, iteration_id) == 16);
static_assert(offsetof(quorrel_worker_command_block_t, step_id) == 20);
static_assert(offsetof(quorrel_worker_command_block_t, dt) == 24);
static_assert(offsetof(quorrel_worker_command_block_t, ack_sequence) == 32);
static_assert(offsetof(quorrel_worker_command_block_t, worker_state) == 36);
static_assert(offsetof(quorrel_worker_command_block_t, error_code) == 40);
static_assert(offsetof(quorrel_worker_command_block_t, message) == 44);
static_assert(offsetof(quorrel_worker_command_block_t, padding) == 172);

enum quorrel_worker_ipc_platform_t : int {
    QUORREL_WORKER_IPC_PLATFORM_UNSUPPORTED = 0,
    // The named-mapping, named-event contract with the host, whatever carries it; here
    // shared-memory objects and named semaphores.
    QUORREL_WORKER_IPC_PLATFORM_WINDOWS = 1,
    // Attach, wait and signal without any object, for rehearsals.
    QUORREL_WORKER_IPC_PLATFORM_MOCK = 2,
};

// One worker's transport.
struct quorrel_worker_ipc_t {
    char ipc_name[quorrel_worker_ipc_name_capacity];
    char command_block[quorrel_worker_ipc_name_capacity];  // name of the command mapping
    char data_prefix[quorrel_worker_ipc_name_capacity];    // name of the data mapping
    char command_event[quorrel_worker_ipc_name_capacity];
    char done_event[quorrel_worker_ipc_name_capacity];
    int platform;
    int opened;
    // Counters of the operations; nothing reads them.
    int ready_written;
    int done_written;
    int command_event_waits;
    int done_event_signals;
    int reset_attempts;
    int command_sequence;  // sequence of the last acknowledgement written
    int command_id;        // worker state of the last acknowledgement written
    int timed_out;         // set by a time-out: every later wait fails at once
    quorrel_worker_posix_mapping_t command_mapping;  // descriptor and view of each object
    quorrel_worker_posix_mapping_t data_mapping;
    // The two views, typed; null when not mapped. The data view spans the whole object.
    quorrel_worker_command_block_t* command_view;
    void* data_view;
    sem_t* command_event_handle;
    sem_t* done_event_handle;
};

// Clears the record and builds the five names: the base name; the command mapping's
// ("--command-block" when given and not empty, else base + ".command"); the data
// mapping's ("--data-prefix" used whole, else base + ".data"); base + ".command_event";
// base + ".done_event". -1 for a missing or empty base name, a name over 127 characters
// or a name holding "/" (each becomes an object name of its own).
[[nodiscard]] int quorrel_worker_ipc_init(quorrel_worker_ipc_t* ipc, const char* ipc_name, const char* command_block,
                                          const char* data_prefix);
// Attaches to the four objects (with `use_mock`, to none), holding an exclusive lock on
// the command object and one on the data object until closed. On the first failure,
// among them an object another worker holds (under either name) or a data object that
// is the command object itself, closes what was opened and gives IPC. `error_code` 0 or
// IPC.
[[nodiscard]] int quorrel_worker_ipc_open(quorrel_worker_ipc_t* ipc, int use_mock, int* error_code);
// False when there is no command view, or when the command object has been cut below
// the block's 176 bytes since the attach; true for a view of the worker's own memory.
bool quorrel_worker_ipc_command_intact(const quorrel_worker_ipc_t* ipc);
// False when the data object the worker mapped has been cut below the mapped size since
// (touching the view would fault); true for a data view of the worker's own memory.
bool quorrel_worker_ipc_data_intact(const quorrel_worker_ipc_t* ipc);
// Detaches and forgets every handle. -1 only for a missing record.
int quorrel_worker_ipc_close(quorrel_worker_ipc_t* ipc);
// Writes READY into the command block, keeping the host's ack_sequence. IPC, writing
// nothing, when the command object has been cut.
[[nodiscard]] int quorrel_worker_ipc_write_ready(quorrel_worker_ipc_t* ipc, int* error_code);
// Writes an acknowledgement: ack_sequence, worker_state, error_code and the error's name.
// Does not signal. -1, writing nothing, when the command object has been cut.
[[nodiscard]] int quorrel_worker_ipc_write_done(quorrel_worker_ipc_t* ipc, int ack_sequence, int state,
                                                int error_code);
// Copies the host's command fields out of the block once: IPC when not attached,
// UNSUPPORTED without a command view, IPC when the command object has been cut,
// CONFLICT for a version other than 1.
[[nodiscard]] int quorrel_worker_ipc_read_command(quorrel_worker_ipc_t* ipc, int* sequence, int* command, double* dt,
                                                  int* step_id, int* error_code);
// Waits for one post of the command event: TIMEOUT after `timeout_ms` (at once for a
// time-out of 0 or less, or after an earlier time-out), IPC on any failure.
[[nodiscard]] int quorrel_worker_ipc_wait_command(quorrel_worker_ipc_t* ipc, int timeout_ms, int* error_code);
// Posts the done event once.
[[nodiscard]] int quorrel_worker_ipc_signal_done(quorrel_worker_ipc_t* ipc, int* error_code);
// The worker never resets an event: always -1 with CONFLICT, counting the attempt.
[[nodiscard]] int quorrel_worker_ipc_reset_event(quorrel_worker_ipc_t* ipc, int* error_code);
// "WINDOWS", "MOCK" or "UNSUPPORTED".
const char* quorrel_worker_ipc_platform_name(int platform);

}  // namespace quorrel
