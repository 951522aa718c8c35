// The words the coupling worker and its host share whatever carries them: command codes,
// worker states, error codes, the acknowledgement rule and the state machine that decides
// whether a command is taken in the worker's current state.
#pragma once

namespace quorrel {

// Command codes, as the host writes them into the command block.
enum quorrel_worker_command_t : int {
    QUORREL_WORKER_COMMAND_UNKNOWN = 0,
    QUORREL_WORKER_COMMAND_INIT = 1,
    QUORREL_WORKER_COMMAND_READ_INPUT = 2,
    QUORREL_WORKER_COMMAND_BUILD_MODEL = 3,
    QUORREL_WORKER_COMMAND_EXPORT_INTERFACE = 4,
    QUORREL_WORKER_COMMAND_IMPORT_LOADS = 5,
    QUORREL_WORKER_COMMAND_ADVANCE = 6,
    QUORREL_WORKER_COMMAND_WRITE_OUTPUT = 7,
    QUORREL_WORKER_COMMAND_STOP = 8,
};

// Worker states, written back in every acknowledgement. RUNNING is never entered.
enum quorrel_worker_state_t : int {
    QUORREL_WORKER_STATE_CREATED = 0,
    QUORREL_WORKER_STATE_READY = 1,
    QUORREL_WORKER_STATE_RUNNING = 2,
    QUORREL_WORKER_STATE_DONE = 3,
    QUORREL_WORKER_STATE_ERROR = 4,
    QUORREL_WORKER_STATE_STOPPED = 5,
};

// Error codes, written back in every acknowledgement and, by name, into its message.
enum quorrel_worker_error_t : int {
    QUORREL_WORKER_ERROR_OK = 0,
    QUORREL_WORKER_ERROR_ARGUMENT = 1,
    QUORREL_WORKER_ERROR_CONFLICT = 2,
    QUORREL_WORKER_ERROR_UNSUPPORTED = 3,
    QUORREL_WORKER_ERROR_TIMEOUT = 4,
    QUORREL_WORKER_ERROR_IPC = 5,
    QUORREL_WORKER_ERROR_UNKNOWN_COMMAND = 6,
    QUORREL_WORKER_ERROR_INTERNAL = 7,
};

// Names of the codes above as fixed strings; a code outside its table is "UNKNOWN".
const char* quorrel_worker_command_name(int command);
const char* quorrel_worker_state_name(int state);
const char* quorrel_worker_error_name(int error_code);

// The command whose name equals `name` exactly, UNKNOWN (0) for none or a null name.
int quorrel_worker_command_from_name(const char* name);
// True exactly for the codes INIT .. STOP.
bool quorrel_worker_command_is_known(int command);

// A command is new only when its sequence number exceeds the last one acknowledged;
// numbers need not be consecutive.
bool quorrel_worker_ack_is_new(int last_ack_sequence, int command_sequence);

// The state machine: 0 when `command` is accepted in `current_state`, -1 when refused;
// either way the state and error that the acknowledgement carries. Missing outputs give
// -1 and touch nothing.
[[nodiscard]] int quorrel_worker_next_state(int current_state, int command, int timed_out, int* next_state,
                                            int* error_code);

// OK for a model call that succeeded, INTERNAL for any other status.
int quorrel_worker_error_from_api_status(int api_status);

}  // namespace quorrel
