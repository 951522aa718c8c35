#include "sph_worker_runtime_exchange.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "coupling_interface/sph_coupling_interface.h"
#include "quorrel.h"
#include "sph_worker_contract.h"

namespace quorrel {

namespace {

constexpr int region_name_capacity = 128;
// Forces and contacts all go to this region, whichever region exported their particles.
constexpr int import_region = 1;
constexpr int contact_state_import = 1;
constexpr double sound_speed = 1.0;
// Values per particle in the export's scalar and vector arrays.
constexpr std::size_t scalar_values = sph_coupling_particle_scalar_count;
constexpr std::size_t vector_values = 3 * sph_coupling_particle_vector_count;

// A zero-filled array that keeps its memory from command to command: an exchange asks for
// about the same sizes every time, and the commands need not go to the heap for them.
template <typename T>
struct Scratch {
    std::unique_ptr<T[]> data;
    std::size_t capacity = 0;

    // The first `n` values zeroed (at least one), or null when they cannot be had.
    T* zeroed(std::size_t n) {
        if (n == 0) n = 1;
        if (n > capacity) {
            std::unique_ptr<T[]> grown(new (std::nothrow) T[n]());
            if (!grown) return nullptr;
            data = std::move(grown);
            capacity = n;
            return data.get();
        }
        std::fill_n(data.get(), n, T{});
        return data.get();
    }
};

// The worker's exchange scratch: one process-wide instance.
struct ExchangeScratch {
    Scratch<int> export_ints;
    Scratch<double> export_reals;
    Scratch<quorrel_worker_force_record_t> forces;
    Scratch<double> force_sums;
    Scratch<int> import_ids;
    Scratch<double> import_reals;
};
ExchangeScratch exchange_scratch;

// What quorrel_coupling_export_particles fills for `capacity` particles: six integer
// arrays one after another, then 7 scalars and 3 vectors per particle.
struct ExportArrays {
    std::size_t capacity = 0;
    int* ints = nullptr;
    double* reals = nullptr;
    int count = 0;

    [[nodiscard]] int allocate(int n) {
        capacity = static_cast<std::size_t>(n);
        ints = exchange_scratch.export_ints.zeroed(6 * capacity);
        reals = exchange_scratch.export_reals.zeroed((scalar_values + vector_values) * capacity);
        return ints && reals ? 0 : -1;
    }
    int* ext_ids() const { return ints; }
    int* internal_indices() const { return ints + capacity; }
    int* phases() const { return ints + 2 * capacity; }
    int* statuses() const { return ints + 3 * capacity; }
    int* materials() const { return ints + 4 * capacity; }
    int* sections() const { return ints + 5 * capacity; }
    double* scalars() const { return reals; }
    double* vectors() const { return reals + scalar_values * capacity; }

