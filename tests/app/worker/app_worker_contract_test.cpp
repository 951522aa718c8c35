// The worker's contract in-process: the option walk, the name tables, the state machine,
// the action tables, the byte layout of the records, report paths and log rows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "sph_worker_cli.h"
#include "sph_worker_contract.h"
#include "sph_worker_dispatch.h"
#include "sph_worker_ipc.h"
#include "sph_worker_protocol.h"
#include "sph_worker_reports.h"
#include "sph_worker_runtime_reports.h"

namespace quorrel {
namespace {

// ---- Options ----

struct Parsed {
    int status = 0;
    std::string message;
    quorrel_worker_options_t options{};
    // The arguments the options point into, kept as long as the result is.
    std::shared_ptr<const std::vector<std::string>> args;
};

Parsed parse(const std::vector<std::string>& given) {
    Parsed p;
    p.args = std::make_shared<const std::vector<std::string>>(given);
    std::vector<const char*> argv{"quorrel"};
    for (const std::string& a : *p.args) argv.push_back(a.c_str());
    char message[256];
    std::memset(message, 'x', sizeof message);
    p.status = quorrel_worker_parse_args(static_cast<int>(argv.size()), argv.data(), &p.options, message,
                                         sizeof message);
    p.message = message;
    return p;
}

std::string text(const char* value) { return value != nullptr ? value : "(null)"; }

const std::vector<std::string> minimal = {"--zenvik-worker", "--case", "m.inp", "--ipc-name", "ab"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(WorkerOptions, DefaultsWhenOnlyTheRequiredOptionsAreGiven) {
    const Parsed p = parse(minimal);
    ASSERT_EQ(p.status, 0) << p.message;
    EXPECT_EQ(p.message, "");
    EXPECT_EQ(p.options.enabled, 1);
    EXPECT_EQ(text(p.options.solver_id), "SPH");
    EXPECT_EQ(text(p.options.case_file), "m.inp");
    EXPECT_EQ(text(p.options.ipc_name), "ab");
    EXPECT_EQ(p.options.command_block, nullptr);
    EXPECT_EQ(p.options.data_prefix, nullptr);
    EXPECT_EQ(text(p.options.log_path), "quorrel_zenvik_worker.log");
    EXPECT_EQ(p.options.timeout_ms, 30000);
    EXPECT_EQ(text(p.options.worker_id), "quorrel");
}

TEST(WorkerOptions, EveryOptionLandsInItsField) {
    const Parsed p = parse({"--solver-id", "S2", "--case", "c.inp", "--ipc-name", "base", "--command-block", "cb",
                            "--data-prefix", "dp", "--log", "l.log", "--timeout-ms", "250", "--worker-id", "w7",
                            "--zenvik-worker"});
    ASSERT_EQ(p.status, 0) << p.message;
    EXPECT_EQ(text(p.options.solver_id), "S2");
    EXPECT_EQ(text(p.options.case_file), "c.inp");
    EXPECT_EQ(text(p.options.ipc_name), "base");
    EXPECT_EQ(text(p.options.command_block), "cb");
    EXPECT_EQ(text(p.options.data_prefix), "dp");
    EXPECT_EQ(text(p.options.log_path), "l.log");
    EXPECT_EQ(p.options.timeout_ms, 250);
    EXPECT_EQ(text(p.options.worker_id), "w7");
}

TEST(WorkerOptions, ValuesAreTakenWholeAndRepetitionReplaces) {
    // A value that looks like an option is still the value; a later option wins.
    const Parsed p = parse({"--zenvik-worker", "--case", "--run", "--ipc-name", "--ipc-name", "--case", "second.inp",
                            "--timeout-ms", "5", "--timeout-ms", "7", "--log", "", "--zenvik-worker"});
    ASSERT_EQ(p.status, 0) << p.message;
    EXPECT_EQ(text(p.options.case_file), "second.inp");
    EXPECT_EQ(text(p.options.ipc_name), "--ipc-name");
    EXPECT_EQ(p.options.timeout_ms, 7);
    EXPECT_EQ(text(p.options.log_path), "");
    const Parsed q = parse({"--zenvik-worker", "--case", "--case", "--ipc-name", "x"});
    ASSERT_EQ(q.status, 0) << q.message;
    EXPECT_EQ(text(q.options.case_file), "--case");
}

TEST(WorkerOptions, TimeoutMustBeAPositiveIntegerUsingTheWholeText) {
    const struct {
        const char* value;
        int want;  // 0: refused
    } cases[] = {
        {"250", 250},   {"1", 1},   {"2147483647", 2147483647}, {"0", 0},   {"-5", 0},  {"10x", 0}, {"x10", 0},
        {"", 0},        {" 5", 0},  {"5 ", 0},                  {"2.5", 0}, {"0x10", 0}, {"3000000000", 0},
        {"2147483648", 0}, {"99999999999999999999999", 0},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(with(minimal, {"--timeout-ms", c.value}));
        if (c.want != 0) {
            EXPECT_EQ(p.status, 0) << c.value << ": " << p.message;
            EXPECT_EQ(p.options.timeout_ms, c.want) << c.value;
        } else {
            EXPECT_EQ(p.status, -1) << c.value;
            EXPECT_EQ(p.message, "worker --timeout-ms must be a positive integer") << c.value;
        }
    }
}

TEST(WorkerOptions, EachFailureHasItsMessageAndTheFirstOneWins) {
    const std::string missing = "worker option is missing a value";
    const std::string conflicts = "worker mode conflicts with ordinary CLI options";
    const std::string unknown = "worker mode received an unknown option or positional input";
    const std::string timeout = "worker --timeout-ms must be a positive integer";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        // A value option as the last argument.
        {with(minimal, {"--solver-id"}), missing},
        {with(minimal, {"--case"}), missing},
        {with(minimal, {"--ipc-name"}), missing},
        {with(minimal, {"--command-block"}), missing},
        {with(minimal, {"--data-prefix"}), missing},
        {with(minimal, {"--log"}), missing},
        {with(minimal, {"--worker-id"}), missing},
        {with(minimal, {"--timeout-ms"}), missing},
        // Console options.
        {with(minimal, {"--run"}), conflicts},
        {with(minimal, {"--check"}), conflicts},
        {with(minimal, {"--output", "dir"}), conflicts},
        {with(minimal, {"--version"}), conflicts},
        // Anything else, names compared exactly.
        {with(minimal, {"model.inp"}), unknown},
        {with(minimal, {"--CASE", "m.inp"}), unknown},
        {with(minimal, {"--zenvik-capabilities"}), unknown},
        // The checks after the walk: enabled first, then the case, then the IPC name.
        {{"--case", "m.inp", "--ipc-name", "ab"}, "worker mode was not requested"},
        {{}, "worker mode was not requested"},
        {{"--zenvik-worker"}, "worker --case is required"},
        {{"--zenvik-worker", "--ipc-name", "ab"}, "worker --case is required"},
        {{"--zenvik-worker", "--case", "m.inp"}, "worker --ipc-name is required"},
        // The walk stops at its first failure, before the required options are checked.
        {{"--zenvik-worker", "--run", "--bogus"}, conflicts},
        {{"--zenvik-worker", "--bogus", "--run"}, unknown},
        {{"--zenvik-worker", "--timeout-ms", "0", "--run"}, timeout},
        {{"--timeout-ms", "10x", "--case"}, timeout},
        {{"--bogus"}, unknown},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.status, -1) << shown;
        EXPECT_EQ(p.message, c.message) << shown;
    }
}

TEST(WorkerOptions, MessageIsCutToTheBufferAndMissingStorageIsRefused) {
    const char* argv[] = {"quorrel", "--zenvik-worker"};
    char small[8];
    quorrel_worker_options_t options{};
    EXPECT_EQ(quorrel_worker_parse_args(2, argv, &options, small, sizeof small), -1);
    EXPECT_STREQ(small, "worker ");  // "worker --case is required" cut to 7 characters
    char message[64];
    EXPECT_EQ(quorrel_worker_parse_args(2, argv, nullptr, message, sizeof message), -1);
    EXPECT_STREQ(message, "worker options storage is null");
}

TEST(WorkerOptions, RequestTestsLookPastTheProgramNameOnly) {
    const struct {
        std::vector<const char*> argv;
        int worker, capabilities;
    } cases[] = {
        {{"--zenvik-worker"}, 0, 0},  // the program name itself is not looked at
        {{"quorrel"}, 0, 0},
        {{"quorrel", "model.inp", "--zenvik-worker"}, 1, 0},
        {{"quorrel", "--zenvik-capabilities", "x"}, 0, 1},
        {{"quorrel", "--zenvik-worker", "--zenvik-capabilities"}, 1, 1},
        {{"quorrel", "--zenvik-workers", "-zenvik-capabilities"}, 0, 0},
    };
    for (const auto& c : cases) {
        const int argc = static_cast<int>(c.argv.size());
        EXPECT_EQ(quorrel_worker_args_requested(argc, c.argv.data()), c.worker) << c.argv.back();
        EXPECT_EQ(quorrel_worker_capabilities_requested(argc, c.argv.data()), c.capabilities) << c.argv.back();
    }
}

// ---- Names ----

TEST(WorkerNames, ProtocolTablesAndCodesOutsideThem) {
    const std::vector<std::string> commands = {"UNKNOWN",      "INIT",    "READ_INPUT",   "BUILD_MODEL", "EXPORT_INTERFACE",
                                               "IMPORT_LOADS", "ADVANCE", "WRITE_OUTPUT", "STOP",        "UNKNOWN"};
    for (int code = 0; code < static_cast<int>(commands.size()); ++code)
        EXPECT_EQ(quorrel_worker_command_name(code), commands[static_cast<std::size_t>(code)]) << code;
    EXPECT_STREQ(quorrel_worker_command_name(-1), "UNKNOWN");
    const std::vector<std::string> states = {"CREATED", "READY", "RUNNING", "DONE", "ERROR", "STOPPED", "UNKNOWN"};
    for (int code = 0; code < static_cast<int>(states.size()); ++code)
        EXPECT_EQ(quorrel_worker_state_name(code), states[static_cast<std::size_t>(code)]) << code;
    EXPECT_STREQ(quorrel_worker_state_name(-1), "UNKNOWN");
    const std::vector<std::string> errors = {"OK",  "ARGUMENT",        "CONFLICT", "UNSUPPORTED", "TIMEOUT",
                                             "IPC", "UNKNOWN_COMMAND", "INTERNAL", "UNKNOWN"};
    for (int code = 0; code < static_cast<int>(errors.size()); ++code)
        EXPECT_EQ(quorrel_worker_error_name(code), errors[static_cast<std::size_t>(code)]) << code;
    EXPECT_STREQ(quorrel_worker_error_name(-1), "UNKNOWN");
    EXPECT_STREQ(quorrel_worker_error_name(1000), "UNKNOWN");
}

TEST(WorkerNames, CommandFromNameIsExact) {
    const struct {
        const char* name;
        int code;
    } cases[] = {
        {"INIT", 1},         {"READ_INPUT", 2}, {"BUILD_MODEL", 3}, {"EXPORT_INTERFACE", 4}, {"IMPORT_LOADS", 5},
        {"ADVANCE", 6},      {"WRITE_OUTPUT", 7}, {"STOP", 8},      {"init", 0},             {"INIT ", 0},
        {" STOP", 0},        {"UNKNOWN", 0},    {"", 0},            {nullptr, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(quorrel_worker_command_from_name(c.name), c.code) << text(c.name);
    const struct {
        int code;
        bool known;
    } known[] = {{-1, false}, {0, false}, {1, true}, {4, true}, {8, true}, {9, false}, {12, false}};
    for (const auto& k : known) EXPECT_EQ(quorrel_worker_command_is_known(k.code), k.known) << k.code;
}

TEST(WorkerNames, ContractTablesAndCodesOutsideThem) {
    const std::vector<std::string> contacts = {"inactive", "candidate", "active", "released", "tied", "unknown"};
    for (int code = 0; code < static_cast<int>(contacts.size()); ++code)
        EXPECT_EQ(quorrel_worker_contact_state_name(code), contacts[static_cast<std::size_t>(code)]) << code;
    EXPECT_STREQ(quorrel_worker_contact_state_name(-1), "unknown");
    const std::vector<std::string> reasons = {"none",           "unmatched_particle", "nonfinite_force",
                                              "nonfinite_contact", "invalid_weight", "stale_epoch",
                                              "repeated_import", "unknown"};
    for (int code = 0; code < static_cast<int>(reasons.size()); ++code)
        EXPECT_EQ(quorrel_worker_reject_reason_name(code), reasons[static_cast<std::size_t>(code)]) << code;
    EXPECT_STREQ(quorrel_worker_reject_reason_name(-1), "unknown");
    const std::vector<std::string> regions = {"unknown",           "input_force",        "input_moment",
                                              "distributed_force", "distributed_moment", "force_error",
                                              "moment_error",      "unmatched_particles", "rejected_records",
                                              "nonfinite_forces",  "nonfinite_contacts", "unknown"};
    for (int code = 0; code < static_cast<int>(regions.size()); ++code)
        EXPECT_EQ(quorrel_worker_region_diagnostic_name(code), regions[static_cast<std::size_t>(code)]) << code;
    EXPECT_STREQ(quorrel_worker_region_diagnostic_name(-3), "unknown");
    const std::vector<std::string> fields = {
        "unknown",           "source_id",         "pair_id",          "body_id",
        "contact_radius",    "sound_speed",       "valid_flags",      "moment",
        "interface_pressure", "interface_velocity", "boundary_state_id", "ghost_state_id",
        "boundary_position", "boundary_velocity", "boundary_normal",  "boundary_pressure",
        "boundary_density",  "boundary_sound_speed", "boundary_state_mode", "unknown"};
    for (int code = 0; code < static_cast<int>(fields.size()); ++code) {
        EXPECT_EQ(quorrel_worker_v2_field_name(code), fields[static_cast<std::size_t>(code)]) << code;
        EXPECT_EQ(quorrel_worker_v2_field_is_boundary(code), code >= 10 && code <= 18) << code;
    }
    EXPECT_STREQ(quorrel_worker_v2_field_name(-1), "unknown");
    const bool imported[] = {false, true, true, false, true, false};
    for (int state = 0; state < 6; ++state)
        EXPECT_EQ(quorrel_worker_contact_state_imported(state), imported[state]) << state;
    EXPECT_FALSE(quorrel_worker_contact_state_imported(-1));
}

TEST(WorkerNames, ActionNamesAndEveryCommandsList) {
    const std::vector<std::string> actions = {"NONE",
                                              "INIT_STATE",
                                              "quorrel_read_inp",
                                              "quorrel_build_model",
                                              "quorrel_coupling_get_region_count",
                                              "quorrel_coupling_get_region_info",
                                              "quorrel_coupling_export_particles",
                                              "quorrel_coupling_export_facets",
                                              "quorrel_coupling_apply_particle_forces",
                                              "quorrel_coupling_apply_facet_pressures",
                                              "quorrel_coupling_apply_facet_tractions",
                                              "quorrel_coupling_apply_facet_resultants",
                                              "quorrel_coupling_apply_contact_state",
                                              "quorrel_coupling_apply_motion_boundary",
                                              "quorrel_advance_explicit",
                                              "quorrel_write_output",
                                              "STOP",
                                              "NONE"};
    for (int code = 0; code < static_cast<int>(actions.size()); ++code)
        EXPECT_EQ(quorrel_worker_action_name(code), actions[static_cast<std::size_t>(code)]) << code;
    EXPECT_STREQ(quorrel_worker_action_name(-1), "NONE");

    const struct {
        int command;
        std::vector<int> actions;
    } lists[] = {
        {1, {1}}, {2, {2}}, {3, {3}}, {4, {4, 5, 6, 7}}, {5, {8, 9, 10, 11, 12, 13}}, {6, {14}}, {7, {15}}, {8, {16}},
    };
    for (const auto& l : lists) {
        const int n = static_cast<int>(l.actions.size());
        int out[12];
        std::fill(std::begin(out), std::end(out), -7);
        int count = -1;
        ASSERT_EQ(quorrel_worker_fill_actions(l.command, out, n, &count), 0) << l.command;
        EXPECT_EQ(count, n) << l.command;
        EXPECT_EQ(std::vector<int>(out, out + n), l.actions) << l.command;
        EXPECT_EQ(out[n], -7) << l.command;  // nothing past the list
        // One slot short: refused, nothing reported.
        EXPECT_EQ(quorrel_worker_fill_actions(l.command, out, n - 1, &count), -1) << l.command;
        EXPECT_EQ(count, 0) << l.command;
    }
    for (int command : {-1, 0, 9, 12}) {
        int out[12];
        int count = -1;
        EXPECT_EQ(quorrel_worker_fill_actions(command, out, 12, &count), -1) << command;
        EXPECT_EQ(count, 0) << command;
        EXPECT_EQ(quorrel_worker_command_actions(command).count, 0) << command;
    }
    int count = 0;
    EXPECT_EQ(quorrel_worker_fill_actions(1, nullptr, 12, &count), -1);
    int out[12];
    EXPECT_EQ(quorrel_worker_fill_actions(1, out, 12, nullptr), -1);
}

// ---- State machine and acknowledgement rule ----

TEST(WorkerStateMachine, EveryRowInItsOrder) {
    enum { CREATED, READY, RUNNING, DONE, ERROR, STOPPED };
    enum { OK, CONFLICT = 2, TIMEOUT = 4, UNKNOWN_COMMAND = 6 };
    const struct {
        int state, command, timed_out;
        int result, next, error;
    } rows[] = {
        // A time-out beats everything, even an unknown command or the STOPPED state.
        {READY, 1, 1, -1, ERROR, TIMEOUT},
        {DONE, 8, 1, -1, ERROR, TIMEOUT},
        {STOPPED, 1, 1, -1, ERROR, TIMEOUT},
        {DONE, 12, 7, -1, ERROR, TIMEOUT},
        // Unknown commands, before the state rows.
        {READY, 0, 0, -1, ERROR, UNKNOWN_COMMAND},
        {DONE, 9, 0, -1, ERROR, UNKNOWN_COMMAND},
        {STOPPED, 9, 0, -1, ERROR, UNKNOWN_COMMAND},
        {ERROR, -1, 0, -1, ERROR, UNKNOWN_COMMAND},
        {CREATED, 12, 0, -1, ERROR, UNKNOWN_COMMAND},
        // STOPPED takes nothing.
        {STOPPED, 1, 0, -1, STOPPED, CONFLICT},
        {STOPPED, 6, 0, -1, STOPPED, CONFLICT},
        {STOPPED, 8, 0, -1, STOPPED, CONFLICT},
        // ERROR takes INIT only, which leaves it for DONE.
        {ERROR, 1, 0, 0, DONE, OK},
        {ERROR, 2, 0, -1, ERROR, CONFLICT},
        {ERROR, 7, 0, -1, ERROR, CONFLICT},
        {ERROR, 8, 0, -1, ERROR, CONFLICT},
        // STOP from any other state.
        {CREATED, 8, 0, 0, STOPPED, OK},
        {READY, 8, 0, 0, STOPPED, OK},
        {RUNNING, 8, 0, 0, STOPPED, OK},
        {DONE, 8, 0, 0, STOPPED, OK},
        // An unlisted state code is not STOPPED or ERROR.
        {17, 3, 0, 0, DONE, OK},
    };
    for (const auto& r : rows) {
        int next = -9, error = -9;
        EXPECT_EQ(quorrel_worker_next_state(r.state, r.command, r.timed_out, &next, &error), r.result)
            << r.state << " " << r.command;
        EXPECT_EQ(next, r.next) << r.state << " " << r.command;
        EXPECT_EQ(error, r.error) << r.state << " " << r.command;
    }
    // Every other command from the accepting states gives DONE.
    for (int state : {CREATED, READY, RUNNING, DONE})
        for (int command = 1; command <= 7; ++command) {
            int next = -9, error = -9;
            EXPECT_EQ(quorrel_worker_next_state(state, command, 0, &next, &error), 0) << state << " " << command;
            EXPECT_EQ(next, DONE) << state << " " << command;
            EXPECT_EQ(error, OK) << state << " " << command;
        }
}

TEST(WorkerStateMachine, MissingOutputsAreRefusedUntouched) {
    int next = -9, error = -9;
    EXPECT_EQ(quorrel_worker_next_state(1, 1, 0, nullptr, &error), -1);
    EXPECT_EQ(error, -9);
    EXPECT_EQ(quorrel_worker_next_state(1, 1, 0, &next, nullptr), -1);
    EXPECT_EQ(next, -9);
}

TEST(WorkerStateMachine, AcknowledgementRuleAndApiStatuses) {
    const struct {
        int last, sequence;
        bool is_new;
    } cases[] = {{5, 5, false}, {5, 6, true}, {5, 100, true}, {5, 4, false}, {0, 0, false},
                 {0, 1, true},  {0, -1, false}, {-3, -2, true}, {2147483646, 2147483647, true}};
    for (const auto& c : cases)
        EXPECT_EQ(quorrel_worker_ack_is_new(c.last, c.sequence), c.is_new) << c.last << " " << c.sequence;
    const struct {
        int status, error;
    } statuses[] = {{0, 0}, {-1, 7}, {1, 7}, {2, 7}, {3, 7}, {5, 7}};
    for (const auto& s : statuses) EXPECT_EQ(quorrel_worker_error_from_api_status(s.status), s.error) << s.status;
}

// ---- Record layouts, checked byte by byte ----

template <typename T>
T at(const void* base, std::size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(base) + offset, sizeof value);
    return value;
}

TEST(WorkerRecords, CommandBlockFieldsSitAtTheirOffsets) {
    quorrel_worker_command_block_t b;
    std::memset(&b, 0, sizeof b);
    b.version = 11;
    b.sequence = 12;
    b.command = 13;
    b.substep_id = 14;
    b.iteration_id = 15;
    b.step_id = 16;
    b.dt = 0.375;
    b.ack_sequence = 17;
    b.worker_state = 18;
    b.error_code = 19;
    std::memcpy(b.message, "ACK", 4);
    b.message[127] = 'z';
    EXPECT_EQ(sizeof b, 176u);
    const struct {
        std::size_t offset;
        std::int32_t value;
    } ints[] = {{0, 11}, {4, 12}, {8, 13}, {12, 14}, {16, 15}, {20, 16}, {32, 17}, {36, 18}, {40, 19}};
    for (const auto& i : ints) EXPECT_EQ(at<std::int32_t>(&b, i.offset), i.value) << i.offset;
    EXPECT_EQ(at<double>(&b, 24), 0.375);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const unsigned char*>(&b) + 44, "ACK", 4), 0);
    EXPECT_EQ(at<char>(&b, 44 + 127), 'z');
    EXPECT_EQ(at<std::uint32_t>(&b, 172), 0u);
}

