// The console program: reads and builds a deck, optionally runs it, prints a report of
// key: value lines. It reaches the model only through the C interface. The capabilities
// text and the coupling worker have entries of their own.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "quorrel.h"
#include "sph_worker_cli.h"
#include "sph_worker_runtime.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;

void quorrel_print_usage() {
    std::printf("usage: quorrel [--version] model.inp [--check|--run] [--output path]\n");
    quorrel::quorrel_worker_print_usage();
}

void print_error_lines(int code, const char* message) {
    std::fprintf(stderr, "error_code: %d\n", code);
    std::fprintf(stderr, "error_message: %s\n", message);
}

void quorrel_print_error() {
    int code = 0;
    char message[256];
    if (quorrel_get_last_error(&code, message, static_cast<int>(sizeof message)) != 0) return;
    print_error_lines(code, message);
}

// Values gathered for the report, one named field per printed value; the report rows
// below name the field each line shows. A query that returns an array has its slots
// unpacked into these fields where it is gathered, so the order of a query's slots
// never decides which key a value is printed under. Phases whose queries are not in
// this build keep their empty-model values (zero).
struct Report {
    int major = 0, minor = 0, patch = 0;
    int particles = 0, warnings = 0;
    double time = 0.0;
    int step = 0;

    int water_particles = 0;
    double water_mass = 0.0, water_max_pressure = 0.0, dtcrit = 0.0;

    int gas_particles = 0;
    // The center shown is the bubble metrics' one: both gas queries give a center, and the
    // metrics come second.
    double gas_volume = 0.0, gas_center_x = 0.0, gas_center_y = 0.0, gas_center_z = 0.0;
    double gas_mean_pressure = 0.0, gas_max_pressure = 0.0;
    double gas_mass = 0.0, gas_momentum_x = 0.0, gas_momentum_y = 0.0, gas_momentum_z = 0.0;
    double gas_min_density = 0.0, gas_max_density = 0.0;
    double gas_equivalent_radius = 0.0, gas_radius_rate = 0.0;
    double gas_dt_cfl = 0.0, gas_dt_accel = 0.0, gas_dtcrit = 0.0;
    double gas_source_mass = 0.0, gas_source_energy = 0.0;
    double gas_source_momentum_x = 0.0, gas_source_momentum_y = 0.0, gas_source_momentum_z = 0.0;

    int explosive_phase_particles = 0;
    int explosive_particles = 0, explosive_reacted_particles = 0;
    double explosive_lambda_min = 0.0, explosive_lambda_max = 0.0, explosive_lambda_mean = 0.0;
    double explosive_released_mass = 0.0, explosive_released_energy = 0.0;
    double explosive_released_momentum_x = 0.0, explosive_released_momentum_y = 0.0;
    double explosive_released_momentum_z = 0.0;
    double explosive_detonation_time_min = 0.0, explosive_detonation_time_max = 0.0;
    double explosive_initial_mass = 0.0, explosive_remaining_mass = 0.0, explosive_release_mass_error = 0.0;
    double explosive_release_energy_error = 0.0;
    double explosive_release_momentum_x = 0.0, explosive_release_momentum_y = 0.0;
    double explosive_release_momentum_z = 0.0;

    int solid_particles = 0, solid_failed_particles = 0;
    double solid_mass = 0.0, solid_momentum_x = 0.0, solid_momentum_y = 0.0, solid_momentum_z = 0.0;
    double solid_kinetic_energy = 0.0, solid_internal_energy = 0.0, solid_max_von_mises = 0.0;
    double solid_plastic_strain_min = 0.0, solid_plastic_strain_max = 0.0;
    double solid_damage_min = 0.0, solid_damage_max = 0.0;
    double solid_softening_min = 0.0, solid_softening_max = 0.0;
    double solid_max_strain_rate = 0.0, solid_max_acceleration = 0.0, solid_internal_force_residual = 0.0;
    int solid_reference_neighbor_min = 0;
    double solid_correction_det_min = 0.0;
    int solid_correction_status = 0;
    double solid_dt_cfl = 0.0, solid_dt_accel = 0.0, solid_dtcrit = 0.0;

