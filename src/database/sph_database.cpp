#include "database/sph_database.h"

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "core/sph_error.h"
#include "core/sph_platform.h"

namespace quorrel {

SphDatabase sph_database;

namespace {

// One per-particle array: where it lives and how many components each particle has.
template <typename T>
struct ParticleArray {
    using element = T;
    std::vector<T> SphDatabase::*member;
    std::size_t components;
};

// Every per-particle array, in allocation order. Allocation, release and the memory
// check all walk this one list, so an array added here is sized, freed and counted.
constexpr std::tuple particle_arrays{
    ParticleArray<int32_t>{&SphDatabase::particle_id_ext, 1},
    ParticleArray<int32_t>{&SphDatabase::particle_phase, 1},
    ParticleArray<int32_t>{&SphDatabase::particle_status, 1},
    ParticleArray<int32_t>{&SphDatabase::material_id, 1},
    ParticleArray<int32_t>{&SphDatabase::section_id, 1},
    ParticleArray<double>{&SphDatabase::x0, 3},
    ParticleArray<double>{&SphDatabase::x, 3},
    ParticleArray<double>{&SphDatabase::v, 3},
    ParticleArray<double>{&SphDatabase::a, 3},
    ParticleArray<double>{&SphDatabase::vhalf, 3},
    ParticleArray<double>{&SphDatabase::mass, 1},
    ParticleArray<double>{&SphDatabase::rho, 1},
    ParticleArray<double>{&SphDatabase::volume, 1},
    ParticleArray<double>{&SphDatabase::pressure, 1},
    ParticleArray<double>{&SphDatabase::internal_energy, 1},
    ParticleArray<double>{&SphDatabase::temperature, 1},
    ParticleArray<double>{&SphDatabase::h, 1},
    ParticleArray<double>{&SphDatabase::drho_dt, 1},
    ParticleArray<double>{&SphDatabase::acc_pressure, 3},
    ParticleArray<double>{&SphDatabase::acc_viscosity, 3},
    ParticleArray<double>{&SphDatabase::acc_body, 3},
    ParticleArray<int32_t>{&SphDatabase::particle_cell_id, 1},
    ParticleArray<int32_t>{&SphDatabase::cell_next, 1},
    ParticleArray<int32_t>{&SphDatabase::neighbor_count, 1},
    ParticleArray<int64_t>{&SphDatabase::neighbor_offset, 1},
};

template <typename F>
void for_each_particle_array(F&& f) {
    std::apply([&f](const auto&... array) { (f(array), ...); }, particle_arrays);
}

constexpr std::size_t particle_array_bytes() {
    return std::apply(
        [](const auto&... array) {
            return ((array.components * sizeof(typename std::decay_t<decltype(array)>::element)) + ... + 0);
        },
        particle_arrays);
}

// The node map is reserved for every particle and gets one entry per particle at its
// first lookup: one bucket pointer, plus one heap node holding a next pointer and the
// key/value pair (16 bytes) that a 64-bit allocator hands out as a 32-byte block once
// its header and 16-byte rounding are added.
constexpr std::size_t node_map_bytes_per_particle = sizeof(void*) + 32;

constexpr std::size_t bytes_per_particle = particle_array_bytes() + node_map_bytes_per_particle;

template <typename T, typename A>
void release(std::vector<T, A>& v) {
    std::vector<T, A>().swap(v);
}

void release_particle_arrays(SphDatabase& d) {
    for_each_particle_array([&d](const auto& array) { release(d.*array.member); });
    release(d.cell_head);
    release(d.neighbor_list);
    d.node_index = {};
    d.node_index_stale = true;
}

// Memory is committed lazily, so a request far beyond the machine would only fail
// while the arrays are being filled, by the process being killed. Refuse it up front.
bool fits_in_memory(std::size_t n) {
    const std::uint64_t physical = sph_platform_physical_memory();
    if (physical == 0) return true;  // unknown: the allocation itself decides
    return static_cast<std::uint64_t>(n) * bytes_per_particle <= physical;
}

}  // namespace

std::size_t sph_db_bytes_per_particle() { return bytes_per_particle; }

int sph_db_allocate(int32_t count) {
    if (count < 0) return sph_fail(sph_error_argument, "particle count must be non-negative");
    sph_db_free();
    if (count == 0) return sph_success;
    SphDatabase& d = sph_database;
    const std::size_t n = static_cast<std::size_t>(count);
    if (!fits_in_memory(n)) {
        sph_db_free();
        return sph_fail(sph_error_database, "failed to allocate particle database");
    }
    try {
        for_each_particle_array([&](const auto& array) { (d.*array.member).resize(array.components * n); });
        d.node_index.reserve(n);
    } catch (const std::exception&) {
        sph_db_free();
        return sph_fail(sph_error_database, "failed to allocate particle database");
    }
    d.npart = count;
    sph_db_initialize_defaults();
    return sph_success;
}

void sph_db_initialize_defaults() {
    SphDatabase& d = sph_database;
    const std::size_t n = d.particle_id_ext.size();
    for (std::size_t i = 0; i < n; ++i) d.particle_id_ext[i] = static_cast<int32_t>(i + 1);
    std::fill(d.particle_phase.begin(), d.particle_phase.end(), sph_phase_solid);
    std::fill(d.particle_status.begin(), d.particle_status.end(), sph_status_active);
    std::fill(d.material_id.begin(), d.material_id.end(), 1);
    std::fill(d.section_id.begin(), d.section_id.end(), 0);
    for (auto* vec : {&d.x0, &d.x, &d.v, &d.a, &d.vhalf, &d.pressure, &d.internal_energy, &d.drho_dt,
                      &d.acc_pressure, &d.acc_viscosity, &d.acc_body})
        std::fill(vec->begin(), vec->end(), 0.0);
    std::fill(d.mass.begin(), d.mass.end(), 1.0);
    std::fill(d.rho.begin(), d.rho.end(), 1000.0);
    std::fill(d.volume.begin(), d.volume.end(), 1.0);
    std::fill(d.temperature.begin(), d.temperature.end(), 293.15);
    std::fill(d.h.begin(), d.h.end(), 1.0);
    std::fill(d.particle_cell_id.begin(), d.particle_cell_id.end(), 0);
    std::fill(d.cell_next.begin(), d.cell_next.end(), -1);
    std::fill(d.neighbor_count.begin(), d.neighbor_count.end(), 0);
    std::fill(d.neighbor_offset.begin(), d.neighbor_offset.end(), 0);
    d.node_index.clear();
    d.node_index_stale = true;
    sph_db_clear_water_diagnostics();
    sph_db_clear_gas_diagnostics();
    sph_db_clear_solid_diagnostics();
}

void sph_db_free() {
    SphDatabase& d = sph_database;
    release_particle_arrays(d);
    d.npart = 0;
    sph_db_clear_metadata();
    sph_db_clear_water_diagnostics();
    sph_db_clear_gas_diagnostics();
    sph_db_clear_solid_diagnostics();
}

int sph_db_set_node(int32_t index, int32_t ext_id, const double coords[3]) {
    SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart) return sph_fail(sph_error_argument, "particle index is out of range");
    d.particle_id_ext[index] = ext_id;
    for (int k = 0; k < 3; ++k) {
        d.x0[3 * index + k] = coords[k];
        d.x[3 * index + k] = coords[k];
    }
    d.node_index_stale = true;
    return sph_success;
}

