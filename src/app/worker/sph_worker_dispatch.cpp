#include "sph_worker_dispatch.h"

#include "sph_worker_protocol.h"

namespace quorrel {

namespace {

constexpr const char* action_names[] = {"NONE",
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
                                        "STOP"};

constexpr int init_actions[] = {QUORREL_WORKER_ACTION_INIT_STATE};
constexpr int read_actions[] = {QUORREL_WORKER_ACTION_READ_INPUT};
constexpr int build_actions[] = {QUORREL_WORKER_ACTION_BUILD_MODEL};
constexpr int export_actions[] = {QUORREL_WORKER_ACTION_EXPORT_REGION_COUNT, QUORREL_WORKER_ACTION_EXPORT_REGION_INFO,
                                  QUORREL_WORKER_ACTION_EXPORT_PARTICLES, QUORREL_WORKER_ACTION_EXPORT_FACETS};
constexpr int import_actions[] = {QUORREL_WORKER_ACTION_IMPORT_PARTICLE_FORCE,
                                  QUORREL_WORKER_ACTION_IMPORT_FACET_PRESSURE,
                                  QUORREL_WORKER_ACTION_IMPORT_FACET_TRACTION,
                                  QUORREL_WORKER_ACTION_IMPORT_FACET_RESULTANT,
                                  QUORREL_WORKER_ACTION_IMPORT_CONTACT_STATE,
                                  QUORREL_WORKER_ACTION_IMPORT_MOTION_BOUNDARY};
constexpr int advance_actions[] = {QUORREL_WORKER_ACTION_ADVANCE_EXPLICIT};
constexpr int write_actions[] = {QUORREL_WORKER_ACTION_WRITE_OUTPUT};
constexpr int stop_actions[] = {QUORREL_WORKER_ACTION_STOP};

template <int N>
constexpr quorrel_worker_action_list_t list_of(const int (&actions)[N]) {
    return {actions, N};
}

}  // namespace

const char* quorrel_worker_action_name(int action) {
    constexpr int count = static_cast<int>(sizeof action_names / sizeof action_names[0]);
    return action >= 0 && action < count ? action_names[action] : action_names[0];
}

quorrel_worker_action_list_t quorrel_worker_command_actions(int command) {
    switch (command) {
        case QUORREL_WORKER_COMMAND_INIT: return list_of(init_actions);
        case QUORREL_WORKER_COMMAND_READ_INPUT: return list_of(read_actions);
        case QUORREL_WORKER_COMMAND_BUILD_MODEL: return list_of(build_actions);
        case QUORREL_WORKER_COMMAND_EXPORT_INTERFACE: return list_of(export_actions);
        case QUORREL_WORKER_COMMAND_IMPORT_LOADS: return list_of(import_actions);
        case QUORREL_WORKER_COMMAND_ADVANCE: return list_of(advance_actions);
        case QUORREL_WORKER_COMMAND_WRITE_OUTPUT: return list_of(write_actions);
        case QUORREL_WORKER_COMMAND_STOP: return list_of(stop_actions);
        default: return {nullptr, 0};
    }
}

int quorrel_worker_fill_actions(int command, int* actions, int capacity, int* count) {
    if (count != nullptr) *count = 0;
    if (actions == nullptr || count == nullptr) return -1;
    const quorrel_worker_action_list_t list = quorrel_worker_command_actions(command);
    if (list.count == 0 || list.count > capacity) return -1;
    for (int i = 0; i < list.count; ++i) actions[i] = list.actions[i];
    *count = list.count;
    return 0;
}

}  // namespace quorrel
