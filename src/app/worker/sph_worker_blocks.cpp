#include "sph_worker_blocks.h"

#include <cstring>
#include <initializer_list>

#include "coupling_interface/sph_coupling_interface.h"
#include "sph_worker_contract.h"

namespace quorrel {

namespace {

// The coupling interface's degeneracy bound on a normal's length, squared for the test on
// x² + y² + z².
constexpr double degenerate_normal2 = sph_coupling_degenerate_length * sph_coupling_degenerate_length;

// Counts a rejection in the header; `nonfinite` for the reasons about values.
void count_rejection(quorrel_worker_block_header_t& header, bool nonfinite) {
    header.rejected_count += 1;
    if (nonfinite) header.nonfinite_count += 1;
}

// The shared part of both appends: the half's header and records, the record's check and
// which reasons count as non-finite.
// The header's count and capacity are read once: the record lands where the checked count
// says, whoever else writes the header meanwhile.
template <typename Record, typename Validate, typename Nonfinite>
int block_add(quorrel_worker_block_header_t& header, Record* records, const Record* record, Validate validate,
              Nonfinite nonfinite) {
    if (record == nullptr) return -1;
    const std::int32_t version = header.version, count = header.count, capacity = header.capacity;
    if (version != quorrel_worker_data_version || count < 0) return -1;
    int reason = QUORREL_WORKER_REJECT_NONE;
    if (validate(record, &reason) != 0) {
        count_rejection(header, nonfinite(reason));
        return -1;
    }
    if (count >= capacity || count >= quorrel_worker_block_record_capacity) {
        count_rejection(header, false);
        return -1;
    }
    std::memcpy(&records[count], record, sizeof *record);
    header.count = count + 1;
    return 0;
}

bool same_key(const quorrel_worker_force_record_t& a, const quorrel_worker_force_record_t& b) {
    return a.step_id == b.step_id && a.internal_index == b.internal_index && a.export_index == b.export_index &&
           a.source_id == b.source_id && a.pair_id == b.pair_id;
}

// The five key fields folded by multiply-add and mixed once at the end: cheap, and every
// field reaches every bit of the result.
std::uint64_t key_hash(const quorrel_worker_force_record_t& r) {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = static_cast<std::uint32_t>(r.step_id);
    h = h * k + static_cast<std::uint32_t>(r.internal_index);
    h = h * k + static_cast<std::uint32_t>(r.export_index);
    h = h * k + static_cast<std::uint64_t>(r.source_id);
    h = h * k + static_cast<std::uint64_t>(r.pair_id);
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 32);
}

// The keys of the records accepted so far, for the repeat test in one pass: open
// addressing over at least twice as many slots as records. A slot packs a record's
// position + 1 (13 bits, 0 empty) with the top 3 bits of its key's hash, which spares
// most reads of the record itself; 16-bit slots keep a full table at 16 KB, small beside
// the records streaming through the cache. Kept on the stack, cleared only as far as the
// count needs.
class AcceptedKeys {
public:
    explicit AcceptedKeys(int count) {
        std::size_t size = 16;
        while (size < 2 * static_cast<std::size_t>(count)) size *= 2;
        mask_ = size - 1;
        std::memset(slots_, 0, size * sizeof slots_[0]);
    }
    // Whether an accepted record has the key of `records[position]`, whose hash is `hash`.
    bool contains(const quorrel_worker_force_record_t* records, int position, std::uint64_t hash) const {
        const quorrel_worker_force_record_t& r = records[position];
        const std::uint16_t tag = tag_of(hash);
        for (std::size_t s = hash & mask_; slots_[s] != 0; s = (s + 1) & mask_)
            if ((slots_[s] & ~position_mask) == tag && same_key(records[(slots_[s] & position_mask) - 1u], r))
                return true;
        return false;
    }
    void insert(int position, std::uint64_t hash) {
        std::size_t s = hash & mask_;
        while (slots_[s] != 0) s = (s + 1) & mask_;
        slots_[s] = static_cast<std::uint16_t>(tag_of(hash) | (position + 1));
    }

private:
    static constexpr std::uint16_t position_mask = (1u << 13) - 1;  // positions + 1 up to 4096
    static_assert(quorrel_worker_block_record_capacity <= position_mask);
    static std::uint16_t tag_of(std::uint64_t hash) {
        return static_cast<std::uint16_t>(static_cast<std::uint16_t>(hash >> 48) & ~position_mask);
    }

