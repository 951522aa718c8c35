#include "sph_worker_ipc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sph_worker_protocol.h"

namespace quorrel {

namespace {

constexpr std::size_t name_limit = quorrel_worker_ipc_name_capacity - 1;

bool usable_name(const char* text) {
    return text != nullptr && text[0] != '\0' && std::strlen(text) <= name_limit && std::strchr(text, '/') == nullptr;
}

// `base` "." `suffix` into `out`; false when it needs more than 127 characters.
bool derived_name(char (&out)[quorrel_worker_ipc_name_capacity], const char* base, const char* suffix) {
    const int n = std::snprintf(out, sizeof out, "%s.%s", base, suffix);
    return n > 0 && static_cast<std::size_t>(n) <= name_limit;
}

bool copy_name(char (&out)[quorrel_worker_ipc_name_capacity], const char* text) {
    if (!usable_name(text)) return false;
    std::memcpy(out, text, std::strlen(text) + 1);
    return true;
}

void clear_handles(quorrel_worker_ipc_t* ipc) {
    quorrel_worker_posix_mapping_clear(&ipc->command_mapping);
    quorrel_worker_posix_mapping_clear(&ipc->data_mapping);
    ipc->command_view = nullptr;
    ipc->data_view = nullptr;
    ipc->command_event_handle = nullptr;
    ipc->done_event_handle = nullptr;
}

// The acknowledged error's name, zero-padded over the whole field.
void write_message(quorrel_worker_command_block_t* block, const char* text) {
    std::memset(block->message, 0, sizeof block->message);
    const std::size_t n = std::min(std::strlen(text), sizeof block->message - 1);
    std::memcpy(block->message, text, n);
}

void set(int* error_code, int value) {
    if (error_code != nullptr) *error_code = value;
}

}  // namespace

int quorrel_worker_ipc_init(quorrel_worker_ipc_t* ipc, const char* ipc_name, const char* command_block,
                            const char* data_prefix) {
    if (ipc == nullptr) return -1;
    std::memset(ipc, 0, sizeof *ipc);
    clear_handles(ipc);
    ipc->platform = QUORREL_WORKER_IPC_PLATFORM_UNSUPPORTED;
    if (!copy_name(ipc->ipc_name, ipc_name)) return -1;
    const bool own_command = command_block != nullptr && command_block[0] != '\0';
    const bool own_data = data_prefix != nullptr && data_prefix[0] != '\0';
    if (!(own_command ? copy_name(ipc->command_block, command_block)
                      : derived_name(ipc->command_block, ipc_name, "command")))
        return -1;
    if (!(own_data ? copy_name(ipc->data_prefix, data_prefix) : derived_name(ipc->data_prefix, ipc_name, "data")))
        return -1;
    // The events always take the base name.
    if (!derived_name(ipc->command_event, ipc_name, "command_event")) return -1;
    if (!derived_name(ipc->done_event, ipc_name, "done_event")) return -1;
    return 0;
}

int quorrel_worker_ipc_open(quorrel_worker_ipc_t* ipc, int use_mock, int* error_code) {
    set(error_code, QUORREL_WORKER_ERROR_IPC);
    if (ipc == nullptr) return -1;
    if (use_mock != 0) {
        ipc->platform = QUORREL_WORKER_IPC_PLATFORM_MOCK;
        ipc->opened = 1;
        set(error_code, QUORREL_WORKER_ERROR_OK);
        return 0;
    }
    ipc->platform = QUORREL_WORKER_IPC_PLATFORM_WINDOWS;
    // The locks keep every other worker off both of our blocks for the whole session,
    // whichever names it was given: a worker whose data name, or whose command name, is
    // one of our objects fails its attach instead of writing into our block. The command
    // and data blocks must be two objects, or each write would land in both.
    bool ok = quorrel_worker_posix_mapping_open(ipc->command_block, quorrel_worker_command_block_bytes, false,
                                                &ipc->command_mapping) == 0 &&
              quorrel_worker_posix_mapping_lock(&ipc->command_mapping) == 0;
    ok = ok && quorrel_worker_posix_mapping_open(ipc->data_prefix, quorrel_worker_data_block_bytes, true,
                                                 &ipc->data_mapping) == 0 &&
         quorrel_worker_posix_mapping_lock(&ipc->data_mapping) == 0;
    ok = ok && !quorrel_worker_posix_same_object(&ipc->command_mapping, &ipc->data_mapping);
    if (ok) ok = (ipc->command_event_handle = quorrel_worker_posix_event_open(ipc->command_event)) != nullptr;
    if (ok) ok = (ipc->done_event_handle = quorrel_worker_posix_event_open(ipc->done_event)) != nullptr;
    if (!ok) {
        (void)quorrel_worker_ipc_close(ipc);
        return -1;
    }
    ipc->command_view = static_cast<quorrel_worker_command_block_t*>(ipc->command_mapping.view);
    ipc->data_view = ipc->data_mapping.view;
    ipc->opened = 1;
    set(error_code, QUORREL_WORKER_ERROR_OK);
    return 0;
}

bool quorrel_worker_ipc_command_intact(const quorrel_worker_ipc_t* ipc) {
    if (ipc == nullptr || ipc->command_view == nullptr) return false;
    if (ipc->command_mapping.fd < 0) return true;
    return quorrel_worker_posix_mapping_intact(&ipc->command_mapping);
}

bool quorrel_worker_ipc_data_intact(const quorrel_worker_ipc_t* ipc) {
    if (ipc == nullptr || ipc->data_view == nullptr) return false;
    if (ipc->data_mapping.fd < 0) return true;
    return quorrel_worker_posix_mapping_intact(&ipc->data_mapping);
}

int quorrel_worker_ipc_close(quorrel_worker_ipc_t* ipc) {
    if (ipc == nullptr) return -1;
    quorrel_worker_posix_mapping_close(&ipc->command_mapping);
    quorrel_worker_posix_mapping_close(&ipc->data_mapping);
    quorrel_worker_posix_event_close(ipc->command_event_handle);
    quorrel_worker_posix_event_close(ipc->done_event_handle);
    clear_handles(ipc);
    ipc->opened = 0;
    return 0;
}

int quorrel_worker_ipc_write_ready(quorrel_worker_ipc_t* ipc, int* error_code) {
    if (ipc == nullptr || ipc->opened == 0) {
        set(error_code, QUORREL_WORKER_ERROR_IPC);
        return -1;
    }
    // A block cut since the attach would fault on the first byte past its new end.
    if (ipc->command_view != nullptr && !quorrel_worker_ipc_command_intact(ipc)) {
        set(error_code, QUORREL_WORKER_ERROR_IPC);
        return -1;
    }
    ++ipc->ready_written;
    if (quorrel_worker_command_block_t* block = ipc->command_view) {
        // ack_sequence stays as the host wrote it.
        block->version = quorrel_worker_command_block_version;
        block->worker_state = QUORREL_WORKER_STATE_READY;
        block->error_code = QUORREL_WORKER_ERROR_OK;
        write_message(block, "READY");
    }
    set(error_code, QUORREL_WORKER_ERROR_OK);
    return 0;
}

int quorrel_worker_ipc_write_done(quorrel_worker_ipc_t* ipc, int ack_sequence, int state, int error_code) {
    if (ipc == nullptr || ipc->opened == 0) return -1;
    if (ipc->command_view != nullptr && !quorrel_worker_ipc_command_intact(ipc)) return -1;
    ++ipc->done_written;
    ipc->command_sequence = ack_sequence;
    ipc->command_id = state;
    ipc->timed_out = error_code == QUORREL_WORKER_ERROR_TIMEOUT ? 1 : 0;
    if (quorrel_worker_command_block_t* block = ipc->command_view) {
        block->ack_sequence = ack_sequence;
        block->worker_state = state;
        block->error_code = error_code;
        write_message(block, quorrel_worker_error_name(error_code));
    }
    return 0;
}

int quorrel_worker_ipc_read_command(quorrel_worker_ipc_t* ipc, int* sequence, int* command, double* dt, int* step_id,
                                    int* error_code) {
    if (error_code == nullptr) return -1;
    if (ipc == nullptr || sequence == nullptr || command == nullptr || dt == nullptr || step_id == nullptr ||
        ipc->opened == 0) {
        *error_code = QUORREL_WORKER_ERROR_IPC;
        return -1;
    }
    const quorrel_worker_command_block_t* block = ipc->command_view;
    if (block == nullptr) {
        *error_code = QUORREL_WORKER_ERROR_UNSUPPORTED;
        return -1;
    }
    // The host may have cut the object since the last command; past its end the view
    // faults, or within the last page reads zeros the host never wrote.
    if (!quorrel_worker_ipc_command_intact(ipc)) {
        *error_code = QUORREL_WORKER_ERROR_IPC;
        return -1;
    }
    // One copy of the host's fields, taken after the wait that ordered them.
    quorrel_worker_command_block_t fields;
    std::memcpy(&fields, block, sizeof fields);
    if (fields.version != quorrel_worker_command_block_version) {
        *error_code = QUORREL_WORKER_ERROR_CONFLICT;
        return -1;
    }
    *sequence = fields.sequence;
    *command = fields.command;
    *dt = fields.dt;
    *step_id = fields.step_id;
    *error_code = QUORREL_WORKER_ERROR_OK;
    return 0;
}

int quorrel_worker_ipc_wait_command(quorrel_worker_ipc_t* ipc, int timeout_ms, int* error_code) {
    if (ipc == nullptr || ipc->opened == 0) {
        set(error_code, QUORREL_WORKER_ERROR_IPC);
        return -1;
    }
    if (timeout_ms <= 0 || ipc->timed_out != 0) {
        ipc->timed_out = 1;
        set(error_code, QUORREL_WORKER_ERROR_TIMEOUT);
        return -1;
    }
    if (ipc->platform == QUORREL_WORKER_IPC_PLATFORM_WINDOWS) {
        if (ipc->command_event_handle == nullptr) {
            set(error_code, QUORREL_WORKER_ERROR_IPC);
            return -1;
        }
        const int result = quorrel_worker_posix_event_wait(ipc->command_event_handle, timeout_ms);
        if (result == quorrel_worker_posix_wait_timeout) {
            ipc->timed_out = 1;
            set(error_code, QUORREL_WORKER_ERROR_TIMEOUT);
            return -1;
        }
        if (result != quorrel_worker_posix_wait_signalled) {
            set(error_code, QUORREL_WORKER_ERROR_IPC);
            return -1;
        }
    }
    ++ipc->command_event_waits;
    set(error_code, QUORREL_WORKER_ERROR_OK);
    return 0;
}

int quorrel_worker_ipc_signal_done(quorrel_worker_ipc_t* ipc, int* error_code) {
    if (ipc == nullptr || ipc->opened == 0) {
        set(error_code, QUORREL_WORKER_ERROR_IPC);
        return -1;
    }
    if (ipc->platform == QUORREL_WORKER_IPC_PLATFORM_WINDOWS &&
        quorrel_worker_posix_event_set(ipc->done_event_handle) != 0) {
        set(error_code, QUORREL_WORKER_ERROR_IPC);
        return -1;
    }
    ++ipc->done_event_signals;
    set(error_code, QUORREL_WORKER_ERROR_OK);
    return 0;
}

int quorrel_worker_ipc_reset_event(quorrel_worker_ipc_t* ipc, int* error_code) {
    if (ipc != nullptr) ++ipc->reset_attempts;
    set(error_code, QUORREL_WORKER_ERROR_CONFLICT);
    return -1;
}

const char* quorrel_worker_ipc_platform_name(int platform) {
    switch (platform) {
        case QUORREL_WORKER_IPC_PLATFORM_WINDOWS: return "WINDOWS";
        case QUORREL_WORKER_IPC_PLATFORM_MOCK: return "MOCK";
        default: return "UNSUPPORTED";
    }
}

}  // namespace quorrel
