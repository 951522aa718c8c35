// The data block the worker shares with its host beside the command block: a particle
// half the worker fills on EXPORT_INTERFACE and a force half the host fills before
// IMPORT_LOADS, each an 80-byte header and up to 4096 records of 152 bytes. Every offset
// is part of the format the host relies on, padding included, so each is pinned below.
// The checks here decide which records are taken; they never allocate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorrel {

inline constexpr int quorrel_worker_data_version = 1;
inline constexpr int quorrel_worker_block_record_capacity = 4096;
inline constexpr std::size_t quorrel_worker_data_exchange_bytes = 1245344;
// Every exported particle record claims these fields valid.
inline constexpr std::uint32_t quorrel_worker_particle_valid_flags = 0x3B;
// Bit of a force record's valid_flags that marks its contact data valid.
inline constexpr std::uint32_t quorrel_worker_force_contact_valid = 0x4;

// Header of either half: what it holds and what the checks turned away.
struct quorrel_worker_block_header_t {
    std::int32_t version;          // 1
    std::int32_t capacity;         // records the half may hold (4096)
    std::int32_t count;            // records present, from the first
    std::int32_t rejected_count;   // records turned away by the checks
    std::int32_t nonfinite_count;  // of those, for values that are not finite
    std::int32_t stale_count;      // force records of an earlier host step
    std::int32_t repeated_count;   // force records repeating an accepted one
    std::int32_t contact_count;    // accepted force records carrying a contact state
    double total_force[3];         // sums over the accepted force records
    double total_moment[3];
};

// One exported particle, written by the worker.
struct quorrel_worker_particle_record_t {
    std::int64_t particle_id_ext;  // node number
    std::int32_t export_index;     // 1-based position in its region's export list
    std::int32_t internal_index;   // 1-based particle index in the model
    std::int32_t phase;
    std::int32_t status;
    std::int32_t material_id;
    std::int32_t section_id;
    std::int32_t body_id;  // -1: no body
    std::uint8_t padding[4];
    double x[3];
    double v[3];
    double mass;
    double density;
    double volume;
    double h;
    double contact_radius;  // 2h when h > 0, else 0
    double pressure;
    double sound_speed;  // 1
    std::uint32_t valid_flags;
    std::int32_t reject_reason;
};

// One force on an exported particle, written by the host; the worker writes only
// reject_reason.
struct quorrel_worker_force_record_t {
    std::int64_t particle_id_ext;  // target's node number, as exported
    std::int32_t export_index;     // target's export index, as exported
    std::int32_t internal_index;   // target's particle index, as exported
    double force[3];
    double moment[3];  // checked and summed, never applied
    double contact_normal[3];
    double contact_gap;
    double contact_penetration;
    double contact_pressure;
    std::int64_t source_id;
    std::int64_t pair_id;
    std::int32_t load_mode;
    std::int32_t contact_state;
    std::int32_t step_id;  // host step of the record
    std::uint32_t valid_flags;
    std::int32_t reject_reason;
    std::uint8_t padding[4];
};

struct quorrel_worker_data_exchange_t {
    quorrel_worker_block_header_t particle_header;
    quorrel_worker_particle_record_t particles[quorrel_worker_block_record_capacity];
    quorrel_worker_block_header_t force_header;
    quorrel_worker_force_record_t forces[quorrel_worker_block_record_capacity];
};

static_assert(sizeof(quorrel_worker_block_header_t) == 80);
static_assert(offsetof(quorrel_worker_block_header_t, version) == 0);
static_assert(offsetof(quorrel_worker_block_header_t, capacity) == 4);
static_assert(offsetof(quorrel_worker_block_header_t, count) == 8);
static_assert(offsetof(quorrel_worker_block_header_t, rejected_count) == 12);
static_assert(offsetof(quorrel_worker_block_header_t, nonfinite_count) == 16);
static_assert(offsetof(quorrel_worker_block_header_t, stale_count) == 20);
static_assert(offsetof(quorrel_worker_block_header_t, repeated_count) == 24);
static_assert(offsetof(quorrel_worker_block_header_t, contact_count) == 28);
static_assert(offsetof(quorrel_worker_block_header_t, total_force) == 32);
static_assert(offsetof(quorrel_worker_block_header_t, total_moment) == 56);