    int coupling_regions = 0;
    double coupling_force_x = 0.0, coupling_force_y = 0.0, coupling_force_z = 0.0;
    double coupling_impulse_x = 0.0, coupling_impulse_y = 0.0, coupling_impulse_z = 0.0;
    double coupling_work = 0.0, coupling_energy_exchange = 0.0;
    double coupling_force_balance_error = 0.0, coupling_moment_balance_error = 0.0;
    double coupling_max_pressure = 0.0, coupling_max_traction = 0.0, coupling_max_penetration = 0.0;
    int coupling_nonfinite_imports = 0, coupling_stale_loads = 0, coupling_repeated_imports = 0;
    int coupling_invalid_weights = 0, coupling_active_contacts = 0, coupling_skipped_contacts = 0;
    int coupling_nonfinite_contact_imports = 0;
};

// One report line: its key and the field it shows, an integer ("%d") or a real ("%.16e").
template <typename Source>
struct Row {
    const char* key;
    int Source::*integer = nullptr;
    double Source::*real = nullptr;
};

template <typename Source>
constexpr Row<Source> integer(const char* key, int Source::*field) {
    return {key, field, nullptr};
}

template <typename Source>
constexpr Row<Source> real(const char* key, double Source::*field) {
    return {key, nullptr, field};
}

void line_i(const char* key, int value) { std::printf("%s: %d\n", key, value); }
void line_r(const char* key, double value) { std::printf("%s: %.16e\n", key, value); }
void line_s(const char* key, const char* value) { std::printf("%s: %s\n", key, value); }

template <typename Source>
void print_line(const char* key, const Row<Source>& row, const Source& source) {
    if (row.integer)
        line_i(key, source.*row.integer);
    else
        line_r(key, source.*row.real);
}

// The lines between the mode line and the per-region lines, in report order.
constexpr Row<Report> model_rows[] = {
    integer("particles", &Report::particles),
    integer("warnings", &Report::warnings),
    real("time", &Report::time),
    integer("step", &Report::step),
    integer("water_particles", &Report::water_particles),
    real("water_mass", &Report::water_mass),
    real("max_pressure", &Report::water_max_pressure),
    real("dtcrit", &Report::dtcrit),
    integer("gas_particles", &Report::gas_particles),
    real("gas_volume", &Report::gas_volume),
    real("gas_center_x", &Report::gas_center_x),
    real("gas_center_y", &Report::gas_center_y),
    real("gas_center_z", &Report::gas_center_z),
    real("gas_mean_pressure", &Report::gas_mean_pressure),
    real("gas_max_pressure", &Report::gas_max_pressure),
    real("gas_mass", &Report::gas_mass),
    real("gas_momentum_x", &Report::gas_momentum_x),
    real("gas_momentum_y", &Report::gas_momentum_y),
    real("gas_momentum_z", &Report::gas_momentum_z),
    real("gas_min_density", &Report::gas_min_density),
    real("gas_max_density", &Report::gas_max_density),
    real("gas_equivalent_radius", &Report::gas_equivalent_radius),
    real("gas_radius_rate", &Report::gas_radius_rate),
    real("gas_dt_cfl", &Report::gas_dt_cfl),
    real("gas_dt_accel", &Report::gas_dt_accel),
    real("gas_dtcrit", &Report::gas_dtcrit),
    real("gas_source_mass", &Report::gas_source_mass),
    real("gas_source_energy", &Report::gas_source_energy),
    real("gas_source_momentum_x", &Report::gas_source_momentum_x),
    real("gas_source_momentum_y", &Report::gas_source_momentum_y),
    real("gas_source_momentum_z", &Report::gas_source_momentum_z),
    integer("explosive_phase_particles", &Report::explosive_phase_particles),
    integer("explosive_particles", &Report::explosive_particles),
    integer("explosive_reacted_particles", &Report::explosive_reacted_particles),
    real("explosive_lambda_min", &Report::explosive_lambda_min),
    real("explosive_lambda_max", &Report::explosive_lambda_max),
    real("explosive_lambda_mean", &Report::explosive_lambda_mean),
    real("explosive_released_mass", &Report::explosive_released_mass),
    real("explosive_released_energy", &Report::explosive_released_energy),
    real("explosive_released_momentum_x", &Report::explosive_released_momentum_x),
    real("explosive_released_momentum_y", &Report::explosive_released_momentum_y),
    real("explosive_released_momentum_z", &Report::explosive_released_momentum_z),
    real("explosive_detonation_time_min", &Report::explosive_detonation_time_min),
    real("explosive_detonation_time_max", &Report::explosive_detonation_time_max),
    real("explosive_initial_mass", &Report::explosive_initial_mass),
    real("explosive_remaining_mass", &Report::explosive_remaining_mass),
    real("explosive_release_mass_error", &Report::explosive_release_mass_error),
    real("explosive_release_energy_error", &Report::explosive_release_energy_error),
    real("explosive_release_momentum_x", &Report::explosive_release_momentum_x),
    real("explosive_release_momentum_y", &Report::explosive_release_momentum_y),
    real("explosive_release_momentum_z", &Report::explosive_release_momentum_z),
    integer("solid_particles", &Report::solid_particles),
    integer("solid_failed_particles", &Report::solid_failed_particles),
    real("solid_mass", &Report::solid_mass),
    real("solid_momentum_x", &Report::solid_momentum_x),
    real("solid_momentum_y", &Report::solid_momentum_y),
    real("solid_momentum_z", &Report::solid_momentum_z),
    real("solid_kinetic_energy", &Report::solid_kinetic_energy),
    real("solid_internal_energy", &Report::solid_internal_energy),
    real("solid_max_von_mises", &Report::solid_max_von_mises),
    real("solid_plastic_strain_min", &Report::solid_plastic_strain_min),
    real("solid_plastic_strain_max", &Report::solid_plastic_strain_max),
    real("solid_damage_min", &Report::solid_damage_min),
    real("solid_damage_max", &Report::solid_damage_max),
    real("solid_softening_min", &Report::solid_softening_min),
    real("solid_softening_max", &Report::solid_softening_max),
    real("solid_max_strain_rate", &Report::solid_max_strain_rate),
    real("solid_max_acceleration", &Report::solid_max_acceleration),
    real("solid_internal_force_residual", &Report::solid_internal_force_residual),
    integer("solid_reference_neighbor_min", &Report::solid_reference_neighbor_min),
    real("solid_correction_det_min", &Report::solid_correction_det_min),
    integer("solid_correction_status", &Report::solid_correction_status),
    real("solid_dt_cfl", &Report::solid_dt_cfl),
    real("solid_dt_accel", &Report::solid_dt_accel),
    real("solid_dtcrit", &Report::solid_dtcrit),
    integer("coupling_regions", &Report::coupling_regions),
};