TEST(WorkerRecords, BoundaryStateFieldsSitAtTheirOffsetsAndClearZeroesAll) {
    quorrel_worker_boundary_state_t s;
    std::memset(&s, 0, sizeof s);
    s.boundary_state_id = 1;
    s.ghost_state_id = 2;
    s.state_mode = 3;
    s.valid_flags = 0x80000004u;
    for (int k = 0; k < 3; ++k) {
        s.position[k] = 10 + k;
        s.velocity[k] = 20 + k;
        s.normal[k] = 30 + k;
        s.interface_velocity[k] = 40 + k;
    }
    s.pressure = 5.5;
    s.density = 6.5;
    s.sound_speed = 7.5;
    s.interface_pressure = 8.5;
    EXPECT_EQ(sizeof s, 144u);
    EXPECT_EQ(at<std::int32_t>(&s, 0), 1);
    EXPECT_EQ(at<std::int32_t>(&s, 4), 2);
    EXPECT_EQ(at<std::int32_t>(&s, 8), 3);
    EXPECT_EQ(at<std::uint32_t>(&s, 12), 0x80000004u);
    for (int k = 0; k < 3; ++k) {
        const std::size_t step = 8 * static_cast<std::size_t>(k);
        EXPECT_EQ(at<double>(&s, 16 + step), 10 + k);
        EXPECT_EQ(at<double>(&s, 40 + step), 20 + k);
        EXPECT_EQ(at<double>(&s, 64 + step), 30 + k);
        EXPECT_EQ(at<double>(&s, 120 + step), 40 + k);
    }
    EXPECT_EQ(at<double>(&s, 88), 5.5);
    EXPECT_EQ(at<double>(&s, 96), 6.5);
    EXPECT_EQ(at<double>(&s, 104), 7.5);
    EXPECT_EQ(at<double>(&s, 112), 8.5);
    std::memset(&s, 0xA5, sizeof s);
    quorrel_worker_boundary_state_clear(&s);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&s);
    for (std::size_t i = 0; i < sizeof s; ++i) EXPECT_EQ(bytes[i], 0) << i;
    quorrel_worker_boundary_state_clear(nullptr);
}