int sph_db_get_particle_state(int32_t max_particles, int32_t* particle_id_ext_out, int32_t* phase_out,
                              int32_t* status_out, int32_t* material_id_out, int32_t* section_id_out,
                              double* x_out, double* v_out, double* a_out, double* rho_out, double* pressure_out,
                              double* internal_energy_out, double* temperature_out, double* h_out, int32_t& count) {
    const SphDatabase& d = sph_database;
    count = d.npart;
    if (max_particles < d.npart) return sph_fail(sph_error_argument, "particle state buffer is too small");
    const std::size_t n = static_cast<std::size_t>(d.npart);
    auto copy_int = [n](const std::vector<int32_t>& src, int32_t* dst) {
        if (dst != nullptr) std::copy_n(src.begin(), n, dst);
    };
    auto copy_real = [](const std::vector<double>& src, std::size_t m, double* dst) {
        if (dst != nullptr) std::copy_n(src.begin(), m, dst);
    };
    copy_int(d.particle_id_ext, particle_id_ext_out);
    copy_int(d.particle_phase, phase_out);
    copy_int(d.particle_status, status_out);
    copy_int(d.material_id, material_id_out);
    copy_int(d.section_id, section_id_out);
    copy_real(d.x, 3 * n, x_out);
    copy_real(d.v, 3 * n, v_out);
    copy_real(d.a, 3 * n, a_out);
    copy_real(d.rho, n, rho_out);
    copy_real(d.pressure, n, pressure_out);
    copy_real(d.internal_energy, n, internal_energy_out);
    copy_real(d.temperature, n, temperature_out);
    copy_real(d.h, n, h_out);
    return sph_success;
}

void sph_db_get_particle_state_capacity(int32_t& count, int32_t& ndim) {
    count = sph_database.npart;
    ndim = 3;
}

void sph_db_get_particle_count(int32_t& count) { count = sph_database.npart; }

int sph_db_allocate_neighbor_storage(int64_t max_links, int64_t num_cells) {
    if (max_links < 0 || num_cells < 0)
        return sph_fail(sph_error_argument, "neighbor storage sizes must be non-negative");
    SphDatabase& d = sph_database;
    try {
        // Capacity is kept between rebuilds: no allocation once the sizes are reached.
        if (static_cast<std::size_t>(max_links) > d.neighbor_list.size())
            d.neighbor_list.resize(static_cast<std::size_t>(max_links), 0);
        d.cell_head.assign(static_cast<std::size_t>(num_cells), -1);
    } catch (const std::exception&) {
        return sph_fail(sph_error_database, "failed to allocate neighbor storage");
    }
    return sph_success;
}

void sph_db_clear_water_diagnostics() { static_cast<SphWaterDiagnostics&>(sph_database) = {}; }

// The gas history lives outside SphGasDiagnostics and so survives.
void sph_db_clear_gas_diagnostics() { static_cast<SphGasDiagnostics&>(sph_database) = {}; }

void sph_db_clear_solid_diagnostics() { static_cast<SphSolidDiagnostics&>(sph_database) = {}; }

}  // namespace quorrel