// The lines after the per-region lines.
constexpr Row<Report> coupling_rows[] = {
    real("coupling_force_x", &Report::coupling_force_x),
    real("coupling_force_y", &Report::coupling_force_y),
    real("coupling_force_z", &Report::coupling_force_z),
    real("coupling_impulse_x", &Report::coupling_impulse_x),
    real("coupling_impulse_y", &Report::coupling_impulse_y),
    real("coupling_impulse_z", &Report::coupling_impulse_z),
    real("coupling_work", &Report::coupling_work),
    real("coupling_energy_exchange", &Report::coupling_energy_exchange),
    real("coupling_force_balance_error", &Report::coupling_force_balance_error),
    real("coupling_moment_balance_error", &Report::coupling_moment_balance_error),
    real("coupling_max_pressure", &Report::coupling_max_pressure),
    real("coupling_max_traction", &Report::coupling_max_traction),
    real("coupling_max_penetration", &Report::coupling_max_penetration),
    integer("coupling_nonfinite_imports", &Report::coupling_nonfinite_imports),
    integer("coupling_stale_loads", &Report::coupling_stale_loads),
    integer("coupling_repeated_imports", &Report::coupling_repeated_imports),
    integer("coupling_invalid_weights", &Report::coupling_invalid_weights),
    integer("coupling_active_contacts", &Report::coupling_active_contacts),
    integer("coupling_skipped_contacts", &Report::coupling_skipped_contacts),
    integer("coupling_nonfinite_contact_imports", &Report::coupling_nonfinite_contact_imports),
};

// What the two region queries give for one coupling region.
struct Region {
    char name[128] = {};
    int type = 0, export_mode = 0, import_mode = 0, enabled = 0, particles = 0, facets = 0;
    int load_mode = 0, distribution_mode = 0, contact_state_mode = 0;
};

// A region's lines after its name line; each key is coupling_region_<r>_<suffix>.
constexpr Row<Region> region_rows[] = {
    integer("type", &Region::type),
    integer("export_mode", &Region::export_mode),
    integer("import_mode", &Region::import_mode),
    integer("load_mode", &Region::load_mode),
    integer("distribution_mode", &Region::distribution_mode),
    integer("contact_state_mode", &Region::contact_state_mode),
    integer("enabled", &Region::enabled),
    integer("particles", &Region::particles),
    integer("facets", &Region::facets),
};