// ---- Report paths and rows ----

TEST(WorkerReports, PathsFollowTheLogPathsDirectory) {
    const std::string particle = "quorrel_zenvik_particle_report.csv";
    const std::string force = "quorrel_zenvik_force_report.csv";
    const struct {
        const char* log;
        std::string log_path, directory;
    } cases[] = {
        {"w.log", "w.log", ""},
        {nullptr, "quorrel_zenvik_worker.log", ""},
        {"", "quorrel_zenvik_worker.log", ""},
        {"runs/a/w.log", "runs/a/w.log", "runs/a/"},
        {"/abs/w.log", "/abs/w.log", "/abs/"},
        {"C:\\run\\w.log", "C:\\run\\w.log", "C:\\run\\"},
        {"a\\b/c.log", "a\\b/c.log", "a\\b/"},
        {"a/b\\c.log", "a/b\\c.log", "a/b\\"},
        {"dir/", "dir/", "dir/"},
    };
    for (const auto& c : cases) {
        char buffer[512];
        ASSERT_EQ(quorrel_worker_report_path(buffer, sizeof buffer, c.log, QUORREL_WORKER_REPORT_LOG), 0);
        EXPECT_EQ(std::string(buffer), c.log_path) << text(c.log);
        ASSERT_EQ(quorrel_worker_report_path(buffer, sizeof buffer, c.log, QUORREL_WORKER_REPORT_PARTICLE), 0);
        EXPECT_EQ(std::string(buffer), c.directory + particle) << text(c.log);
        ASSERT_EQ(quorrel_worker_report_path(buffer, sizeof buffer, c.log, QUORREL_WORKER_REPORT_FORCE), 0);
        EXPECT_EQ(std::string(buffer), c.directory + force) << text(c.log);
    }
    char buffer[512];
    EXPECT_EQ(quorrel_worker_report_path(buffer, sizeof buffer, "w.log", 0), -1);
    EXPECT_EQ(quorrel_worker_report_path(buffer, sizeof buffer, "w.log", 4), -1);
    EXPECT_EQ(quorrel_worker_report_path(nullptr, 512, "w.log", 1), -1);
}

