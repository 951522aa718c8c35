#include "sph_worker_runtime.h"

#include <csignal>
#include <cstdio>

#include "quorrel.h"
#include "sph_worker_protocol.h"
#include "sph_worker_runtime_exchange.h"

namespace quorrel {

namespace {

int advance(double dt) {
    // Not dt > 0: a NaN step goes to the interface, which refuses it.
    if (dt <= 0.0 && quorrel_estimate_stable_dt(&dt) != 0) return -1;
    return quorrel_advance_explicit(dt);
}

int write_output(int step_id) {
    double time = 0.0;
    int step = 0;
    if (quorrel_get_current_time(&time, &step) != 0) return -1;
    return quorrel_write_output(step_id > 0 ? step_id : step, time);
}

// The coupling calls work on whatever the coupling state holds; the exchange commands
// first ask the interface whether it is initialised, so that before INIT or READ_INPUT
// they fail with its "not initialized" like every other model command.
int require_initialized() {
    int count = 0;
    return quorrel_get_particle_count(&count);
}

int stop(quorrel_worker_runtime_t* runtime, int* stop_requested) {
    if (runtime->initialized != 0) {
        (void)quorrel_finalize();
        runtime->initialized = 0;
    }
    *stop_requested = 1;
    return 0;
}

bool command_block_cut(const quorrel_worker_ipc_t* ipc) {
    return ipc != nullptr && ipc->command_view != nullptr && !quorrel_worker_ipc_command_intact(ipc);
}

// The host cut the command object: no acknowledgement fits in it any more. One post of
// the done event wakes a host waiting for an answer, the log says why, and the run ends.
int end_on_short_command_block(quorrel_worker_ipc_t* ipc, const quorrel_worker_options_t* options,
                               quorrel_worker_runtime_reports_t* reports, int command, int step_id,
                               int ack_sequence, const quorrel_worker_log_record_t* block) {
    int signal_error = QUORREL_WORKER_ERROR_OK;
    (void)quorrel_worker_ipc_signal_done(ipc, &signal_error);
    quorrel_worker_runtime_reports_log(reports, options, ipc, command, step_id, ack_sequence,
                                       QUORREL_WORKER_STATE_ERROR, 0, QUORREL_WORKER_ERROR_IPC,
                                       "worker command block is too short", block);
    return quorrel_worker_exit_failed;
}

// A failure after attaching: the command is acknowledged and the run ends.
int fail_command(quorrel_worker_ipc_t* ipc, const quorrel_worker_options_t* options,
                 quorrel_worker_runtime_reports_t* reports, int command, int step_id, int ack_sequence, int state,
                 int error_code, const char* message) {
    quorrel_worker_runtime_reports_flush(reports);
    // The block is the host's again once acknowledged: its columns are read before.
    quorrel_worker_log_record_t block;
    quorrel_worker_runtime_block_columns(ipc, &block);
    if (quorrel_worker_runtime_finish(ipc, ack_sequence, state, error_code) != 0 && command_block_cut(ipc))
        return end_on_short_command_block(ipc, options, reports, command, step_id, ack_sequence, &block);
    quorrel_worker_runtime_reports_log(reports, options, ipc, command, step_id, ack_sequence, state, 0, error_code,
                                       message, &block);
    return quorrel_worker_exit_failed;
}

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

void quorrel_worker_runtime_init(quorrel_worker_runtime_t* runtime) {
    if (runtime == nullptr) return;
    runtime->initialized = 0;
    runtime->current_state = QUORREL_WORKER_STATE_READY;
    runtime->last_ack_sequence = 0;
}

int quorrel_worker_runtime_ensure_initialized(quorrel_worker_runtime_t* runtime) {
    if (runtime == nullptr) return -1;
    if (runtime->initialized != 0) return 0;
    const int status = quorrel_initialize();
    if (status == 0) runtime->initialized = 1;
    return status;
}

int quorrel_worker_runtime_reset(quorrel_worker_runtime_t* runtime) {
    if (runtime == nullptr) return -1;
    if (runtime->initialized != 0) {
        if (int status = quorrel_finalize()) return status;
        runtime->initialized = 0;
    }
    return quorrel_worker_runtime_ensure_initialized(runtime);
}

int quorrel_worker_runtime_execute(quorrel_worker_runtime_t* runtime, quorrel_worker_ipc_t* ipc,
                                   const quorrel_worker_options_t* options, quorrel_worker_runtime_reports_t* reports,
                                   int command, double dt, int step_id, int* stop_requested) {
    if (runtime == nullptr || options == nullptr || stop_requested == nullptr) return -1;
    switch (command) {
        case QUORREL_WORKER_COMMAND_INIT: return quorrel_worker_runtime_reset(runtime);
        case QUORREL_WORKER_COMMAND_READ_INPUT:
            if (quorrel_worker_runtime_ensure_initialized(runtime) != 0) return -1;
            return quorrel_read_inp(options->case_file);
        case QUORREL_WORKER_COMMAND_BUILD_MODEL: return quorrel_build_model();
        case QUORREL_WORKER_COMMAND_EXPORT_INTERFACE:
            if (int status = require_initialized()) return status;
            return quorrel_worker_runtime_export_particles(ipc, reports, step_id);
        case QUORREL_WORKER_COMMAND_IMPORT_LOADS:
            if (int status = require_initialized()) return status;
            return quorrel_worker_runtime_import_forces(ipc, reports, step_id);
        case QUORREL_WORKER_COMMAND_ADVANCE: return advance(dt);
        case QUORREL_WORKER_COMMAND_WRITE_OUTPUT: return write_output(step_id);
        case QUORREL_WORKER_COMMAND_STOP: return stop(runtime, stop_requested);
        default: return -1;
    }
}

int quorrel_worker_runtime_finish(quorrel_worker_ipc_t* ipc, int sequence, int state, int error_code) {
    if (quorrel_worker_ipc_write_done(ipc, sequence, state, error_code) != 0) return -1;
    int signal_error = QUORREL_WORKER_ERROR_OK;
    return quorrel_worker_ipc_signal_done(ipc, &signal_error) == 0 ? 0 : -1;
}

int quorrel_worker_runtime_loop(quorrel_worker_ipc_t* ipc, const quorrel_worker_options_t* options,
                                quorrel_worker_runtime_t* runtime, quorrel_worker_runtime_reports_t* reports) {
    if (ipc == nullptr || options == nullptr || runtime == nullptr) return quorrel_worker_exit_failed;
    for (;;) {
        int sequence = 0, command = 0, step_id = 0;
        double dt = 0.0;
        int next_state = QUORREL_WORKER_STATE_ERROR;
        int error = QUORREL_WORKER_ERROR_OK;

        quorrel_worker_runtime_reports_flush(reports);
        if (quorrel_worker_ipc_wait_command(ipc, options->timeout_ms, &error) != 0)
            return fail_command(ipc, options, reports, command, step_id, runtime->last_ack_sequence,
                                QUORREL_WORKER_STATE_ERROR, error, "worker command wait failed");
        if (quorrel_worker_ipc_read_command(ipc, &sequence, &command, &dt, &step_id, &error) != 0) {
            if (command_block_cut(ipc))
                return end_on_short_command_block(ipc, options, reports, command, step_id,
                                                  runtime->last_ack_sequence, nullptr);
            return fail_command(ipc, options, reports, command, step_id, runtime->last_ack_sequence,
                                QUORREL_WORKER_STATE_ERROR, error, "worker command read failed");
        }
        // A stale or repeated number leaves what was acknowledged as it was.
        if (!quorrel_worker_ack_is_new(runtime->last_ack_sequence, sequence))
            return fail_command(ipc, options, reports, command, step_id, sequence, QUORREL_WORKER_STATE_ERROR,
                                QUORREL_WORKER_ERROR_CONFLICT, "worker command sequence conflict");
        if (quorrel_worker_next_state(runtime->current_state, command, ipc->timed_out, &next_state, &error) != 0) {
            runtime->last_ack_sequence = sequence;
            runtime->current_state = next_state;
            return fail_command(ipc, options, reports, command, step_id, sequence, next_state, error,
                                "worker command rejected by state machine");
        }
        // The host may have cut the data object since the attach: checked again before
        // every command that reads or writes the data block.
        if ((command == QUORREL_WORKER_COMMAND_EXPORT_INTERFACE || command == QUORREL_WORKER_COMMAND_IMPORT_LOADS) &&
            ipc->data_view != nullptr && !quorrel_worker_ipc_data_intact(ipc)) {
            runtime->last_ack_sequence = sequence;
            runtime->current_state = QUORREL_WORKER_STATE_ERROR;
            return fail_command(ipc, options, reports, command, step_id, sequence, QUORREL_WORKER_STATE_ERROR,
                                QUORREL_WORKER_ERROR_IPC, "worker data block is too short");
        }
        int stop_requested = 0;
        if (quorrel_worker_runtime_execute(runtime, ipc, options, reports, command, dt, step_id, &stop_requested) !=
            0) {
            next_state = QUORREL_WORKER_STATE_ERROR;
            error = QUORREL_WORKER_ERROR_INTERNAL;
        }
        quorrel_worker_runtime_reports_flush(reports);
        // The block as this command left it, before the host may write it again.
        quorrel_worker_log_record_t block;
        quorrel_worker_runtime_block_columns(ipc, &block);
        if (quorrel_worker_runtime_finish(ipc, sequence, next_state, error) != 0) {
            if (command_block_cut(ipc))
                return end_on_short_command_block(ipc, options, reports, command, step_id, sequence, &block);
            return quorrel_worker_exit_failed;
        }
        quorrel_worker_runtime_reports_log(reports, options, ipc, command, step_id, sequence, next_state, 0, error,
                                           error == QUORREL_WORKER_ERROR_OK ? "ok" : "worker command failed", &block);
        runtime->last_ack_sequence = sequence;
        runtime->current_state = next_state;
        if (error != QUORREL_WORKER_ERROR_OK) return quorrel_worker_exit_failed;
        if (stop_requested != 0) return quorrel_worker_exit_ok;
    }
}

namespace {

// Steps 3 to 8 of the run, with the reports already prepared.
int run_attached(const quorrel_worker_options_t* options, quorrel_worker_runtime_t* runtime,
                 quorrel_worker_runtime_reports_t* reports, quorrel_worker_ipc_t* ipc) {
    if (quorrel_worker_ipc_init(ipc, options->ipc_name, options->command_block, options->data_prefix) != 0) {
        std::fprintf(stderr, "error_code: %d\n", QUORREL_WORKER_ERROR_ARGUMENT);
        std::fputs("error_message: invalid worker IPC names\n", stderr);
        quorrel_worker_runtime_reports_log(reports, options, nullptr, 0, 0, 0, QUORREL_WORKER_STATE_ERROR, 0,
                                           QUORREL_WORKER_ERROR_ARGUMENT, "invalid worker IPC names");
        return quorrel_worker_exit_usage;
    }
    quorrel_worker_runtime_reports_log(reports, options, ipc, 0, 0, 0, QUORREL_WORKER_STATE_CREATED, 0,
                                       QUORREL_WORKER_ERROR_OK, "worker startup");

    int error = QUORREL_WORKER_ERROR_OK;
    if (quorrel_worker_ipc_open(ipc, 0, &error) != 0) {
        std::printf("worker_state: %s\n", quorrel_worker_state_name(QUORREL_WORKER_STATE_ERROR));
        std::printf("solver_id: %s\n", text_or_empty(options->solver_id));
        std::printf("case: %s\n", text_or_empty(options->case_file));
        std::printf("ipc_name: %s\n", ipc->ipc_name);
        std::printf("command_block: %s\n", ipc->command_block);
        std::printf("data_prefix: %s\n", ipc->data_prefix);
        std::printf("command_event: %s\n", ipc->command_event);
        std::printf("done_event: %s\n", ipc->done_event);
        std::printf("log: %s\n", text_or_empty(options->log_path));
        std::printf("timeout_ms: %d\n", options->timeout_ms);
        std::printf("worker_id: %s\n", text_or_empty(options->worker_id));
        std::printf("ipc_platform: %s\n", quorrel_worker_ipc_platform_name(ipc->platform));
        std::printf("error_code: %d\n", error);
        std::fputs("error_message: worker IPC attach failed\n", stdout);
        quorrel_worker_runtime_reports_log(reports, options, ipc, 0, 0, 0, QUORREL_WORKER_STATE_ERROR, 0, error,
                                           "worker IPC attach failed");
        (void)quorrel_worker_ipc_close(ipc);
        return quorrel_worker_exit_failed;
    }

    quorrel_worker_runtime_reports_flush(reports);
    if (quorrel_worker_ipc_write_ready(ipc, &error) != 0 || quorrel_worker_ipc_signal_done(ipc, &error) != 0) {
        std::printf("worker_state: %s\n", quorrel_worker_state_name(QUORREL_WORKER_STATE_ERROR));
        std::printf("error_code: %d\n", error);
        std::fputs("error_message: worker READY signal failed\n", stdout);
        quorrel_worker_runtime_reports_log(reports, options, ipc, 0, 0, 0, QUORREL_WORKER_STATE_ERROR, 0, error,
                                           "worker READY signal failed");
        (void)quorrel_worker_ipc_close(ipc);
        return quorrel_worker_exit_failed;
    }
    quorrel_worker_runtime_reports_log(reports, options, ipc, 0, 0, 0, QUORREL_WORKER_STATE_READY, 0,
                                       QUORREL_WORKER_ERROR_OK, "worker ready");

    const int result = quorrel_worker_runtime_loop(ipc, options, runtime, reports);
    (void)quorrel_worker_ipc_close(ipc);
    return result;
}

}  // namespace

int quorrel_worker_run_real_ipc(const quorrel_worker_options_t* options) {
    if (options == nullptr) return quorrel_worker_exit_usage;
    quorrel_worker_runtime_t runtime;
    quorrel_worker_runtime_init(&runtime);
    quorrel_worker_runtime_reports_t reports;
    quorrel_worker_runtime_reports_init(&reports, options);
    quorrel_worker_runtime_reports_prepare(&reports);
    quorrel_worker_ipc_t ipc;
    const int result = run_attached(options, &runtime, &reports, &ipc);
    quorrel_worker_runtime_reports_close(&reports);
    return result;
}

int quorrel_worker_main(int argc, const char* const* argv) {
    // A host that reads our standard output or error through a pipe and goes away must
    // not kill the worker: a write then fails with EPIPE and the run ends by its status.
    std::signal(SIGPIPE, SIG_IGN);
    quorrel_worker_options_t options;
    char message[256];
    if (quorrel_worker_parse_args(argc, argv, &options, message, sizeof message) != 0) {
        std::fprintf(stderr, "error_code: %d\n", QUORREL_WORKER_ERROR_ARGUMENT);
        std::fprintf(stderr, "error_message: %s\n", message);
        quorrel_worker_print_usage();
        return quorrel_worker_exit_usage;
    }
    return quorrel_worker_run_real_ipc(&options);
}

}  // namespace quorrel
