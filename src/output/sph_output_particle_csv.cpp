// The particle CSV of an output step: one row of 52 columns per particle.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "blast/sph_blast_load.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"
#include "output/sph_output.h"
#include "output/sph_output_file.h"
#include "solid/sph_solid_state.h"

namespace quorrel {

SphOutputCsv sph_output_csv;

namespace {

constexpr std::string_view csv_header =
    "id,phase,status,material,section,x,y,z,vx,vy,vz,rho,pressure,temperature,h,"
    "explosive_detonation_time,explosive_lambda,explosive_initial_mass,explosive_remaining_mass,"
    "explosive_released_mass,explosive_released_energy,"
    "solid_stress_xx,solid_stress_yy,solid_stress_zz,solid_stress_xy,solid_stress_yz,solid_stress_zx,"
    "solid_plastic_strain,solid_damage,solid_softening,solid_strain_rate_eq,solid_acceleration_norm,"
    "blast_solid_fx,blast_solid_fy,blast_solid_fz,blast_shell_fx,blast_shell_fy,blast_shell_fz,"
    "blast_shell_mx,blast_shell_my,blast_shell_mz,coupling_force_x,coupling_force_y,coupling_force_z,"
    "coupling_gap,coupling_penetration,coupling_contact_flag,solid_failure_status,"
    "solid_reference_neighbor_count,solid_correction_status,coupling_motion_flag,coupling_region_id";

// An optional array as a pointer to its data, or null when it does not belong
// to the current model (absent, or sized for a different particle count).
template <typename T>
const T* present(const std::vector<T>* values, std::size_t npart, std::size_t components) {
    if (values == nullptr || values->size() != npart * components) return nullptr;
    return values->data();
}

template <typename T>
T value_at(const T* values, std::size_t index) {
    return values == nullptr ? T{} : values[index];
}

// One pass over the regions: the first enabled region holding a particle wins.
void fill_region_ids(std::vector<int32_t>& ids, int32_t npart) {
    ids.assign(static_cast<std::size_t>(npart), 0);
    const auto& regions = sph_database.coupling_regions;
    for (std::size_t r = 0; r < regions.size(); ++r) {
        if (regions[r].coupling_region_enabled == 0) continue;
        for (int32_t p : regions[r].coupling_region_particles) {
            if (p < 0 || p >= npart) continue;
            int32_t& id = ids[static_cast<std::size_t>(p)];
            if (id == 0) id = static_cast<int32_t>(r) + 1;
        }
    }
}

}  // namespace

std::string_view sph_output_csv_header() { return csv_header; }

int32_t sph_output_coupling_region_id(int32_t particle_index) {
    if (particle_index < 0 || particle_index >= sph_database.npart) return 0;
    const auto& regions = sph_database.coupling_regions;
    for (std::size_t r = 0; r < regions.size(); ++r) {
        if (regions[r].coupling_region_enabled == 0) continue;
        const std::vector<int32_t>& members = regions[r].coupling_region_particles;
        if (std::find(members.begin(), members.end(), particle_index) != members.end())
            return static_cast<int32_t>(r) + 1;
    }
    return 0;
}

void sph_output_release_scratch() { sph_output_csv = SphOutputCsv{}; }

void sph_output_collect_sources(SphOutputSources& sources) {
    sources = SphOutputSources{};
    const SphExplosiveState& e = sph_explosive_state;
    sources.explosive_detonation_time = &e.explosive_detonation_time;
    sources.explosive_reaction_progress = &e.explosive_reaction_progress;
    sources.explosive_initial_mass = &e.explosive_initial_mass;
    sources.explosive_remaining_mass = &e.explosive_remaining_mass;
    sources.explosive_released_mass = &e.explosive_released_mass;
    sources.explosive_released_energy = &e.explosive_released_energy;
    const SphBlastLoad& b = sph_blast_load;
    sources.blast_solid_external_force = &b.blast_solid_external_force;
    sources.blast_shell_external_force = &b.blast_shell_external_force;
    sources.blast_shell_external_moment = &b.blast_shell_external_moment;
    const SphSolidState& s = sph_solid_state;
    sources.solid_stress = &s.solid_stress;
    sources.solid_plastic_strain = &s.solid_plastic_strain;
    sources.solid_damage = &s.solid_damage;
    sources.solid_softening = &s.solid_softening;
    sources.solid_strain_rate_eq = &s.solid_strain_rate_eq;
    sources.solid_failure_status = &s.solid_failure_status;
    sources.solid_reference_neighbor_count = &s.solid_reference_neighbor_count;
    sources.solid_correction_status = &s.solid_correction_status;
    const SphCouplingInterface& c = sph_coupling;
    sources.coupling_external_force = &c.coupling_external_force;
    sources.coupling_contact_gap = &c.coupling_contact_gap;
    sources.coupling_contact_penetration = &c.coupling_contact_penetration;
    sources.coupling_contact_flag = &c.coupling_contact_flag;
    sources.coupling_motion_flag = &c.coupling_motion_flag;
}

int sph_output_write_csv(std::string_view filename) {
    SphOutputFile file;
    if (int st = sph_output_open_file(file, filename, "failed to open CSV output file")) return st;

    const SphDatabase& db = sph_database;
    const int32_t npart = db.npart;
    const std::size_t n = static_cast<std::size_t>(npart);
    SphOutputSources src;
    sph_output_collect_sources(src);

    const double* det_time = present(src.explosive_detonation_time, n, 1);
    const double* lambda = present(src.explosive_reaction_progress, n, 1);
    const double* init_mass = present(src.explosive_initial_mass, n, 1);
    const double* rem_mass = present(src.explosive_remaining_mass, n, 1);
    const double* rel_mass = present(src.explosive_released_mass, n, 1);
    const double* rel_energy = present(src.explosive_released_energy, n, 1);
    const double* stress = present(src.solid_stress, n, 6);
    const double* plastic = present(src.solid_plastic_strain, n, 1);
    const double* damage = present(src.solid_damage, n, 1);
    const double* softening = present(src.solid_softening, n, 1);
    const double* rate_eq = present(src.solid_strain_rate_eq, n, 1);
    const double* blast_solid_f = present(src.blast_solid_external_force, n, 3);
    const double* blast_shell_f = present(src.blast_shell_external_force, n, 3);
    const double* blast_shell_m = present(src.blast_shell_external_moment, n, 3);
    const double* coupling_f = present(src.coupling_external_force, n, 3);
    const double* gap = present(src.coupling_contact_gap, n, 1);
    const double* penetration = present(src.coupling_contact_penetration, n, 1);
    const int32_t* contact_flag = present(src.coupling_contact_flag, n, 1);
    const int32_t* failure = present(src.solid_failure_status, n, 1);
    const int32_t* ref_count = present(src.solid_reference_neighbor_count, n, 1);
    const int32_t* correction = present(src.solid_correction_status, n, 1);
    const int32_t* motion_flag = present(src.coupling_motion_flag, n, 1);

    std::vector<int32_t>& region_ids = sph_output_csv.region_of_particle;
    fill_region_ids(region_ids, npart);

    file.put(csv_header);
    file.end_line();
    for (std::size_t i = 0; i < n; ++i) {
        const auto put_int = [&](int64_t value) {
            file.put_int(value);
            file.put_char(',');
        };
        const auto put_real = [&](double value) {
            file.put_real(value);
            file.put_char(',');
        };
        const auto put_triple = [&](const double* values) {
            for (std::size_t k = 0; k < 3; ++k) put_real(value_at(values, 3 * i + k));
        };
        put_int(db.particle_id_ext[i]);
        put_int(db.particle_phase[i]);
        put_int(db.particle_status[i]);
        put_int(db.material_id[i]);
        put_int(db.section_id[i]);
        put_triple(db.x.data());
        put_triple(db.v.data());
        put_real(db.rho[i]);
        put_real(db.pressure[i]);
        put_real(db.temperature[i]);
        put_real(db.h[i]);
        put_real(value_at(det_time, i));
        put_real(value_at(lambda, i));
        put_real(value_at(init_mass, i));
        put_real(value_at(rem_mass, i));
        put_real(value_at(rel_mass, i));
        put_real(value_at(rel_energy, i));
        for (std::size_t k = 0; k < 6; ++k) put_real(value_at(stress, 6 * i + k));
        put_real(value_at(plastic, i));
        put_real(value_at(damage, i));
        put_real(value_at(softening, i));
        put_real(value_at(rate_eq, i));
        put_real(sph_norm3(&db.a[3 * i]));
        put_triple(blast_solid_f);
        put_triple(blast_shell_f);
        put_triple(blast_shell_m);
        put_triple(coupling_f);
        put_real(value_at(gap, i));
        put_real(value_at(penetration, i));
        put_int(value_at(contact_flag, i));
        put_int(value_at(failure, i));
        put_int(value_at(ref_count, i));
        put_int(value_at(correction, i));
        put_int(value_at(motion_flag, i));
        file.put_int(region_ids[i]);
        file.end_line();
    }
    if (!file.close()) return sph_fail(sph_error_io, "failed to write CSV output file");
    return sph_success;
}

}  // namespace quorrel