    static constexpr std::size_t capacity = 2 * quorrel_worker_block_record_capacity;
    std::uint16_t slots_[capacity];
    std::size_t mask_;
};

// A record that passed its check still has to name a particle as it was exported.
bool matches_export(const quorrel_worker_force_record_t& r, const quorrel_worker_export_list_t& exports) {
    if (r.export_index < 1 || r.export_index > exports.count || exports.ext_ids == nullptr ||
        exports.internal_indices == nullptr)
        return false;
    const std::size_t k = static_cast<std::size_t>(r.export_index) - 1;
    return exports.internal_indices[k] == r.internal_index &&
           static_cast<std::int64_t>(exports.ext_ids[k]) == r.particle_id_ext;
}

// Whether `sum` + `term` stays below the largest double in every component; the sums in
// `out`.
bool sum_stays_below_max(const double* sum, const double* term, double* out) {
    for (int k = 0; k < 3; ++k) out[k] = sum[k] + term[k];
    return sph_coupling_vector_is_finite(out);
}

// What accepting record `r` would make of the header totals and its particle's force
// sum, each checked before any is stored: an overflow would reach the host's header or
// fail the whole import in the coupling interface.
struct AcceptedSums {
    double force[3], moment[3], particle[3];
    double* particle_sum = nullptr;

    bool stay_below_max(const quorrel_worker_block_header_t& header, const quorrel_worker_force_record_t& r,
                        const quorrel_worker_export_list_t* exports) {
        if (!sum_stays_below_max(header.total_force, r.force, force) ||
            !sum_stays_below_max(header.total_moment, r.moment, moment))
            return false;
        // A record that reached here matched its export entry, when there is a list.
        particle_sum = exports != nullptr && exports->force_sums != nullptr
                           ? exports->force_sums + 3 * (static_cast<std::size_t>(r.export_index) - 1)
                           : nullptr;
        return particle_sum == nullptr || sum_stays_below_max(particle_sum, r.force, particle);
    }
    void store(quorrel_worker_block_header_t& header) const {
        std::memcpy(header.total_force, force, sizeof force);
        std::memcpy(header.total_moment, moment, sizeof moment);
        if (particle_sum != nullptr) std::memcpy(particle_sum, particle, sizeof particle);
    }
};

}  // namespace

// The coupling interface's own rule, so that no record the worker takes is refused there.
bool quorrel_worker_value_is_finite(double value) { return sph_below_max_double(value); }

bool quorrel_worker_vector_is_finite(const double* values) {
    return values != nullptr && sph_coupling_vector_is_finite(values);
}

double quorrel_worker_vector_norm2(const double* values) {
    if (values == nullptr) return 0.0;
    return values[0] * values[0] + values[1] * values[1] + values[2] * values[2];
}

void quorrel_worker_block_header_reset_diagnostics(quorrel_worker_block_header_t* header) {
    if (header == nullptr) return;
    header->rejected_count = 0;
    header->nonfinite_count = 0;
    header->stale_count = 0;
    header->repeated_count = 0;
    header->contact_count = 0;
    for (int k = 0; k < 3; ++k) header->total_force[k] = header->total_moment[k] = 0.0;
}

void quorrel_worker_particle_record_clear(quorrel_worker_particle_record_t* record) {
    if (record == nullptr) return;
    std::memset(record, 0, sizeof *record);
    record->body_id = -1;
}

void quorrel_worker_force_record_clear(quorrel_worker_force_record_t* record) {
    if (record != nullptr) std::memset(record, 0, sizeof *record);
}

void quorrel_worker_data_exchange_clear(quorrel_worker_data_exchange_t* data) {
    if (data == nullptr) return;
    std::memset(data, 0, sizeof *data);
    for (quorrel_worker_block_header_t* header : {&data->particle_header, &data->force_header}) {
        header->version = quorrel_worker_data_version;
        header->capacity = quorrel_worker_block_record_capacity;
    }
}

