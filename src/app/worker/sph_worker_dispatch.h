// The steps a command stands for. The tables name, for each command, the actions that a
// full implementation of the command performs; the model steps are named after the C
// function that performs them.
#pragma once

namespace quorrel {

enum quorrel_worker_action_t : int {
    QUORREL_WORKER_ACTION_NONE = 0,
    QUORREL_WORKER_ACTION_INIT_STATE = 1,
    QUORREL_WORKER_ACTION_READ_INPUT = 2,
    QUORREL_WORKER_ACTION_BUILD_MODEL = 3,
    QUORREL_WORKER_ACTION_EXPORT_REGION_COUNT = 4,
    QUORREL_WORKER_ACTION_EXPORT_REGION_INFO = 5,
    QUORREL_WORKER_ACTION_EXPORT_PARTICLES = 6,
    QUORREL_WORKER_ACTION_EXPORT_FACETS = 7,
    QUORREL_WORKER_ACTION_IMPORT_PARTICLE_FORCE = 8,
    QUORREL_WORKER_ACTION_IMPORT_FACET_PRESSURE = 9,
    QUORREL_WORKER_ACTION_IMPORT_FACET_TRACTION = 10,
    QUORREL_WORKER_ACTION_IMPORT_FACET_RESULTANT = 11,
    QUORREL_WORKER_ACTION_IMPORT_CONTACT_STATE = 12,
    QUORREL_WORKER_ACTION_IMPORT_MOTION_BOUNDARY = 13,
    QUORREL_WORKER_ACTION_ADVANCE_EXPLICIT = 14,
    QUORREL_WORKER_ACTION_WRITE_OUTPUT = 15,
    QUORREL_WORKER_ACTION_STOP = 16,
};

// "NONE" for code 0 and for any code outside the table.
const char* quorrel_worker_action_name(int action);

// A command's fixed action list; an unknown command has none (null, 0).
struct quorrel_worker_action_list_t {
    const int* actions;
    int count;
};
quorrel_worker_action_list_t quorrel_worker_command_actions(int command);

// Copies the command's actions into `actions` (room for `capacity`) and their number into
// `count`. -1 with an empty list for an unknown command, a list longer than `capacity` or
// a missing array or count.
[[nodiscard]] int quorrel_worker_fill_actions(int command, int* actions, int capacity, int* count);

}  // namespace quorrel