template <typename Source, std::size_t N>
void print_rows(const Row<Source> (&rows)[N], const Source& source) {
    for (const Row<Source>& row : rows) print_line(row.key, row, source);
}

int print_regions(const Report& r) {
    char key[64];
    for (int index = 1; index <= r.coupling_regions; ++index) {
        Region region;
        if (int st = quorrel_coupling_get_region_info(index, region.name, static_cast<int>(sizeof region.name),
                                                      &region.type, &region.export_mode, &region.import_mode,
                                                      &region.enabled, &region.particles, &region.facets))
            return st;
        if (int st = quorrel_coupling_get_region_modes(index, &region.load_mode, &region.distribution_mode,
                                                       &region.contact_state_mode))
            return st;
        std::snprintf(key, sizeof key, "coupling_region_%d_name", index);
        line_s(key, region.name);
        for (const Row<Region>& row : region_rows) {
            std::snprintf(key, sizeof key, "coupling_region_%d_%s", index, row.key);
            print_line(key, row, region);
        }
    }
    return 0;
}

int print_report(const Report& r, const char* deck, const char* mode) {
    std::printf("version: %d.%d.%d\n", r.major, r.minor, r.patch);
    line_s("input", deck);
    line_s("mode", mode);
    print_rows(model_rows, r);
    if (int st = print_regions(r)) return st;
    print_rows(coupling_rows, r);
    std::printf("status: ok\n");
    return 0;
}

// Phase codes of the particle state.
constexpr int phase_water = 1;
constexpr int phase_gas = 2;
constexpr int phase_explosive = 3;

// Room for everything the particle-state query returns for `n` particles, zero-filled.
struct ParticleState {
    std::vector<int> ids, phases, statuses, materials, sections;
    std::vector<double> x, v, a, rho, pressure, energy, temperature, h;
    explicit ParticleState(std::size_t n)
        : ids(n), phases(n), statuses(n), materials(n), sections(n), x(3 * n), v(3 * n), a(3 * n), rho(n),
          pressure(n), energy(n), temperature(n), h(n) {}
};