int quorrel_worker_particle_record_validate(const quorrel_worker_particle_record_t* record, int* reject_reason) {
    const auto reject = [reject_reason](int reason) {
        if (reject_reason != nullptr) *reject_reason = reason;
        return reason == QUORREL_WORKER_REJECT_NONE ? 0 : -1;
    };
    if (record == nullptr || record->particle_id_ext == 0 || record->internal_index <= 0 ||
        record->export_index <= 0 || record->phase <= 0 || record->status < 0)
        return reject(QUORREL_WORKER_REJECT_UNMATCHED_PARTICLE);
    if (!quorrel_worker_vector_is_finite(record->x) || !quorrel_worker_vector_is_finite(record->v) ||
        !quorrel_worker_value_is_finite(record->pressure))
        return reject(QUORREL_WORKER_REJECT_NONFINITE_CONTACT);
    for (double weight : {record->mass, record->density, record->volume, record->h, record->contact_radius,
                          record->sound_speed})
        if (!quorrel_worker_value_is_finite(weight) || weight <= 0.0)
            return reject(QUORREL_WORKER_REJECT_INVALID_WEIGHT);
    if (record->valid_flags == 0) return reject(QUORREL_WORKER_REJECT_INVALID_WEIGHT);
    return reject(QUORREL_WORKER_REJECT_NONE);
}

int quorrel_worker_force_record_validate(const quorrel_worker_force_record_t* record, int* reject_reason) {
    const auto reject = [reject_reason](int reason) {
        if (reject_reason != nullptr) *reject_reason = reason;
        return reason == QUORREL_WORKER_REJECT_NONE ? 0 : -1;
    };
    if (record == nullptr || record->particle_id_ext == 0 || record->internal_index <= 0 ||
        record->export_index <= 0)
        return reject(QUORREL_WORKER_REJECT_UNMATCHED_PARTICLE);
    if (!quorrel_worker_vector_is_finite(record->force) ||
        !quorrel_worker_vector_is_finite(record->moment))
        return reject(QUORREL_WORKER_REJECT_NONFINITE_FORCE);
    if (record->load_mode < 0 || record->contact_state < 0 || record->step_id < 0 || record->valid_flags == 0)
        return reject(QUORREL_WORKER_REJECT_INVALID_WEIGHT);
    if (quorrel_worker_contact_state_imported(record->contact_state)) {
        if (!quorrel_worker_vector_is_finite(record->contact_normal) ||
            !quorrel_worker_value_is_finite(record->contact_gap) ||
            !quorrel_worker_value_is_finite(record->contact_penetration) ||
            !quorrel_worker_value_is_finite(record->contact_pressure))
            return reject(QUORREL_WORKER_REJECT_NONFINITE_CONTACT);
        if ((record->valid_flags & quorrel_worker_force_contact_valid) == 0)
            return reject(QUORREL_WORKER_REJECT_INVALID_WEIGHT);
        if (quorrel_worker_vector_norm2(record->contact_normal) <= degenerate_normal2 ||
            sph_coupling_vector_is_degenerate(record->contact_normal))
            return reject(QUORREL_WORKER_REJECT_INVALID_WEIGHT);
    }
    return reject(QUORREL_WORKER_REJECT_NONE);
}

int quorrel_worker_particle_block_add(quorrel_worker_data_exchange_t* data,
                                      const quorrel_worker_particle_record_t* record) {
    if (data == nullptr) return -1;
    return quorrel_worker_particle_records_add(&data->particle_header, data->particles, record);
}

int quorrel_worker_particle_records_add(quorrel_worker_block_header_t* header,
                                        quorrel_worker_particle_record_t* records,
                                        const quorrel_worker_particle_record_t* record) {
    if (header == nullptr || records == nullptr) return -1;
    return block_add(*header, records, record, quorrel_worker_particle_record_validate,
                     [](int reason) { return reason == QUORREL_WORKER_REJECT_NONFINITE_CONTACT; });
}

int quorrel_worker_force_block_add(quorrel_worker_data_exchange_t* data, const quorrel_worker_force_record_t* record) {
    if (data == nullptr) return -1;
    return block_add(data->force_header, data->forces, record, quorrel_worker_force_record_validate, [](int reason) {
        return reason == QUORREL_WORKER_REJECT_NONFINITE_FORCE || reason == QUORREL_WORKER_REJECT_NONFINITE_CONTACT;
    });
}