    [[nodiscard]] int fetch(int region_index) {
        count = 0;
        return quorrel_coupling_export_particles(region_index, static_cast<int>(capacity), &count, ext_ids(),
                                                 internal_indices(), phases(), statuses(), materials(), sections(),
                                                 scalars(), vectors());
    }
    // Never trust a count beyond what the arrays hold.
    int filled() const {
        return count < 0 ? 0 : (static_cast<std::size_t>(count) > capacity ? static_cast<int>(capacity) : count);
    }
};

// Particle i (from 0) of an export as a record of the block.
void build_record(const ExportArrays& e, int i, quorrel_worker_particle_record_t* record) {
    quorrel_worker_particle_record_clear(record);
    const std::size_t k = static_cast<std::size_t>(i);
    record->particle_id_ext = e.ext_ids()[k];
    record->export_index = i + 1;
    record->internal_index = e.internal_indices()[k];
    record->phase = e.phases()[k];
    record->status = e.statuses()[k];
    record->material_id = e.materials()[k];
    record->section_id = e.sections()[k];
    const auto scalar = [&e, k](int row) {
        return e.scalars()[sph_coupling_export_row(k, sph_coupling_particle_scalar_count, row, 1)];
    };
    record->mass = scalar(sph_coupling_particle_scalar_mass);
    record->volume = scalar(sph_coupling_particle_scalar_volume);
    record->density = scalar(sph_coupling_particle_scalar_density);
    record->pressure = scalar(sph_coupling_particle_scalar_pressure);
    record->h = scalar(sph_coupling_particle_scalar_h);
    record->contact_radius = record->h > 0.0 ? 2.0 * record->h : 0.0;
    record->sound_speed = sound_speed;
    // The acceleration is not exported.
    const auto vector = [&e, k](int row) {
        return e.vectors() + sph_coupling_export_row(k, sph_coupling_particle_vector_count, row, 3);
    };
    std::memcpy(record->x, vector(sph_coupling_particle_vector_x), sizeof record->x);
    std::memcpy(record->v, vector(sph_coupling_particle_vector_v), sizeof record->v);
    record->valid_flags = quorrel_worker_particle_valid_flags;
}

// Region `region_index`'s particle count (0 when it is disabled or exports facets only).
int region_particle_count(int region_index, int* particle_count) {
    char name[region_name_capacity];
    int region_type = 0, export_mode = 0, import_mode = 0, enabled = 0, facet_count = 0;
    *particle_count = 0;
    const int status = quorrel_coupling_get_region_info(region_index, name, region_name_capacity, &region_type,
                                                        &export_mode, &import_mode, &enabled, particle_count,
                                                        &facet_count);
    if (status == 0 && enabled == 0) *particle_count = 0;
    return status;
}

}  // namespace

quorrel_worker_data_exchange_t* quorrel_worker_runtime_exchange_data(const quorrel_worker_ipc_t* ipc) {
    if (ipc == nullptr || ipc->data_view == nullptr) return nullptr;
    return static_cast<quorrel_worker_data_exchange_t*>(ipc->data_view);
}

namespace {

// One region's particles appended after those `header` counts: the header is the
// worker's own, the records the host's.
int export_region_into(quorrel_worker_block_header_t& header, quorrel_worker_particle_record_t* records,
                       int region_index, int capacity, quorrel_worker_runtime_reports_t* reports, int step_id) {
    if (capacity <= 0) return 0;
    ExportArrays exported;
    if (exported.allocate(capacity) != 0) return -1;
    if (int status = exported.fetch(region_index)) return status;
    const int count = exported.filled();
    quorrel_worker_particle_record_t record;
    for (int i = 0; i < count; ++i) {
        build_record(exported, i, &record);
        // A rejected or surplus record is only counted in the header; its row is written.
        (void)quorrel_worker_particle_records_add(&header, records, &record);
        quorrel_worker_runtime_reports_particle(reports, step_id, region_index, &record);
    }
    return 0;
}

// The particle header's fields the export owns, from the worker's copy.
void store_particle_header(const quorrel_worker_block_header_t& from, quorrel_worker_block_header_t& to) {
    to.version = from.version;
    to.capacity = from.capacity;
    to.count = from.count;
    to.rejected_count = from.rejected_count;
    to.nonfinite_count = from.nonfinite_count;
}

}  // namespace

int quorrel_worker_runtime_export_region(quorrel_worker_data_exchange_t* data, int region_index, int capacity,
                                         quorrel_worker_runtime_reports_t* reports, int step_id) {
    if (capacity <= 0) return 0;
    if (data == nullptr) return -1;
    quorrel_worker_block_header_t header;
    std::memcpy(&header, &data->particle_header, sizeof header);
    const int status = export_region_into(header, data->particles, region_index, capacity, reports, step_id);
    store_particle_header(header, data->particle_header);
    return status;
}

int quorrel_worker_runtime_export_particles(quorrel_worker_ipc_t* ipc, quorrel_worker_runtime_reports_t* reports,
                                            int step_id) {
    int region_count = 0;
    if (int status = quorrel_coupling_get_region_count(&region_count)) return status;
    quorrel_worker_data_exchange_t* data = quorrel_worker_runtime_exchange_data(ipc);
    if (data == nullptr) return 0;
    // The worker counts in its own header and stores it once: what the host writes into
    // the header meanwhile never decides where a record goes.
    quorrel_worker_block_header_t header{};
    header.version = quorrel_worker_data_version;
    header.capacity = quorrel_worker_block_record_capacity;
    int status = 0;
    for (int r = 1; r <= region_count && status == 0; ++r) {
        int particle_count = 0;
        status = region_particle_count(r, &particle_count);
        if (status == 0 && particle_count > 0)
            status = export_region_into(header, data->particles, r, particle_count, reports, step_id);
    }
    store_particle_header(header, data->particle_header);
    return status;
}

int quorrel_worker_runtime_import_forces(quorrel_worker_ipc_t* ipc, quorrel_worker_runtime_reports_t* reports,
                                         int step_id) {
    int coupling_step = step_id >= 0 ? step_id : 0;
    quorrel_worker_data_exchange_t* data = quorrel_worker_runtime_exchange_data(ipc);
    if (data == nullptr) return quorrel_coupling_clear_imports();
    // The host's header and records are read once, into copies; every check, the report
    // rows and the imports use the copies only, so no value read twice can disagree.
    quorrel_worker_block_header_t header;
    std::memcpy(&header, &data->force_header, sizeof header);
    // An impossible header fails before anything is cleared or marked.
    if (header.version != quorrel_worker_data_version || header.count < 0) return -1;
    int region_count = 0;
    if (int status = quorrel_coupling_get_region_count(&region_count)) return status;
    if (region_count <= 0 || header.count == 0) return quorrel_coupling_clear_imports();

    // A force must name a particle as region 1 exports it now.
    int listed = 0;
    if (int status = region_particle_count(import_region, &listed)) return status;
    ExportArrays exported;
    if (listed > 0) {
        if (exported.allocate(listed) != 0) return -1;
        if (int status = exported.fetch(import_region)) return status;
    }
    // Each exported particle's force sum starts from what the coupling interface buffers
    // for it already: an earlier import of this host step counts towards an overflow.
    const int filled = exported.filled();
    double* force_sums = exchange_scratch.force_sums.zeroed(3 * static_cast<std::size_t>(filled));
    if (force_sums == nullptr) return -1;
    for (int k = 0; k < filled; ++k)
        sph_coupling_get_buffered_force(exported.internal_indices()[k] - 1, force_sums + 3 * k);
    const quorrel_worker_export_list_t exports{filled, exported.ext_ids(), exported.internal_indices(), force_sums};

    if (header.count > header.capacity || header.count > quorrel_worker_block_record_capacity) return -1;
    const int count = header.count;
    quorrel_worker_force_record_t* records = exchange_scratch.forces.zeroed(static_cast<std::size_t>(count));
    if (records == nullptr) return -1;
    std::memcpy(records, data->forces, static_cast<std::size_t>(count) * sizeof records[0]);

    int accepted = 0, contacts = 0;
    if (quorrel_worker_force_records_analyze(&header, records, step_id, &accepted, &contacts, &exports) != 0)
        return -1;
    // Back to the host: the marks of the records read and the diagnostics, nothing else.
    for (int i = 0; i < count; ++i) data->forces[i].reject_reason = records[i].reject_reason;
    quorrel_worker_force_header_store_diagnostics(&header, &data->force_header);
    for (int i = 0; i < count; ++i) quorrel_worker_runtime_reports_force(reports, step_id, import_region, &records[i]);
    if (accepted == 0) return quorrel_coupling_clear_imports();

    const std::size_t a = static_cast<std::size_t>(accepted), c = static_cast<std::size_t>(contacts);
    int* force_ids = exchange_scratch.import_ids.zeroed(a + c);
    double* forces = exchange_scratch.import_reals.zeroed(3 * a + 6 * c);
    if (force_ids == nullptr || forces == nullptr) return -1;
    int* contact_ids = force_ids + a;
    double* normals = forces + 3 * a;
    double* gaps = normals + 3 * c;
    double* penetrations = gaps + c;
    double* pressures = penetrations + c;

    std::size_t f = 0, k = 0;
    for (int i = 0; i < count && f < a; ++i) {
        const quorrel_worker_force_record_t& r = records[i];
        if (r.reject_reason != QUORREL_WORKER_REJECT_NONE) continue;
        force_ids[f] = r.export_index;
        std::memcpy(forces + 3 * f, r.force, sizeof r.force);
        ++f;
        if (quorrel_worker_contact_state_imported(r.contact_state) && k < c) {
            contact_ids[k] = r.internal_index;
            std::memcpy(normals + 3 * k, r.contact_normal, sizeof r.contact_normal);
            gaps[k] = r.contact_gap;
            penetrations[k] = r.contact_penetration;
            pressures[k] = r.contact_pressure;
            if (coupling_step <= 0 && r.step_id > 0) coupling_step = r.step_id;
            ++k;
        }
    }

    // Contacts first: when they open a new host step, the forces that follow stay buffered
    // for the next advance instead of being discarded with the old step's loads.
    if (contacts > 0) {
        int load_mode = 0, distribution_mode = 0, contact_state_mode = 0;
        if (int status = quorrel_coupling_get_region_modes(import_region, &load_mode, &distribution_mode,
                                                           &contact_state_mode))
            return status;
        if (contact_state_mode == contact_state_import)
            if (int status = quorrel_coupling_apply_contact_state(import_region, contacts, contact_ids, normals, gaps,
                                                                  penetrations, pressures, coupling_step))
                return status;
    }
    return quorrel_coupling_apply_particle_forces(import_region, accepted, force_ids, forces);
}

}  // namespace quorrel