// Water, gas and explosive-phase particle counts from one particle-state query of
// `count` particles. -1 when the buffers cannot be had.
int quorrel_count_phase_particles(int count, Report& r) {
    r.water_particles = r.gas_particles = r.explosive_phase_particles = 0;
    if (count <= 0) return 0;
    std::optional<ParticleState> state;
    try {
        state.emplace(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        return -1;
    } catch (const std::length_error&) {
        return -1;
    }
    ParticleState& s = *state;
    int returned = 0;
    if (int st = quorrel_get_particle_state(count, s.ids.data(), s.phases.data(), s.statuses.data(),
                                            s.materials.data(), s.sections.data(), s.x.data(), s.v.data(),
                                            s.a.data(), s.rho.data(), s.pressure.data(), s.energy.data(),
                                            s.temperature.data(), s.h.data(), &returned))
        return st;
    const int limit = std::min(returned, count);
    for (int i = 0; i < limit; ++i) {
        const int phase = s.phases[static_cast<std::size_t>(i)];
        if (phase == phase_water) ++r.water_particles;
        if (phase == phase_gas) ++r.gas_particles;
        if (phase == phase_explosive) ++r.explosive_phase_particles;
    }
    return 0;
}

// The five gas queries, in this order. The summary and the extended summary each refresh
// the gas diagnostics, which moves the bubble history, so after a run (whose last step
// refreshed too) the radius rate reads 0.
int gather_gas(Report& r) {
    double center[3] = {};
    if (int st = quorrel_get_gas_summary(&r.gas_volume, center, &r.gas_mean_pressure, &r.gas_max_pressure))
        return st;
    // The bubble metrics give the center again; theirs, coming second, is the one shown.
    if (int st = quorrel_get_gas_bubble_metrics(&r.gas_equivalent_radius, &r.gas_radius_rate, center)) return st;
    r.gas_center_x = center[0];
    r.gas_center_y = center[1];
    r.gas_center_z = center[2];
    // Only the limit is shown from here; the cfl and acceleration limits shown are the
    // extended summary's.
    double dt_cfl = 0.0, dt_accel = 0.0;
    if (int st = quorrel_get_gas_dt_limits(&dt_cfl, &dt_accel, &r.gas_dtcrit)) return st;
    double momentum[3] = {}, density_range[2] = {}, dt_limits[3] = {};
    if (int st = quorrel_get_gas_extended_summary(&r.gas_mass, momentum, density_range, dt_limits)) return st;
    r.gas_momentum_x = momentum[0];
    r.gas_momentum_y = momentum[1];
    r.gas_momentum_z = momentum[2];
    r.gas_min_density = density_range[0];
    r.gas_max_density = density_range[1];
    r.gas_dt_cfl = dt_limits[0];
    r.gas_dt_accel = dt_limits[1];
    double source_momentum[3] = {};
    if (int st = quorrel_get_gas_source_summary(&r.gas_source_mass, source_momentum, &r.gas_source_energy))
        return st;
    r.gas_source_momentum_x = source_momentum[0];
    r.gas_source_momentum_y = source_momentum[1];
    r.gas_source_momentum_z = source_momentum[2];
    return 0;
}

// The explosive summary and release balance. Of the balance only the initial and
// remaining mass, the mass error, the energy error and the momentum are shown: the
// released mass and energy are the summary's.
int gather_explosive(Report& r) {
    double lambda_range[3] = {}, released[5] = {}, detonation[2] = {};
    if (int st = quorrel_get_explosive_summary(&r.explosive_particles, &r.explosive_reacted_particles, lambda_range,
                                               released, detonation))
        return st;
    r.explosive_lambda_min = lambda_range[0];
    r.explosive_lambda_max = lambda_range[1];
    r.explosive_lambda_mean = lambda_range[2];
    r.explosive_released_mass = released[0];
    r.explosive_released_energy = released[1];
    r.explosive_released_momentum_x = released[2];
    r.explosive_released_momentum_y = released[3];
    r.explosive_released_momentum_z = released[4];
    r.explosive_detonation_time_min = detonation[0];
    r.explosive_detonation_time_max = detonation[1];
    double mass[4] = {}, energy[2] = {}, momentum[3] = {};
    if (int st = quorrel_get_explosive_release_balance(mass, energy, momentum)) return st;
    r.explosive_initial_mass = mass[0];
    r.explosive_remaining_mass = mass[2];
    r.explosive_release_mass_error = mass[3];
    r.explosive_release_energy_error = energy[1];
    r.explosive_release_momentum_x = momentum[0];
    r.explosive_release_momentum_y = momentum[1];
    r.explosive_release_momentum_z = momentum[2];
    return 0;
}

// The solid summary (16 values), diagnostics (3) and reference quality (1), each value
// unpacked by its slot. The summary's step limits come from accelerations it recomputes.
int gather_solid(Report& r) {
    double summary[16] = {};
    if (int st = quorrel_get_solid_summary(&r.solid_particles, &r.solid_failed_particles, summary, 16)) return st;
    r.solid_mass = summary[0];
    r.solid_momentum_x = summary[1];
    r.solid_momentum_y = summary[2];
    r.solid_momentum_z = summary[3];
    r.solid_kinetic_energy = summary[4];
    r.solid_internal_energy = summary[5];
    r.solid_max_von_mises = summary[6];
    r.solid_plastic_strain_min = summary[7];
    r.solid_plastic_strain_max = summary[8];
    r.solid_damage_min = summary[9];
    r.solid_damage_max = summary[10];
    r.solid_softening_min = summary[11];
    r.solid_softening_max = summary[12];
    r.solid_dt_cfl = summary[13];
    r.solid_dt_accel = summary[14];
    r.solid_dtcrit = summary[15];
    double diagnostics[3] = {};
    if (int st = quorrel_get_solid_diagnostics(diagnostics, 3)) return st;
    r.solid_max_strain_rate = diagnostics[0];
    r.solid_max_acceleration = diagnostics[1];
    r.solid_internal_force_residual = diagnostics[2];
    double det_min = 0.0;
    if (int st = quorrel_get_solid_reference_quality(&r.solid_reference_neighbor_min, &r.solid_correction_status,
                                                     &det_min, 1))
        return st;
    r.solid_correction_det_min = det_min;
    return 0;
}

// The coupling diagnostics: 27 values and 12 counts, each line from its slot.
int gather_coupling(Report& r) {
    double values[27] = {};
    int counts[12] = {};
    if (int st = quorrel_coupling_get_diagnostics(values, 27, counts, 12)) return st;
    r.coupling_force_x = values[0];
    r.coupling_force_y = values[1];
    r.coupling_force_z = values[2];
    r.coupling_impulse_x = values[6];
    r.coupling_impulse_y = values[7];
    r.coupling_impulse_z = values[8];
    r.coupling_work = values[15];
    r.coupling_energy_exchange = values[17];
    r.coupling_force_balance_error = values[22];
    r.coupling_moment_balance_error = values[23];
    r.coupling_max_pressure = values[24];
    r.coupling_max_traction = values[25];
    r.coupling_max_penetration = values[26];
    r.coupling_nonfinite_imports = counts[2];
    r.coupling_stale_loads = counts[0];
    r.coupling_repeated_imports = counts[5];
    r.coupling_invalid_weights = counts[7];
    r.coupling_active_contacts = counts[8];
    r.coupling_skipped_contacts = counts[9];
    r.coupling_nonfinite_contact_imports = counts[10];
    return 0;
}

// Gathers everything the report shows; stops at the first failing call.
int gather(Report& r, bool run, const char* output) {
    if (int st = quorrel_get_particle_count(&r.particles)) return st;
    if (int st = quorrel_get_current_time(&r.time, &r.step)) return st;
    if (int st = quorrel_get_input_warning_count(&r.warnings)) return st;
    if (run && output)
        if (int st = quorrel_write_output(r.step, r.time)) return st;
    if (int st = quorrel_count_phase_particles(r.particles, r)) return st;
    // The momentum and density range are fetched with the summary and not shown.
    double water_momentum[3] = {}, water_min_density = 0.0, water_max_density = 0.0;
    if (int st = quorrel_get_water_summary(&r.water_mass, water_momentum, &r.water_max_pressure,
                                           &water_min_density, &water_max_density))
        return st;
    if (int st = quorrel_estimate_stable_dt(&r.dtcrit)) return st;
    if (int st = gather_gas(r)) return st;
    if (int st = gather_explosive(r)) return st;
    if (int st = gather_solid(r)) return st;
    if (int st = quorrel_coupling_get_region_count(&r.coupling_regions)) return st;
    return gather_coupling(r);
}

int console_run(const char* deck, bool run, bool check, const char* output) {
    if (quorrel_initialize() != 0) {
        quorrel_print_error();
        return exit_failed;
    }
    Report r;
    int st = quorrel_get_version(&r.major, &r.minor, &r.patch);
    if (st == 0 && output) st = quorrel_set_output_directory(output);
    if (st == 0) st = quorrel_read_inp(deck);
    if (st == 0) st = quorrel_build_model();
    if (st == 0 && run) st = quorrel_run_explicit();
    if (st == 0) st = gather(r, run, output);
    if (st == 0) st = print_report(r, deck, run ? "run" : (check ? "check" : "inspect"));
    if (st != 0) {
        quorrel_print_error();
        (void)quorrel_finalize();
        return exit_failed;
    }
    if (quorrel_finalize() != 0) {
        quorrel_print_error();
        return exit_failed;
    }
    return exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        int major = 0, minor = 0, patch = 0;
        if (quorrel_get_version(&major, &minor, &patch) != 0) {
            quorrel_print_error();
            return exit_failed;
        }
        std::printf("version: %d.%d.%d\n", major, minor, patch);
        return exit_ok;
    }
    // Capabilities first: a command line with both options is a capabilities misuse.
    if (quorrel::quorrel_worker_capabilities_requested(argc, argv)) return quorrel::quorrel_worker_capabilities_main(argc, argv);
    if (quorrel::quorrel_worker_args_requested(argc, argv)) return quorrel::quorrel_worker_main(argc, argv);
    if (argc < 2) {
        quorrel_print_usage();
        return exit_failed;
    }
    const char* deck = argv[1];
    const char* output = nullptr;
    bool run = false;
    bool check = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--run") == 0) {
            run = true;
        } else if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (std::strcmp(argv[i], "--output") == 0 && i + 1 < argc) {
            output = argv[++i];
        } else {
            quorrel_print_usage();
            return exit_failed;
        }
    }
    if (run && check) {
        quorrel_print_usage();
        return exit_failed;
    }
    return console_run(deck, run, check, output);
}
