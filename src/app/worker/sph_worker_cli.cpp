#include "sph_worker_cli.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace quorrel {

namespace {

constexpr const char* worker_flag = "--zenvik-worker";
constexpr const char* capabilities_flag = "--zenvik-capabilities";

bool equals(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

int any_argument_is(int argc, const char* const* argv, const char* flag) {
    if (argv == nullptr) return 0;
    for (int i = 1; i < argc; ++i)
        if (equals(argv[i], flag)) return 1;
    return 0;
}

// Options that take the next argument as their value, and where the value goes.
struct TextOption {
    const char* name;
    const char* quorrel_worker_options_t::*field;
};
constexpr TextOption text_options[] = {
    {"--solver-id", &quorrel_worker_options_t::solver_id},
    {"--case", &quorrel_worker_options_t::case_file},
    {"--ipc-name", &quorrel_worker_options_t::ipc_name},
    {"--command-block", &quorrel_worker_options_t::command_block},
    {"--data-prefix", &quorrel_worker_options_t::data_prefix},
    {"--log", &quorrel_worker_options_t::log_path},
    {"--worker-id", &quorrel_worker_options_t::worker_id},
};

// Options of the console program, which have no place on a worker's command line.
constexpr const char* console_options[] = {"--run", "--check", "--output", "--version"};

// A base-10 integer using the whole text, in 1 .. INT_MAX.
bool parse_timeout(const char* text, int& value) {
    const char* end = text + std::strlen(text);
    long long parsed = 0;
    const auto result = std::from_chars(text, end, parsed);
    if (result.ec != std::errc() || result.ptr != end || parsed <= 0 || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

int fail(const char* text, char* message, std::size_t capacity) {
    if (message != nullptr && capacity > 0) {
        const std::size_t n = std::min(std::strlen(text), capacity - 1);
        std::memcpy(message, text, n);
        message[n] = '\0';
    }
    return -1;
}

}  // namespace

void quorrel_worker_options_defaults(quorrel_worker_options_t* options) {
    if (options == nullptr) return;
    options->enabled = 0;
    options->solver_id = "SPH";
    options->case_file = nullptr;
    options->ipc_name = nullptr;
    options->command_block = nullptr;
    options->data_prefix = nullptr;
    options->log_path = quorrel_worker_default_log_path;
    options->timeout_ms = quorrel_worker_default_timeout_ms;
    options->worker_id = "quorrel";
}

int quorrel_worker_args_requested(int argc, const char* const* argv) { return any_argument_is(argc, argv, worker_flag); }

int quorrel_worker_capabilities_requested(int argc, const char* const* argv) {
    return any_argument_is(argc, argv, capabilities_flag);
}

int quorrel_worker_parse_args(int argc, const char* const* argv, quorrel_worker_options_t* options, char* message,
                              std::size_t message_capacity) {
    if (message != nullptr && message_capacity > 0) message[0] = '\0';
    if (options == nullptr) return fail("worker options storage is null", message, message_capacity);
    quorrel_worker_options_defaults(options);
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        const char* arg = argv[i] != nullptr ? argv[i] : "";
        if (equals(arg, worker_flag)) {
            options->enabled = 1;
            continue;
        }
        const TextOption* text = nullptr;
        for (const TextOption& t : text_options)
            if (equals(arg, t.name)) text = &t;
        const bool timeout = equals(arg, "--timeout-ms");
        if (text != nullptr || timeout) {
            // The value is taken whole, even when it starts with two dashes.
            if (i + 1 >= argc || argv[i + 1] == nullptr)
                return fail("worker option is missing a value", message, message_capacity);
            const char* value = argv[++i];
            if (text != nullptr) {
                options->*(text->field) = value;
            } else if (!parse_timeout(value, options->timeout_ms)) {
                return fail("worker --timeout-ms must be a positive integer", message, message_capacity);
            }
            continue;
        }
        for (const char* console : console_options)
            if (equals(arg, console))
                return fail("worker mode conflicts with ordinary CLI options", message, message_capacity);
        return fail("worker mode received an unknown option or positional input", message, message_capacity);
    }
    if (options->enabled == 0) return fail("worker mode was not requested", message, message_capacity);
    if (options->case_file == nullptr) return fail("worker --case is required", message, message_capacity);
    if (options->ipc_name == nullptr) return fail("worker --ipc-name is required", message, message_capacity);
    return 0;
}

void quorrel_worker_print_capabilities() {
    // The values of command_block_version, data_layout and max_particle_records are those
    // of the command block and the data block.
    std::fputs(
        "solver=Quorrel\n"
        "zenvik_worker=yes\n"
        "ipc_backend=windows_shmem_named_event\n"
        "command_block_version=1\n"
        "data_layout=AOR_V1\n"
        "supports_real_ipc=yes\n"
        "supports_sph_to_zvk_particle=yes\n"
        "supports_zvk_to_sph_force=yes\n"
        "max_particle_records=4096\n",
        stdout);
}

void quorrel_worker_print_usage() {
    std::fputs(
        "usage: quorrel --zenvik-worker --solver-id SPH --case model.inp --ipc-name name [--command-block name] "
        "[--data-prefix prefix] [--log path] [--timeout-ms ms] [--worker-id id]\n"
        "usage: quorrel --zenvik-capabilities\n",
        stdout);
}

int quorrel_worker_capabilities_main(int argc, const char* const* argv) {
    if (argc == 2 && argv != nullptr && equals(argv[1], capabilities_flag)) {
        quorrel_worker_print_capabilities();
        return 0;
    }
    std::fputs("error_code: 2\nerror_message: --zenvik-capabilities must be used alone\n", stderr);
    quorrel_worker_print_usage();
    return 1;
}

}  // namespace quorrel
