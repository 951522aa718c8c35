// Names the worker's reports and its host share beyond the protocol proper: contact states
// and reject reasons of exchanged records, per-region load-balance values, the field names
// of the second record version, and the boundary state record those fields describe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorrel {

// Contact state of a force record. CANDIDATE, ACTIVE and TIED carry contact data.
enum quorrel_worker_contact_state_t : int {
    QUORREL_WORKER_CONTACT_INACTIVE = 0,
    QUORREL_WORKER_CONTACT_CANDIDATE = 1,
    QUORREL_WORKER_CONTACT_ACTIVE = 2,
    QUORREL_WORKER_CONTACT_RELEASED = 3,
    QUORREL_WORKER_CONTACT_TIED = 4,
};

// Why a record was turned away (NONE: it was not).
enum quorrel_worker_reject_reason_t : int {
    QUORREL_WORKER_REJECT_NONE = 0,
    QUORREL_WORKER_REJECT_UNMATCHED_PARTICLE = 1,
    QUORREL_WORKER_REJECT_NONFINITE_FORCE = 2,
    QUORREL_WORKER_REJECT_NONFINITE_CONTACT = 3,
    QUORREL_WORKER_REJECT_INVALID_WEIGHT = 4,
    QUORREL_WORKER_REJECT_STALE_EPOCH = 5,
    QUORREL_WORKER_REJECT_REPEATED_IMPORT = 6,
};

// Per-region load-balance values; no record of the worker carries them.
enum quorrel_worker_region_diagnostic_t : int {
    QUORREL_WORKER_REGION_INPUT_FORCE = 1,
    QUORREL_WORKER_REGION_INPUT_MOMENT = 2,
    QUORREL_WORKER_REGION_DISTRIBUTED_FORCE = 3,
    QUORREL_WORKER_REGION_DISTRIBUTED_MOMENT = 4,
    QUORREL_WORKER_REGION_FORCE_ERROR = 5,
    QUORREL_WORKER_REGION_MOMENT_ERROR = 6,
    QUORREL_WORKER_REGION_UNMATCHED_PARTICLES = 7,
    QUORREL_WORKER_REGION_REJECTED_RECORDS = 8,
    QUORREL_WORKER_REGION_NONFINITE_FORCES = 9,
    QUORREL_WORKER_REGION_NONFINITE_CONTACTS = 10,
};

// Field names of the second record version: 1 .. 7 name fields of the exchanged particle
// and force records, 8 .. 18 fields of the boundary state record (10 .. 18 are the
// boundary fields proper).
enum quorrel_worker_v2_field_t : int {
    QUORREL_WORKER_V2_SOURCE_ID = 1,
    QUORREL_WORKER_V2_PAIR_ID = 2,
    QUORREL_WORKER_V2_BODY_ID = 3,
    QUORREL_WORKER_V2_CONTACT_RADIUS = 4,
    QUORREL_WORKER_V2_SOUND_SPEED = 5,
    QUORREL_WORKER_V2_VALID_FLAGS = 6,
    QUORREL_WORKER_V2_MOMENT = 7,
    QUORREL_WORKER_V2_INTERFACE_PRESSURE = 8,
    QUORREL_WORKER_V2_INTERFACE_VELOCITY = 9,
    QUORREL_WORKER_V2_BOUNDARY_STATE_ID = 10,
    QUORREL_WORKER_V2_GHOST_STATE_ID = 11,
    QUORREL_WORKER_V2_BOUNDARY_POSITION = 12,
    QUORREL_WORKER_V2_BOUNDARY_VELOCITY = 13,
    QUORREL_WORKER_V2_BOUNDARY_NORMAL = 14,
    QUORREL_WORKER_V2_BOUNDARY_PRESSURE = 15,
    QUORREL_WORKER_V2_BOUNDARY_DENSITY = 16,
    QUORREL_WORKER_V2_BOUNDARY_SOUND_SPEED = 17,
    QUORREL_WORKER_V2_BOUNDARY_STATE_MODE = 18,
};

// Names as fixed strings; a code outside its table is "unknown".
const char* quorrel_worker_contact_state_name(int state);
const char* quorrel_worker_reject_reason_name(int reason);
const char* quorrel_worker_region_diagnostic_name(int diagnostic);
const char* quorrel_worker_v2_field_name(int field);

// True for the states whose records carry contact data: CANDIDATE, ACTIVE, TIED.
bool quorrel_worker_contact_state_imported(int state);
// True exactly for the boundary fields, BOUNDARY_STATE_ID .. BOUNDARY_STATE_MODE.
bool quorrel_worker_v2_field_is_boundary(int field);

// Boundary state record: 144 bytes, little-endian, every offset fixed.
struct quorrel_worker_boundary_state_t {
    std::int32_t boundary_state_id;
    std::int32_t ghost_state_id;
    std::int32_t state_mode;
    std::uint32_t valid_flags;
    double position[3];
    double velocity[3];
    double normal[3];
    double pressure;
    double density;
    double sound_speed;
    double interface_pressure;
    double interface_velocity[3];
};

static_assert(sizeof(quorrel_worker_boundary_state_t) == 144);
static_assert(offsetof(quorrel_worker_boundary_state_t, boundary_state_id) == 0);
static_assert(offsetof(quorrel_worker_boundary_state_t, ghost_state_id) == 4);
static_assert(offsetof(quorrel_worker_boundary_state_t, state_mode) == 8);
static_assert(offsetof(quorrel_worker_boundary_state_t, valid_flags) == 12);
static_assert(offsetof(quorrel_worker_boundary_state_t, position) == 16);
static_assert(offsetof(quorrel_worker_boundary_state_t, velocity) == 40);
static_assert(offsetof(quorrel_worker_boundary_state_t, normal) == 64);
static_assert(offsetof(quorrel_worker_boundary_state_t, pressure) == 88);
static_assert(offsetof(quorrel_worker_boundary_state_t, density) == 96);
static_assert(offsetof(quorrel_worker_boundary_state_t, sound_speed) == 104);
static_assert(offsetof(quorrel_worker_boundary_state_t, interface_pressure) == 112);
static_assert(offsetof(quorrel_worker_boundary_state_t, interface_velocity) == 120);

// Zeroes all 144 bytes; a null record is left alone.
void quorrel_worker_boundary_state_clear(quorrel_worker_boundary_state_t* state);

}  // namespace quorrel
