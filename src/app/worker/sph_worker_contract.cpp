#include "sph_worker_contract.h"

#include <cstring>

namespace quorrel {

namespace {

constexpr const char* unknown_name = "unknown";

constexpr const char* contact_state_names[] = {"inactive", "candidate", "active", "released", "tied"};
constexpr const char* reject_reason_names[] = {"none",           "unmatched_particle", "nonfinite_force",
                                               "nonfinite_contact", "invalid_weight",  "stale_epoch",
                                               "repeated_import"};
// Codes from 1; slot 0 is not a code.
constexpr const char* region_diagnostic_names[] = {nullptr,
                                                   "input_force",
                                                   "input_moment",
                                                   "distributed_force",
                                                   "distributed_moment",
                                                   "force_error",
                                                   "moment_error",
                                                   "unmatched_particles",
                                                   "rejected_records",
                                                   "nonfinite_forces",
                                                   "nonfinite_contacts"};
constexpr const char* v2_field_names[] = {nullptr,
                                          "source_id",
                                          "pair_id",
                                          "body_id",
                                          "contact_radius",
                                          "sound_speed",
                                          "valid_flags",
                                          "moment",
                                          "interface_pressure",
                                          "interface_velocity",
                                          "boundary_state_id",
                                          "ghost_state_id",
                                          "boundary_position",
                                          "boundary_velocity",
                                          "boundary_normal",
                                          "boundary_pressure",
                                          "boundary_density",
                                          "boundary_sound_speed",
                                          "boundary_state_mode"};

template <std::size_t N>
const char* name_of(const char* const (&names)[N], int code) {
    if (code < 0 || static_cast<std::size_t>(code) >= N || names[code] == nullptr) return unknown_name;
    return names[code];
}

}  // namespace

const char* quorrel_worker_contact_state_name(int state) { return name_of(contact_state_names, state); }
const char* quorrel_worker_reject_reason_name(int reason) { return name_of(reject_reason_names, reason); }
const char* quorrel_worker_region_diagnostic_name(int diagnostic) {
    return name_of(region_diagnostic_names, diagnostic);
}
const char* quorrel_worker_v2_field_name(int field) { return name_of(v2_field_names, field); }

bool quorrel_worker_contact_state_imported(int state) {
    return state == QUORREL_WORKER_CONTACT_CANDIDATE || state == QUORREL_WORKER_CONTACT_ACTIVE ||
           state == QUORREL_WORKER_CONTACT_TIED;
}

bool quorrel_worker_v2_field_is_boundary(int field) {
    return field >= QUORREL_WORKER_V2_BOUNDARY_STATE_ID && field <= QUORREL_WORKER_V2_BOUNDARY_STATE_MODE;
}

void quorrel_worker_boundary_state_clear(quorrel_worker_boundary_state_t* state) {
    if (state != nullptr) std::memset(state, 0, sizeof *state);
}

}  // namespace quorrel
