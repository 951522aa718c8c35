// The coupling worker's run: from the parsed options to the exit status. It attaches to
// the host's objects, announces READY, then serves one command at a time through the C
// interface until STOP or the first failure, acknowledging every command.
#pragma once

#include "sph_worker_cli.h"
#include "sph_worker_ipc.h"
#include "sph_worker_runtime_reports.h"

namespace quorrel {

inline constexpr int quorrel_worker_exit_ok = 0;
inline constexpr int quorrel_worker_exit_usage = 1;   // bad options or IPC names; nothing opened
inline constexpr int quorrel_worker_exit_failed = 2;  // anything that went wrong once attached

struct quorrel_worker_runtime_t {
    int initialized;        // the interface is initialised by us and not finalised since
    int current_state;      // worker state
    int last_ack_sequence;  // last sequence acknowledged after it was accepted
};

// Not initialised, READY, nothing acknowledged.
void quorrel_worker_runtime_init(quorrel_worker_runtime_t* runtime);
// quorrel_initialize's status, or 0 when already initialised.
[[nodiscard]] int quorrel_worker_runtime_ensure_initialized(quorrel_worker_runtime_t* runtime);
// Finalises (when initialised) and initialises again.
[[nodiscard]] int quorrel_worker_runtime_reset(quorrel_worker_runtime_t* runtime);
// Performs one accepted command; the status of its model work (-1 for a failure of the
// worker's own step or a command it cannot perform). STOP sets `stop_requested`.
[[nodiscard]] int quorrel_worker_runtime_execute(quorrel_worker_runtime_t* runtime, quorrel_worker_ipc_t* ipc,
                                                 const quorrel_worker_options_t* options,
                                                 quorrel_worker_runtime_reports_t* reports, int command, double dt,
                                                 int step_id, int* stop_requested);
// Writes the acknowledgement, then posts the done event. -1 when either failed.
[[nodiscard]] int quorrel_worker_runtime_finish(quorrel_worker_ipc_t* ipc, int sequence, int state, int error_code);
// Serves commands until one asks to stop: 0 after STOP, 2 after any failure. A command
// object cut below its block since the attach ends the run with one post of the done
// event and no acknowledgement.
int quorrel_worker_runtime_loop(quorrel_worker_ipc_t* ipc, const quorrel_worker_options_t* options,
                                quorrel_worker_runtime_t* runtime, quorrel_worker_runtime_reports_t* reports);

// The whole run on the host's objects: 0, 1 or 2 (1 also for missing options).
int quorrel_worker_run_real_ipc(const quorrel_worker_options_t* options);
// The worker entry: ignores SIGPIPE for the rest of the process, parses the options (a
// failure prints the error lines and the usage, and gives 1), then runs.
int quorrel_worker_main(int argc, const char* const* argv);

}  // namespace quorrel
