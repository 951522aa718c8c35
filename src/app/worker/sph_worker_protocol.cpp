#include "sph_worker_protocol.h"

#include <cstring>

namespace quorrel {

namespace {

constexpr const char* unknown_name = "UNKNOWN";

// Names indexed by code; code 0 of the commands has none.
constexpr const char* command_names[] = {nullptr,        "INIT",    "READ_INPUT",   "BUILD_MODEL", "EXPORT_INTERFACE",
                                         "IMPORT_LOADS", "ADVANCE", "WRITE_OUTPUT", "STOP"};
constexpr const char* state_names[] = {"CREATED", "READY", "RUNNING", "DONE", "ERROR", "STOPPED"};
constexpr const char* error_names[] = {"OK", "ARGUMENT", "CONFLICT", "UNSUPPORTED", "TIMEOUT", "IPC", "UNKNOWN_COMMAND",
                                       "INTERNAL"};

template <std::size_t N>
const char* name_of(const char* const (&names)[N], int code) {
    if (code < 0 || static_cast<std::size_t>(code) >= N || names[code] == nullptr) return unknown_name;
    return names[code];
}

struct Decision {
    int state;
    int error;
    bool accepted;
};

// The machine's rows in order; the first that matches decides.
Decision decide(int current_state, int command, int timed_out) {
    if (timed_out != 0) return {QUORREL_WORKER_STATE_ERROR, QUORREL_WORKER_ERROR_TIMEOUT, false};
    if (!quorrel_worker_command_is_known(command))
        return {QUORREL_WORKER_STATE_ERROR, QUORREL_WORKER_ERROR_UNKNOWN_COMMAND, false};
    if (current_state == QUORREL_WORKER_STATE_STOPPED)
        return {QUORREL_WORKER_STATE_STOPPED, QUORREL_WORKER_ERROR_CONFLICT, false};
    if (current_state == QUORREL_WORKER_STATE_ERROR && command != QUORREL_WORKER_COMMAND_INIT)
        return {QUORREL_WORKER_STATE_ERROR, QUORREL_WORKER_ERROR_CONFLICT, false};
    if (command == QUORREL_WORKER_COMMAND_STOP) return {QUORREL_WORKER_STATE_STOPPED, QUORREL_WORKER_ERROR_OK, true};
    return {QUORREL_WORKER_STATE_DONE, QUORREL_WORKER_ERROR_OK, true};
}

}  // namespace

const char* quorrel_worker_command_name(int command) { return name_of(command_names, command); }
const char* quorrel_worker_state_name(int state) { return name_of(state_names, state); }
const char* quorrel_worker_error_name(int error_code) { return name_of(error_names, error_code); }

int quorrel_worker_command_from_name(const char* name) {
    if (name == nullptr) return QUORREL_WORKER_COMMAND_UNKNOWN;
    for (int code = QUORREL_WORKER_COMMAND_INIT; code <= QUORREL_WORKER_COMMAND_STOP; ++code)
        if (std::strcmp(name, command_names[code]) == 0) return code;
    return QUORREL_WORKER_COMMAND_UNKNOWN;
}

bool quorrel_worker_command_is_known(int command) {
    return command >= QUORREL_WORKER_COMMAND_INIT && command <= QUORREL_WORKER_COMMAND_STOP;
}

bool quorrel_worker_ack_is_new(int last_ack_sequence, int command_sequence) {
    return command_sequence > last_ack_sequence;
}

int quorrel_worker_next_state(int current_state, int command, int timed_out, int* next_state, int* error_code) {
    if (next_state == nullptr || error_code == nullptr) return -1;
    const Decision d = decide(current_state, command, timed_out);
    *next_state = d.state;
    *error_code = d.error;
    return d.accepted ? 0 : -1;
}

int quorrel_worker_error_from_api_status(int api_status) {
    return api_status == 0 ? QUORREL_WORKER_ERROR_OK : QUORREL_WORKER_ERROR_INTERNAL;
}

}  // namespace quorrel
