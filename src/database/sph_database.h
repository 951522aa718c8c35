// The model database: particle store, record tables, coupling-region table,
// host options, per-phase diagnostics and neighbour storage.
//
// Conventions inside the code: particle, record and cell indices are 0-based;
// lookups return -1 for "not found". `material_id` and `section_id` of a particle
// hold the record *number* (1-based, 0 = none), because they are shown as such in
// files and across the C interface. Names are held without their blank padding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorrel {

// Phase codes.
inline constexpr int sph_phase_water = 1;
inline constexpr int sph_phase_gas = 2;
inline constexpr int sph_phase_explosive = 3;
inline constexpr int sph_phase_solid = 4;
inline constexpr int sph_phase_shell = 5;
inline constexpr int sph_phase_boundary = 6;
inline constexpr int sph_phase_coupling = 7;
inline constexpr int sph_phase_solid_failed = 8;
inline constexpr int sph_phase_shell_failed = 9;

// Status codes.
inline constexpr int sph_status_active = 0;
inline constexpr int sph_status_inactive = 1;
inline constexpr int sph_status_failed = 2;
inline constexpr int sph_status_reserved = 3;

// Capacities.
inline constexpr int sph_max_materials = 32;
inline constexpr int sph_max_sections = 32;
inline constexpr int sph_max_sets = 32;
inline constexpr int sph_max_set_members = 512;
inline constexpr int sph_max_elements = 256;
inline constexpr int sph_max_element_nodes = 8;
inline constexpr int sph_max_regions = 32;
inline constexpr int sph_max_region_particles = 512;

// Coupling-region codes.
inline constexpr int sph_region_coupling_contact = 1;
inline constexpr int sph_region_coupling_continuum = 2;
inline constexpr int sph_coupling_export_particle = 1;
inline constexpr int sph_coupling_export_facet = 2;
inline constexpr int sph_coupling_export_both = 3;
inline constexpr int sph_coupling_import_force = 1;
inline constexpr int sph_coupling_import_facet_load = 2;
inline constexpr int sph_coupling_import_motion = 3;
inline constexpr int sph_coupling_load_particle_force = 1;
inline constexpr int sph_coupling_load_facet_force = 2;
inline constexpr int sph_coupling_load_pressure = 3;
inline constexpr int sph_coupling_load_traction = 4;
inline constexpr int sph_coupling_distribution_uniform = 1;
inline constexpr int sph_coupling_distribution_area = 2;
inline constexpr int sph_coupling_distribution_mass = 3;
inline constexpr int sph_coupling_contact_state_none = 0;
inline constexpr int sph_coupling_contact_state_import = 1;

struct SphMaterialRecord {
    std::string material_name;
    std::string material_type;
    int32_t material_internal_id = 0;  // 1-based record number
    double material_density = 0.0;
};

struct SphSectionRecord {
    std::string section_name;
    std::string section_type;
    std::string section_material_name;
    int32_t section_material_id = 0;  // 1-based material record number
    std::string section_orientation_name;
    double section_thickness = 0.0;
    int32_t section_integration_points = 0;
    double section_shear_correction = 0.0;
};

struct SphSetRecord {
    std::string name;
    std::vector<int32_t> members;  // at most sph_max_set_members
    int32_t first_member = 0;
};

struct SphElementRecord {
    int32_t element_id_ext = 0;
    std::string element_type;
    std::vector<int32_t> element_conn;  // node numbers, at most sph_max_element_nodes
};

struct SphCouplingRegionRecord {
    std::string coupling_region_name;
    std::string coupling_region_set_name;
    std::string coupling_region_surface_name;
    std::string coupling_region_material_name;
    std::string coupling_region_section_name;
    int32_t coupling_region_type = 0;
    int32_t coupling_region_export_mode = 0;
    int32_t coupling_region_import_mode = 0;
    int32_t coupling_region_load_mode = 0;
    int32_t coupling_region_distribution_mode = 0;
    int32_t coupling_region_contact_state_mode = 0;
    int32_t coupling_region_enabled = 0;
    int32_t coupling_region_phase_filter = 0;
    int32_t coupling_region_material_filter = 0;  // 1-based material record number, 0 = none
    int32_t coupling_region_section_filter = 0;   // 1-based section record number, 0 = none
    int32_t coupling_region_internal_id = 0;      // 1-based
    std::vector<int32_t> coupling_region_particles;  // 0-based particle indices, at most 512
};