TEST(WorkerReports, PathsMustFitInFiveHundredTwelveBytes) {
    // The particle file name has 34 characters and the force file name 31: a directory of
    // 477 characters leaves 477 + 34 = 511 and the zero for the particle path; 478 is one
    // too many. A log path fits up to 511 characters.
    const struct {
        std::string log;
        int kind, result;
    } cases[] = {
        {std::string(511, 'l'), QUORREL_WORKER_REPORT_LOG, 0},
        {std::string(512, 'l'), QUORREL_WORKER_REPORT_LOG, -1},
        {std::string(476, 'd') + "/x", QUORREL_WORKER_REPORT_PARTICLE, 0},
        {std::string(477, 'd') + "/x", QUORREL_WORKER_REPORT_PARTICLE, -1},
        {std::string(479, 'd') + "/x", QUORREL_WORKER_REPORT_FORCE, 0},
        {std::string(480, 'd') + "/x", QUORREL_WORKER_REPORT_FORCE, -1},
    };
    for (const auto& c : cases) {
        char buffer[512];
        EXPECT_EQ(quorrel_worker_report_path(buffer, sizeof buffer, c.log.c_str(), c.kind), c.result)
            << c.log.size() << " " << c.kind;
    }
    // One path that does not fit turns every report off.
    quorrel_worker_options_t options;
    quorrel_worker_options_defaults(&options);
    const std::string too_deep = std::string(477, 'd') + "/w.log";
    options.log_path = too_deep.c_str();
    quorrel_worker_runtime_reports_t reports;
    quorrel_worker_runtime_reports_init(&reports, &options);
    EXPECT_EQ(reports.enabled, 0);
    options.log_path = "w.log";
    quorrel_worker_runtime_reports_init(&reports, &options);
    EXPECT_EQ(reports.enabled, 1);
    EXPECT_STREQ(reports.force_path, "quorrel_zenvik_force_report.csv");
}

