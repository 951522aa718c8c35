// Step output: settings, the driver that writes one output step, and the
// particle CSV file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorrel {

// Longest output directory accepted (trailing blanks not counted).
inline constexpr std::size_t sph_output_directory_len = 256;

// Sets the output directory, clears the PVD collection and turns output on.
[[nodiscard]] int sph_output_set_directory(std::string_view directory);
[[nodiscard]] int sph_output_set_interval(int32_t interval);
// Writes the particle CSV, summary CSV, VTU file and PVD collection of one step
// into the output directory, stopping at the first failure.
[[nodiscard]] int sph_output_write_step(int32_t step, double time);

// Writes the particle CSV at `filename` (trailing blanks removed).
[[nodiscard]] int sph_output_write_csv(std::string_view filename);
// The particle CSV's coupling_region_id of particle `particle_index`: the number, from 1,
// of the first enabled region listing it; 0 for none or an index outside the model.
int32_t sph_output_coupling_region_id(int32_t particle_index);
// The summary CSV of a step: "metric,value" and the general, solid, blast and coupling
// blocks, 101 + 38 R lines after the header for R blast regions.
[[nodiscard]] int sph_output_write_summary(std::string_view filename, int32_t step, double time);
// Particles and facet proxies the enabled coupling regions export (a particle in two
// regions counts twice).
void sph_output_coupling_counts(int32_t& particle_total, int32_t& facet_total);
// The blocks of the summary, onto an open file.
class SphOutputFile;
void sph_output_write_solid_summary(SphOutputFile& file);
[[nodiscard]] int sph_output_write_blast_summary(SphOutputFile& file);
void sph_output_write_blast_reals(SphOutputFile& file, int32_t region, const int32_t counts[12], const double values[26]);
void sph_output_write_blast_vector(SphOutputFile& file, std::string_view base, int32_t region, const double* values);
void sph_output_write_blast_real(SphOutputFile& file, std::string_view base, int32_t region, double value);
// `base`, "_" and the region number into `name`; returns the length.
std::size_t sph_output_blast_metric_name(std::string_view base, int32_t region, char* name, std::size_t capacity);
void sph_output_write_coupling_summary(SphOutputFile& file);

// The 52 column names of the particle CSV, joined by ",".
std::string_view sph_output_csv_header();

// Per-particle arrays of the later phases that the particle CSV shows. A null
// pointer, or an array not holding exactly npart entries per component, reads 0
// for every particle (its owner has not allocated it for this model).
struct SphOutputSources {
    const std::vector<double>* explosive_detonation_time = nullptr;
    const std::vector<double>* explosive_reaction_progress = nullptr;
    const std::vector<double>* explosive_initial_mass = nullptr;
    const std::vector<double>* explosive_remaining_mass = nullptr;
    const std::vector<double>* explosive_released_mass = nullptr;
    const std::vector<double>* explosive_released_energy = nullptr;
    const std::vector<double>* solid_stress = nullptr;  // 6 per particle: xx yy zz xy yz xz
    const std::vector<double>* solid_plastic_strain = nullptr;
    const std::vector<double>* solid_damage = nullptr;
    const std::vector<double>* solid_softening = nullptr;
    const std::vector<double>* solid_strain_rate_eq = nullptr;
    const std::vector<double>* blast_solid_external_force = nullptr;   // 3 per particle
    const std::vector<double>* blast_shell_external_force = nullptr;   // 3 per particle
    const std::vector<double>* blast_shell_external_moment = nullptr;  // 3 per particle
    const std::vector<double>* coupling_external_force = nullptr;      // 3 per particle
    const std::vector<double>* coupling_contact_gap = nullptr;
    const std::vector<double>* coupling_contact_penetration = nullptr;
    const std::vector<int32_t>* coupling_contact_flag = nullptr;
    const std::vector<int32_t>* solid_failure_status = nullptr;
    const std::vector<int32_t>* solid_reference_neighbor_count = nullptr;
    const std::vector<int32_t>* solid_correction_status = nullptr;
    const std::vector<int32_t>* coupling_motion_flag = nullptr;
};

// Points each source at its owning module's array; phases not in the build stay null.
void sph_output_collect_sources(SphOutputSources& sources);

// State of the particle CSV writer: buffers reused from write to write.
struct SphOutputCsv {
    std::vector<int32_t> region_of_particle;  // coupling_region_id per particle
};
extern SphOutputCsv sph_output_csv;
// Frees the writer's reused buffers (their capacity too).
void sph_output_release_scratch();

}  // namespace quorrel