// Diagnostics, one struct per phase, written by the phase and read by output, restart
// and the interface. Every field starts at zero, so clearing a phase's diagnostics is
// one assignment of an empty struct.
struct SphWaterDiagnostics {
    int32_t water_particle_count = 0;
    double water_mass = 0.0;
    std::array<double, 3> water_momentum{};
    double water_max_pressure = 0.0, water_min_density = 0.0, water_max_density = 0.0;
    double water_pressure_impulse = 0.0;
    double water_dt_cfl = 0.0, water_dt_accel = 0.0, water_dt_viscous = 0.0;
};

// The gas history (previous center and radius) is not here: it outlives a clear.
struct SphGasDiagnostics {
    int32_t gas_particle_count = 0;
    double gas_mass = 0.0, gas_volume = 0.0;
    std::array<double, 3> gas_momentum{}, gas_center{};
    double gas_mean_pressure = 0.0, gas_max_pressure = 0.0, gas_min_density = 0.0, gas_max_density = 0.0;
    double gas_equivalent_radius = 0.0, gas_radius_rate = 0.0, gas_center_shift = 0.0;
    double gas_dt_cfl = 0.0, gas_dt_accel = 0.0, gas_dtcrit = 0.0;
};

struct SphSolidDiagnostics {
    int32_t solid_particle_count = 0, solid_failed_count = 0;
    int32_t solid_reference_neighbor_min = 0, solid_correction_status_max = 0;
    double solid_mass = 0.0;
    std::array<double, 3> solid_momentum{};
    double solid_kinetic_energy = 0.0, solid_internal_energy_total = 0.0, solid_max_von_mises = 0.0;
    double solid_min_plastic_strain = 0.0, solid_max_plastic_strain = 0.0;
    double solid_min_damage = 0.0, solid_max_damage = 0.0;
    double solid_min_softening = 0.0, solid_max_softening = 0.0;
    double solid_dt_cfl = 0.0, solid_dt_accel = 0.0, solid_dtcrit = 0.0;
    double solid_correction_det_min = 0.0, solid_max_strain_rate = 0.0, solid_max_acceleration = 0.0;
    double solid_internal_force_residual = 0.0;
};

// An allocator whose value-less construct leaves the entry unset: the neighbour search
// writes every link it later reads, so sizing the list costs no zero-fill.
template <class T>
struct SphUninitializedAllocator {
    using value_type = T;
    SphUninitializedAllocator() = default;
    template <class U>
    SphUninitializedAllocator(const SphUninitializedAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>{}.deallocate(p, n); }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(const SphUninitializedAllocator&, const SphUninitializedAllocator&) { return true; }
};
using SphNeighborLinks = std::vector<int32_t, SphUninitializedAllocator<int32_t>>;

// The diagnostics are bases so that their fields read as sph_database.water_mass etc.
struct SphDatabase : SphWaterDiagnostics, SphGasDiagnostics, SphSolidDiagnostics {
    int32_t npart = 0;

    // Per-particle arrays; vectors are 3 per particle, components adjacent.
    std::vector<int32_t> particle_id_ext, particle_phase, particle_status, material_id, section_id;
    std::vector<double> x0, x, v, a, vhalf;
    std::vector<double> mass, rho, volume, pressure, internal_energy, temperature, h, drho_dt;
    std::vector<double> acc_pressure, acc_viscosity, acc_body;
    std::vector<int32_t> particle_cell_id;  // 0-based cell of the last rebuild
    std::vector<int32_t> cell_next;         // next particle in the cell chain, -1 ends it
    std::vector<int32_t> neighbor_count;
    std::vector<int64_t> neighbor_offset;   // 0-based start of the particle's run

    // Neighbour storage (filled by the neighbour search).
    std::vector<int32_t> cell_head;      // first particle of each cell's chain, -1 empty
    SphNeighborLinks neighbor_list;      // 0-based particle indices; size() is the capacity

    // First particle index of each node number: rebuilt by the first lookup after any
    // node is set, so filling n nodes and then looking them up stays linear.
    std::unordered_map<int32_t, int32_t> node_index;
    bool node_index_stale = true;

    // Record tables.
    std::vector<SphMaterialRecord> materials;
    std::vector<SphSectionRecord> sections;
    std::vector<SphSetRecord> nsets;
    std::vector<SphSetRecord> elsets;
    std::vector<SphElementRecord> elements;
    std::unordered_map<int32_t, int32_t> element_index;  // first record of each element number

    // Coupling regions.
    std::vector<SphCouplingRegionRecord> coupling_regions;
    int32_t coupling_region_disabled_count = 0;
    // Grows whenever a region or its particle list changes, so that what is derived from
    // the lists (the coupling interface's membership map) can tell when to rebuild.
    int64_t coupling_region_revision = 0;

    // Host options.
    int32_t zenvik_worker_enabled = 0;
    std::string zenvik_region_name = "ALL";
    int32_t zenvik_export_radius = 1;
    int32_t zenvik_export_sound_speed = 1;
    int32_t zenvik_accept_contact_state = 1;
    int32_t zenvik_accept_boundary_state = 0;