bool quorrel_worker_force_record_is_duplicate(const quorrel_worker_data_exchange_t* data, int position) {
    if (data == nullptr) return false;
    // The block holds no more than 4096 records, whatever the header says.
    const int count = data->force_header.count < quorrel_worker_block_record_capacity
                          ? data->force_header.count
                          : quorrel_worker_block_record_capacity;
    if (position < 1 || position >= count) return false;
    const quorrel_worker_force_record_t& record = data->forces[position];
    for (int j = 0; j < position; ++j)
        if (data->forces[j].reject_reason == QUORREL_WORKER_REJECT_NONE && same_key(data->forces[j], record))
            return true;
    return false;
}

int quorrel_worker_force_block_analyze(quorrel_worker_data_exchange_t* data, int expected_step, int* valid_count,
                                       int* contact_count, const quorrel_worker_export_list_t* exports) {
    if (valid_count != nullptr) *valid_count = 0;
    if (contact_count != nullptr) *contact_count = 0;
    if (data == nullptr) return -1;
    quorrel_worker_block_header_t header;
    std::memcpy(&header, &data->force_header, sizeof header);
    if (quorrel_worker_force_records_analyze(&header, data->forces, expected_step, valid_count, contact_count,
                                             exports) != 0)
        return -1;
    quorrel_worker_force_header_store_diagnostics(&header, &data->force_header);
    return 0;
}

void quorrel_worker_force_header_store_diagnostics(const quorrel_worker_block_header_t* from,
                                                   quorrel_worker_block_header_t* to) {
    if (from == nullptr || to == nullptr) return;
    to->rejected_count = from->rejected_count;
    to->nonfinite_count = from->nonfinite_count;
    to->stale_count = from->stale_count;
    to->repeated_count = from->repeated_count;
    to->contact_count = from->contact_count;
    for (int k = 0; k < 3; ++k) {
        to->total_force[k] = from->total_force[k];
        to->total_moment[k] = from->total_moment[k];
    }
}

int quorrel_worker_force_records_analyze(quorrel_worker_block_header_t* header_copy,
                                         quorrel_worker_force_record_t* records, int expected_step, int* valid_count,
                                         int* contact_count, const quorrel_worker_export_list_t* exports) {
    if (valid_count != nullptr) *valid_count = 0;
    if (contact_count != nullptr) *contact_count = 0;
    if (header_copy == nullptr || records == nullptr) return -1;
    quorrel_worker_block_header_t& header = *header_copy;
    if (header.version != quorrel_worker_data_version || header.count < 0 || header.count > header.capacity ||
        header.count > quorrel_worker_block_record_capacity)
        return -1;
    quorrel_worker_block_header_reset_diagnostics(&header);

    const int count = header.count;
    AcceptedKeys accepted(count);
    int valid = 0, contacts = 0;
    for (int i = 0; i < count; ++i) {
        quorrel_worker_force_record_t& r = records[i];
        r.reject_reason = QUORREL_WORKER_REJECT_NONE;
        int reason = QUORREL_WORKER_REJECT_NONE;
        if (quorrel_worker_force_record_validate(&r, &reason) != 0) {
            count_rejection(header, reason == QUORREL_WORKER_REJECT_NONFINITE_FORCE ||
                                        reason == QUORREL_WORKER_REJECT_NONFINITE_CONTACT);
        } else if (exports != nullptr && !matches_export(r, *exports)) {
            reason = QUORREL_WORKER_REJECT_UNMATCHED_PARTICLE;
            count_rejection(header, false);
        } else if (expected_step > 0 && r.step_id > 0 && r.step_id < expected_step) {
            reason = QUORREL_WORKER_REJECT_STALE_EPOCH;
            count_rejection(header, false);
            header.stale_count += 1;
        } else if (const std::uint64_t hash = key_hash(r); accepted.contains(records, i, hash)) {
            reason = QUORREL_WORKER_REJECT_REPEATED_IMPORT;
            count_rejection(header, false);
            header.repeated_count += 1;
        } else if (AcceptedSums sums; !sums.stay_below_max(header, r, exports)) {
            reason = QUORREL_WORKER_REJECT_NONFINITE_FORCE;
            count_rejection(header, true);
        } else {
            accepted.insert(i, hash);
            sums.store(header);
            valid += 1;
            if (quorrel_worker_contact_state_imported(r.contact_state)) contacts += 1;
        }
        r.reject_reason = reason;
    }
    header.contact_count = contacts;
    if (valid_count != nullptr) *valid_count = valid;
    if (contact_count != nullptr) *contact_count = contacts;
    return 0;
}

}  // namespace quorrel