TEST(WorkerReports, HeadersNameTheColumns) {
    EXPECT_STREQ(quorrel_worker_report_header(QUORREL_WORKER_REPORT_LOG),
                 "solver_id,case_file,ipc_name,command_block,data_prefix,command_event,done_event,timeout_ms,"
                 "worker_id,command_id,step_id,ack_sequence,worker_state,exported_particles,exported_facets,"
                 "received_forces,total_fx,total_fy,total_fz,total_mx,total_my,total_mz,nonfinite_particles,"
                 "error_code,error_message");
    EXPECT_STREQ(quorrel_worker_report_header(QUORREL_WORKER_REPORT_PARTICLE),
                 "step_id,region_index,export_index,internal_index,external_id,phase,status,material,section,x,y,z,"
                 "vx,vy,vz,reject_reason");
    EXPECT_STREQ(quorrel_worker_report_header(QUORREL_WORKER_REPORT_FORCE),
                 "step_id,region_index,source_id,pair_id,target_id,export_index,internal_index,fx,fy,fz,mx,my,mz,"
                 "contact_state,reject_reason");
    EXPECT_EQ(quorrel_worker_report_header(0), nullptr);
}

TEST(WorkerReports, LogRowHasEveryColumnInOrder) {
    quorrel_worker_log_record_t r;
    quorrel_worker_log_record_clear(&r);
    r.solver_id = "SPH";
    r.case_file = "deck.inp";
    r.ipc_name = "ab";
    r.command_block = "ab.command";
    r.data_prefix = "ab.data";
    r.command_event = "ab.command_event";
    r.done_event = nullptr;  // a missing text prints empty
    r.worker_id = "w1";
    r.timeout_ms = 250;
    r.command_id = 6;
    r.step_id = -3;
    r.ack_sequence = 42;
    r.worker_state = 3;
    r.exported_particles = 7;
    r.exported_facets = 8;
    r.received_forces = 9;
    r.nonfinite_particles = 10;
    r.total_force[0] = -8.0;
    r.total_force[1] = 1.0 / 3.0;  // 0.333... printed to 17 significant digits: ...31e-01
    r.total_force[2] = 0x1p100;  // 1267650600228229401496703205376
    r.total_moment[0] = 0.0;
    r.total_moment[1] = -0.0;
    r.total_moment[2] = 0.15625;  // 5/32
    r.error_code = 7;
    r.error_message = "worker command failed";
    quorrel_worker_line_t line;
    ASSERT_EQ(quorrel_worker_format_log_record(&r, &line), 0);
    EXPECT_EQ(std::string(line.text, line.length),
              "SPH,deck.inp,ab,ab.command,ab.data,ab.command_event,,250,w1,6,-3,42,DONE,7,8,9,"
              "-8.0000000000000000e+00,3.3333333333333331e-01,1.2676506002282294e+30,0.0000000000000000e+00,"
              "-0.0000000000000000e+00,1.5625000000000000e-01,10,7,worker command failed");
    r.worker_state = 99;
    r.error_message = nullptr;
    ASSERT_EQ(quorrel_worker_format_log_record(&r, &line), 0);
    const std::string row(line.text, line.length);
    EXPECT_NE(row.find(",42,UNKNOWN,7,"), std::string::npos) << row;
    EXPECT_EQ(row.substr(row.size() - 6), ",10,7,") << row;  // and an empty message
}