    // Gas history: carried from one diagnostics refresh to the next, kept by the gas clear.
    std::array<double, 3> gas_previous_center{};
    double gas_previous_equivalent_radius = 0.0;
};

extern SphDatabase sph_database;

// The particle count as an array size (0 before any allocation).
inline std::size_t npart_of(const SphDatabase& d = sph_database) { return d.npart > 0 ? static_cast<std::size_t>(d.npart) : 0; }

// ---- Particle store ----
// Refuses (code 5) a count whose arrays would not fit in the machine's physical memory.
[[nodiscard]] int sph_db_allocate(int32_t count);
// Bytes one particle costs: every per-particle array's components and the node map.
std::size_t sph_db_bytes_per_particle();
void sph_db_initialize_defaults();
void sph_db_free();
// `index` is 0-based.
[[nodiscard]] int sph_db_set_node(int32_t index, int32_t ext_id, const double coords[3]);
// Copies particle state into caller arrays sized for `max_particles` (x, v, a: 3 each).
[[nodiscard]] int sph_db_get_particle_state(int32_t max_particles, int32_t* particle_id_ext_out,
                                            int32_t* phase_out, int32_t* status_out,
                                            int32_t* material_id_out, int32_t* section_id_out,
                                            double* x_out, double* v_out, double* a_out, double* rho_out,
                                            double* pressure_out, double* internal_energy_out,
                                            double* temperature_out, double* h_out, int32_t& count);
void sph_db_get_particle_state_capacity(int32_t& count, int32_t& ndim);
void sph_db_get_particle_count(int32_t& count);
// Sizes the list to hold `max_links` entries and the cell heads to `num_cells`, all empty.
// Reuses capacity; only grows.
[[nodiscard]] int sph_db_allocate_neighbor_storage(int64_t max_links, int64_t num_cells);
void sph_db_clear_water_diagnostics();
void sph_db_clear_gas_diagnostics();
void sph_db_clear_solid_diagnostics();

// ---- Record tables ----
std::string sph_db_upper(std::string_view text);
bool sph_db_name_equal(std::string_view left, std::string_view right);

[[nodiscard]] int sph_db_add_material(std::string_view name, std::string_view mtype);
[[nodiscard]] int sph_db_set_material_density(std::string_view name, double density_value);
[[nodiscard]] int sph_db_add_section(std::string_view name, std::string_view stype, std::string_view mat_name,
                                     double thickness, int32_t points, double shear_correction,
                                     std::string_view orientation_name);
// A set whose name already exists gets the new members appended (up to the member cap).
[[nodiscard]] int sph_db_add_nset(std::string_view name, int32_t member_count, const int32_t* members);
[[nodiscard]] int sph_db_add_elset(std::string_view name, int32_t member_count, const int32_t* members);
[[nodiscard]] int sph_db_add_element(int32_t ext_id, std::string_view etype, int32_t conn_count,
                                     const int32_t* conn_values);
void sph_db_clear_metadata();

// Lookups return a 0-based record / particle index, or -1.
int sph_db_find_material(std::string_view name);
int sph_db_find_section(std::string_view name);
int sph_db_find_nset(std::string_view name);
int sph_db_find_elset(std::string_view name);
int sph_db_find_element(int32_t ext_id);
int sph_db_find_node(int32_t ext_id);

// Phase code of a 1-based material record number (solid when out of range).
int sph_db_phase_from_material(int32_t material_number);
// Phase code from a material type text.
int sph_db_phase_from_type(std::string_view mtype);
[[nodiscard]] int sph_db_apply_sections_to_particles();

// ---- Coupling regions and host options ----
void sph_db_clear_coupling_regions();
void sph_db_reset_host_options();
[[nodiscard]] int sph_db_add_coupling_region(std::string_view name, std::string_view set_name, int32_t region_type,
                                             int32_t export_mode, int32_t import_mode, int32_t load_mode,
                                             int32_t distribution_mode, int32_t contact_state_mode, bool enabled,
                                             std::string_view surface_name, int32_t phase_filter,
                                             std::string_view material_filter_name,
                                             std::string_view section_filter_name);
[[nodiscard]] int sph_db_build_coupling_regions();
// `region` and `particle` are 0-based.
bool sph_db_coupling_accepts_particle(int region, int particle);
[[nodiscard]] int sph_db_set_zenvik_options(int32_t worker_enabled, std::string_view region_name,
                                            int32_t export_radius, int32_t export_sound_speed,
                                            int32_t accept_contact_state, int32_t accept_boundary_state);

}  // namespace quorrel
