// The worker's command line: its options, the capabilities text a host reads before it
// starts a worker, and the worker's usage lines.
#pragma once

#include <cstddef>

namespace quorrel {

// Filled by the option parser. The texts point at the command-line strings or at the
// fixed defaults; a null text was not given.
struct quorrel_worker_options_t {
    int enabled;
    const char* solver_id;
    const char* case_file;
    const char* ipc_name;
    const char* command_block;
    const char* data_prefix;
    const char* log_path;
    int timeout_ms;
    const char* worker_id;
};

inline constexpr int quorrel_worker_default_timeout_ms = 30000;
inline constexpr const char* quorrel_worker_default_log_path = "quorrel_zenvik_worker.log";

// The defaults: not enabled, solver "SPH", no case or IPC names, the default log, 30000
// ms, worker "quorrel".
void quorrel_worker_options_defaults(quorrel_worker_options_t* options);

// 1 when an argument after the program name is "--zenvik-worker" (respectively
// "--zenvik-capabilities"), else 0.
int quorrel_worker_args_requested(int argc, const char* const* argv);
int quorrel_worker_capabilities_requested(int argc, const char* const* argv);

// Walks the arguments after the program name into `options`. 0, or -1 with the first
// failure's message copied into `message` (cut to message_capacity - 1 characters).
[[nodiscard]] int quorrel_worker_parse_args(int argc, const char* const* argv, quorrel_worker_options_t* options,
                                            char* message, std::size_t message_capacity);

// The nine capabilities lines and the two worker usage lines, on standard output.
void quorrel_worker_print_capabilities();
void quorrel_worker_print_usage();

// The capabilities entry: the text and 0 when "--zenvik-capabilities" is the only
// argument; otherwise error lines on standard error, the usage, and 1.
int quorrel_worker_capabilities_main(int argc, const char* const* argv);

}  // namespace quorrel