// A text with a comma, a double quote or a line end is one CSV field: quoted, its inner
// quotes doubled. Texts without one are copied as they are.
TEST(WorkerReports, TextFieldsAreQuotedOnlyWhenTheyWouldSplitTheRow) {
    const struct {
        const char* text;
        const char* field;
    } cases[] = {
        {"plain.inp", "plain.inp"},
        {"", ""},
        {"semi;colon 'single'", "semi;colon 'single'"},
        {"a,b", "\"a,b\""},
        {",", "\",\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"\"", "\"\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {"\"a\",\"b\"", "\"\"\"a\"\",\"\"b\"\"\""},
    };
    for (const auto& c : cases) {
        quorrel_worker_line_t line;
        quorrel_worker_line_clear(&line);
        quorrel_worker_line_field(&line, c.text);
        EXPECT_EQ(std::string(line.text, line.length), c.field) << c.text;
    }
    quorrel_worker_line_t line;
    quorrel_worker_line_clear(&line);
    quorrel_worker_line_field(&line, nullptr);
    EXPECT_EQ(line.length, 0u);

    // A log row with commas in the IPC name and the case path keeps its 25 columns: the
    // names derived from the base carry its comma too.
    quorrel_worker_log_record_t r;
    quorrel_worker_log_record_clear(&r);
    r.solver_id = "SPH";
    r.case_file = "runs/a,b/deck.inp";
    r.ipc_name = "x,y";
    r.command_block = "x,y.command";
    r.data_prefix = "x,y.data";
    r.command_event = "x,y.command_event";
    r.done_event = "x,y.done_event";
    r.worker_id = "say \"w\"";
    r.worker_state = 3;
    r.error_message = "ok";
    ASSERT_EQ(quorrel_worker_format_log_record(&r, &line), 0);
    EXPECT_EQ(std::string(line.text, line.length),
              "SPH,\"runs/a,b/deck.inp\",\"x,y\",\"x,y.command\",\"x,y.data\",\"x,y.command_event\","
              "\"x,y.done_event\",0,\"say \"\"w\"\"\",0,0,0,DONE,0,0,0," +
                  [] {
                      std::string reals;
                      for (int k = 0; k < 6; ++k) reals += "0.0000000000000000e+00,";
                      return reals;
                  }() +
                  "0,0,ok");
}