static_assert(sizeof(quorrel_worker_particle_record_t) == 152);
static_assert(offsetof(quorrel_worker_particle_record_t, particle_id_ext) == 0);
static_assert(offsetof(quorrel_worker_particle_record_t, export_index) == 8);
static_assert(offsetof(quorrel_worker_particle_record_t, internal_index) == 12);
static_assert(offsetof(quorrel_worker_particle_record_t, phase) == 16);
static_assert(offsetof(quorrel_worker_particle_record_t, status) == 20);
static_assert(offsetof(quorrel_worker_particle_record_t, material_id) == 24);
static_assert(offsetof(quorrel_worker_particle_record_t, section_id) == 28);
static_assert(offsetof(quorrel_worker_particle_record_t, body_id) == 32);
static_assert(offsetof(quorrel_worker_particle_record_t, padding) == 36);
static_assert(offsetof(quorrel_worker_particle_record_t, x) == 40);
static_assert(offsetof(quorrel_worker_particle_record_t, v) == 64);
static_assert(offsetof(quorrel_worker_particle_record_t, mass) == 88);
static_assert(offsetof(quorrel_worker_particle_record_t, density) == 96);
static_assert(offsetof(quorrel_worker_particle_record_t, volume) == 104);
static_assert(offsetof(quorrel_worker_particle_record_t, h) == 112);
static_assert(offsetof(quorrel_worker_particle_record_t, contact_radius) == 120);
static_assert(offsetof(quorrel_worker_particle_record_t, pressure) == 128);
static_assert(offsetof(quorrel_worker_particle_record_t, sound_speed) == 136);
static_assert(offsetof(quorrel_worker_particle_record_t, valid_flags) == 144);
static_assert(offsetof(quorrel_worker_particle_record_t, reject_reason) == 148);

static_assert(sizeof(quorrel_worker_force_record_t) == 152);
static_assert(offsetof(quorrel_worker_force_record_t, particle_id_ext) == 0);
static_assert(offsetof(quorrel_worker_force_record_t, export_index) == 8);
static_assert(offsetof(quorrel_worker_force_record_t, internal_index) == 12);
static_assert(offsetof(quorrel_worker_force_record_t, force) == 16);
static_assert(offsetof(quorrel_worker_force_record_t, moment) == 40);
static_assert(offsetof(quorrel_worker_force_record_t, contact_normal) == 64);
static_assert(offsetof(quorrel_worker_force_record_t, contact_gap) == 88);
static_assert(offsetof(quorrel_worker_force_record_t, contact_penetration) == 96);
static_assert(offsetof(quorrel_worker_force_record_t, contact_pressure) == 104);
static_assert(offsetof(quorrel_worker_force_record_t, source_id) == 112);
static_assert(offsetof(quorrel_worker_force_record_t, pair_id) == 120);
static_assert(offsetof(quorrel_worker_force_record_t, load_mode) == 128);
static_assert(offsetof(quorrel_worker_force_record_t, contact_state) == 132);
static_assert(offsetof(quorrel_worker_force_record_t, step_id) == 136);
static_assert(offsetof(quorrel_worker_force_record_t, valid_flags) == 140);
static_assert(offsetof(quorrel_worker_force_record_t, reject_reason) == 144);
static_assert(offsetof(quorrel_worker_force_record_t, padding) == 148);

static_assert(sizeof(quorrel_worker_data_exchange_t) == quorrel_worker_data_exchange_bytes);
static_assert(offsetof(quorrel_worker_data_exchange_t, particle_header) == 0);
static_assert(offsetof(quorrel_worker_data_exchange_t, particles) == 80);
static_assert(offsetof(quorrel_worker_data_exchange_t, force_header) == 622672);
static_assert(offsetof(quorrel_worker_data_exchange_t, forces) == 622752);

// A value as the coupling interface takes it: equal to itself and below the largest double
// in magnitude (the largest double itself is refused, as the infinities are). A vector
// when present and all three components are.
bool quorrel_worker_value_is_finite(double value);
bool quorrel_worker_vector_is_finite(const double* values);
// x² + y² + z²; 0 for a missing vector.
double quorrel_worker_vector_norm2(const double* values);