TEST(WorkerReports, LogRowLongerThanTheLineIsRefused) {
    // With every text missing, state CREATED and all numbers 0 the row is
    // ",,,,,,," (7) + "0," (2) + "," (1) + "0,0,0," (6) + "CREATED," (8) + "0,0,0," (6)
    // + 6 x "0.0000000000000000e+00," (6 x 23 = 138) + "0,0," (4) = 172 characters and then
    // the message. A row of 1023 characters fits beside its terminating zero; 1024 do not.
    quorrel_worker_log_record_t r;
    quorrel_worker_log_record_clear(&r);
    const std::string fits(1023 - 172, 'm'), too_long(1024 - 172, 'm');
    quorrel_worker_line_t line;
    r.error_message = fits.c_str();
    ASSERT_EQ(quorrel_worker_format_log_record(&r, &line), 0);
    EXPECT_EQ(line.length, 1023u);
    EXPECT_EQ(std::string(line.text, 172), ",,,,,,,0,,0,0,0,CREATED,0,0,0," + [] {
        std::string reals;
        for (int k = 0; k < 6; ++k) reals += "0.0000000000000000e+00,";
        return reals;
    }() + "0,0,");
    r.error_message = too_long.c_str();
    EXPECT_EQ(quorrel_worker_format_log_record(&r, &line), -1);
    EXPECT_TRUE(line.overflow);
}

}  // namespace
}  // namespace quorrel