// Zeroes rejected_count .. total_moment; keeps version, capacity and count.
void quorrel_worker_block_header_reset_diagnostics(quorrel_worker_block_header_t* header);
// All zero, then body_id -1.
void quorrel_worker_particle_record_clear(quorrel_worker_particle_record_t* record);
// All zero.
void quorrel_worker_force_record_clear(quorrel_worker_force_record_t* record);
// All bytes zero, then both headers version 1 and capacity 4096.
void quorrel_worker_data_exchange_clear(quorrel_worker_data_exchange_t* data);

// The record checks: 0 when the record is taken, else -1 with the reason of the first
// failing check in `reject_reason` (when given).
[[nodiscard]] int quorrel_worker_particle_record_validate(const quorrel_worker_particle_record_t* record,
                                                          int* reject_reason);
[[nodiscard]] int quorrel_worker_force_record_validate(const quorrel_worker_force_record_t* record,
                                                       int* reject_reason);

// Checks the record and copies it after the last one of its half, counting it. A rejected
// record, or one that finds the half full, is counted in the header and gives -1; so does
// a missing block or record, a version other than 1 or a negative count, which count
// nothing. The force twin is for writers on the host side.
[[nodiscard]] int quorrel_worker_particle_block_add(quorrel_worker_data_exchange_t* data,
                                                    const quorrel_worker_particle_record_t* record);
[[nodiscard]] int quorrel_worker_force_block_add(quorrel_worker_data_exchange_t* data,
                                                 const quorrel_worker_force_record_t* record);
// The particle append on a header and records apart from a block: the worker keeps its
// own header while it fills the host's records.
[[nodiscard]] int quorrel_worker_particle_records_add(quorrel_worker_block_header_t* header,
                                                      quorrel_worker_particle_record_t* records,
                                                      const quorrel_worker_particle_record_t* record);

// True when an earlier force record (positions from 0) that was accepted (reject_reason
// 0) has the same step_id, internal_index, export_index, source_id and pair_id. False
// for a missing block or a position outside 1 .. count - 1.
bool quorrel_worker_force_record_is_duplicate(const quorrel_worker_data_exchange_t* data, int position);

// The particles a force may name: entry k (from 0) is the particle exported with export
// index k + 1.
struct quorrel_worker_export_list_t {
    int count;
    const int* ext_ids;
    const int* internal_indices;
    // When present, 3 per entry: the force the particle already holds, to which the
    // analysis adds each force it accepts for it.
    double* force_sums = nullptr;
};

// Marks every force record with its reject reason and refills the force header's
// diagnostics: the record check, then (with `exports`) the match with the exported
// particle, then stale (0 < step_id < expected_step, only when expected_step > 0), then
// repeated, then nonfinite_force for a record whose force or moment would take a header
// total, or (with `force_sums`) whose force would take its particle's sum, beyond the
// largest double; the rest are accepted and summed. `valid_count` and `contact_count` get the
// accepted records and those of them with an imported contact state. -1, with no record
// marked, for a missing block, a version other than 1, or a count below 0 or above the
// capacity or 4096.
// The force header is read once, then the records are analysed where they are.
[[nodiscard]] int quorrel_worker_force_block_analyze(quorrel_worker_data_exchange_t* data, int expected_step,
                                                     int* valid_count, int* contact_count,
                                                     const quorrel_worker_export_list_t* exports = nullptr);
// The same analysis on a header and records the caller owns (copies of a host's block):
// the header's count decides how many records are read, and its diagnostics are refilled.
[[nodiscard]] int quorrel_worker_force_records_analyze(quorrel_worker_block_header_t* header,
                                                       quorrel_worker_force_record_t* records, int expected_step,
                                                       int* valid_count, int* contact_count,
                                                       const quorrel_worker_export_list_t* exports = nullptr);
// Copies a header's diagnostics (rejected_count .. total_moment) to another header,
// leaving its version, capacity and count alone.
void quorrel_worker_force_header_store_diagnostics(const quorrel_worker_block_header_t* from,
                                                   quorrel_worker_block_header_t* to);

}  // namespace quorrel
