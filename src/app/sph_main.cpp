// The console program: reads and builds a deck, optionally runs it, prints a report of
// key: value lines. It reaches the model only through the C interface.
#include <cstdio>
#include <cstring>
#include <new>

#include "quorrel.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
// The coupling worker is not part of this build; a host sees it as a worker that could
// not start.
constexpr int exit_no_worker = 2;
constexpr int no_worker_code = 6;

void quorrel_worker_print_usage() {
    std::printf(
        "usage: quorrel --zenvik-worker --solver-id SPH --case model.inp --ipc-name name [--command-block name] "
        "[--data-prefix prefix] [--log path] [--timeout-ms ms] [--worker-id id]\n");
    std::printf("usage: quorrel --zenvik-capabilities\n");
}

void quorrel_print_usage() {
    std::printf("usage: quorrel [--version] model.inp [--check|--run] [--output path]\n");
    quorrel_worker_print_usage();
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

int worker_unavailable() {
    print_error_lines(no_worker_code, "this build has no coupling worker");
    return exit_no_worker;
}

int quorrel_capabilities_entry(int argc) {
    if (argc != 2) {
        print_error_lines(2, "--zenvik-capabilities must be used alone");
        quorrel_print_usage();
        return exit_failed;
    }
    return worker_unavailable();
}

int quorrel_count_phase_particles(int count, int phase_value, int* phase_particles) {
    if (!phase_particles) return -1;
    *phase_particles = 0;
    if (count <= 0) return 0;
    const std::size_t n = static_cast<std::size_t>(count);
    int* ids = new (std::nothrow) int[n]();
    int* phases = new (std::nothrow) int[n]();
    int* statuses = new (std::nothrow) int[n]();
    int* materials = new (std::nothrow) int[n]();
    int* sections = new (std::nothrow) int[n]();
    double* x = new (std::nothrow) double[3 * n]();
    double* v = new (std::nothrow) double[3 * n]();
    double* a = new (std::nothrow) double[3 * n]();
    double* rho = new (std::nothrow) double[n]();
    double* pressure = new (std::nothrow) double[n]();
    double* energy = new (std::nothrow) double[n]();
    double* temperature = new (std::nothrow) double[n]();
    double* h = new (std::nothrow) double[n]();
    int status = -1;
    if (ids && phases && statuses && materials && sections && x && v && a && rho && pressure && energy &&
        temperature && h) {
        int returned = 0;
        status = quorrel_get_particle_state(count, ids, phases, statuses, materials, sections, x, v, a, rho,
                                            pressure, energy, temperature, h, &returned);
        if (status == 0) {
            const int limit = returned < count ? returned : count;
            for (int i = 0; i < limit; ++i)
                if (phases[i] == phase_value) ++*phase_particles;
        }
    }
    delete[] ids;
    delete[] phases;
    delete[] statuses;
    delete[] materials;
    delete[] sections;
    delete[] x;
    delete[] v;
    delete[] a;
    delete[] rho;
    delete[] pressure;
    delete[] energy;
    delete[] temperature;
    delete[] h;
    return status;
}

void line_i(const char* key, int value) { std::printf("%s: %d\n", key, value); }
void line_r(const char* key, double value) { std::printf("%s: %.16e\n", key, value); }
void line_s(const char* key, const char* value) { std::printf("%s: %s\n", key, value); }

// Values gathered for the report. Phases whose queries are not in this build keep
// their empty-model values (zero).
struct Report {
    int major = 0, minor = 0, patch = 0;
    int particles = 0, warnings = 0, step = 0;
    double time = 0.0;
    int water_particles = 0, gas_particles = 0, explosive_phase_particles = 0;
    double water_mass = 0.0, water_momentum[3] = {}, water_max_pressure = 0.0;
    double water_min_density = 0.0, water_max_density = 0.0, dtcrit = 0.0;
    double gas_volume = 0.0, gas_center[3] = {}, gas_mean_pressure = 0.0, gas_max_pressure = 0.0;
    double gas_mass = 0.0, gas_momentum[3] = {}, gas_density_range[2] = {};
    double gas_equivalent_radius = 0.0, gas_radius_rate = 0.0, gas_dt_limits[3] = {}, gas_dtcrit = 0.0;
    double gas_source_mass = 0.0, gas_source_energy = 0.0, gas_source_momentum[3] = {};
    int explosive_particles = 0, explosive_reacted = 0;
    double explosive_lambda[3] = {}, explosive_released[5] = {}, explosive_detonation[2] = {};
    double explosive_mass_values[4] = {}, explosive_energy_values[2] = {}, explosive_momentum_values[3] = {};
    int solid_active = 0, solid_failed = 0;
    double solid_values[16] = {}, solid_diagnostics[3] = {};
    int solid_reference_neighbor_min = 0, solid_correction_status = 0;
    double solid_correction_det_min = 0.0;
    int coupling_regions = 0;
    double coupling_values[27] = {};
    int coupling_counts[12] = {};
};

int print_regions(const Report& r) {
    char key[64];
    for (int region = 1; region <= r.coupling_regions; ++region) {
        char name[128];
        int type = 0, export_mode = 0, import_mode = 0, enabled = 0, particles = 0, facets = 0;
        int load_mode = 0, distribution_mode = 0, contact_state_mode = 0;
        if (int st = quorrel_coupling_get_region_info(region, name, static_cast<int>(sizeof name), &type,
                                                      &export_mode, &import_mode, &enabled, &particles, &facets))
            return st;
        if (int st = quorrel_coupling_get_region_modes(region, &load_mode, &distribution_mode, &contact_state_mode))
            return st;
        std::snprintf(key, sizeof key, "coupling_region_%d_name", region);
        line_s(key, name);
        const struct {
            const char* suffix;
            int value;
        } fields[] = {{"type", type},
                      {"export_mode", export_mode},
                      {"import_mode", import_mode},
                      {"load_mode", load_mode},
                      {"distribution_mode", distribution_mode},
                      {"contact_state_mode", contact_state_mode},
                      {"enabled", enabled},
                      {"particles", particles},
                      {"facets", facets}};
        for (const auto& f : fields) {
            std::snprintf(key, sizeof key, "coupling_region_%d_%s", region, f.suffix);
            line_i(key, f.value);
        }
    }
    return 0;
}

int print_report(const Report& r, const char* deck, const char* mode) {
    std::printf("version: %d.%d.%d\n", r.major, r.minor, r.patch);
    line_s("input", deck);
    line_s("mode", mode);
    line_i("particles", r.particles);
    line_i("warnings", r.warnings);
    line_r("time", r.time);
    line_i("step", r.step);
    line_i("water_particles", r.water_particles);
    line_r("water_mass", r.water_mass);
    line_r("max_pressure", r.water_max_pressure);
    line_r("dtcrit", r.dtcrit);
    line_i("gas_particles", r.gas_particles);
    line_r("gas_volume", r.gas_volume);
    line_r("gas_center_x", r.gas_center[0]);
    line_r("gas_center_y", r.gas_center[1]);
    line_r("gas_center_z", r.gas_center[2]);
    line_r("gas_mean_pressure", r.gas_mean_pressure);
    line_r("gas_max_pressure", r.gas_max_pressure);
    line_r("gas_mass", r.gas_mass);
    line_r("gas_momentum_x", r.gas_momentum[0]);
    line_r("gas_momentum_y", r.gas_momentum[1]);
    line_r("gas_momentum_z", r.gas_momentum[2]);
    line_r("gas_min_density", r.gas_density_range[0]);
    line_r("gas_max_density", r.gas_density_range[1]);
    line_r("gas_equivalent_radius", r.gas_equivalent_radius);
    line_r("gas_radius_rate", r.gas_radius_rate);
    line_r("gas_dt_cfl", r.gas_dt_limits[0]);
    line_r("gas_dt_accel", r.gas_dt_limits[1]);
    line_r("gas_dtcrit", r.gas_dtcrit);
    line_r("gas_source_mass", r.gas_source_mass);
    line_r("gas_source_energy", r.gas_source_energy);
    line_r("gas_source_momentum_x", r.gas_source_momentum[0]);
    line_r("gas_source_momentum_y", r.gas_source_momentum[1]);
    line_r("gas_source_momentum_z", r.gas_source_momentum[2]);
    line_i("explosive_phase_particles", r.explosive_phase_particles);
    line_i("explosive_particles", r.explosive_particles);
    line_i("explosive_reacted_particles", r.explosive_reacted);
    line_r("explosive_lambda_min", r.explosive_lambda[0]);
    line_r("explosive_lambda_max", r.explosive_lambda[1]);
    line_r("explosive_lambda_mean", r.explosive_lambda[2]);
    line_r("explosive_released_mass", r.explosive_released[0]);
    line_r("explosive_released_energy", r.explosive_released[1]);
    line_r("explosive_released_momentum_x", r.explosive_released[2]);
    line_r("explosive_released_momentum_y", r.explosive_released[3]);
    line_r("explosive_released_momentum_z", r.explosive_released[4]);
    line_r("explosive_detonation_time_min", r.explosive_detonation[0]);
    line_r("explosive_detonation_time_max", r.explosive_detonation[1]);
    line_r("explosive_initial_mass", r.explosive_mass_values[0]);
    line_r("explosive_remaining_mass", r.explosive_mass_values[2]);
    line_r("explosive_release_mass_error", r.explosive_mass_values[3]);
    line_r("explosive_release_energy_error", r.explosive_energy_values[1]);
    line_r("explosive_release_momentum_x", r.explosive_momentum_values[0]);
    line_r("explosive_release_momentum_y", r.explosive_momentum_values[1]);
    line_r("explosive_release_momentum_z", r.explosive_momentum_values[2]);
    line_i("solid_particles", r.solid_active);
    line_i("solid_failed_particles", r.solid_failed);
    static const char* const solid_keys[13] = {
        "solid_mass",           "solid_momentum_x",         "solid_momentum_y",         "solid_momentum_z",
        "solid_kinetic_energy", "solid_internal_energy",    "solid_max_von_mises",      "solid_plastic_strain_min",
        "solid_plastic_strain_max", "solid_damage_min",     "solid_damage_max",         "solid_softening_min",
        "solid_softening_max"};
    for (int i = 0; i < 13; ++i) line_r(solid_keys[i], r.solid_values[i]);
    line_r("solid_max_strain_rate", r.solid_diagnostics[0]);
    line_r("solid_max_acceleration", r.solid_diagnostics[1]);
    line_r("solid_internal_force_residual", r.solid_diagnostics[2]);
    line_i("solid_reference_neighbor_min", r.solid_reference_neighbor_min);
    line_r("solid_correction_det_min", r.solid_correction_det_min);
    line_i("solid_correction_status", r.solid_correction_status);
    line_r("solid_dt_cfl", r.solid_values[13]);
    line_r("solid_dt_accel", r.solid_values[14]);
    line_r("solid_dtcrit", r.solid_values[15]);
    line_i("coupling_regions", r.coupling_regions);
    if (int st = print_regions(r)) return st;
    const double* cv = r.coupling_values;
    line_r("coupling_force_x", cv[0]);
    line_r("coupling_force_y", cv[1]);
    line_r("coupling_force_z", cv[2]);
    line_r("coupling_impulse_x", cv[6]);
    line_r("coupling_impulse_y", cv[7]);
    line_r("coupling_impulse_z", cv[8]);
    line_r("coupling_work", cv[15]);
    line_r("coupling_energy_exchange", cv[17]);
    line_r("coupling_force_balance_error", cv[22]);
    line_r("coupling_moment_balance_error", cv[23]);
    line_r("coupling_max_pressure", cv[24]);
    line_r("coupling_max_traction", cv[25]);
    line_r("coupling_max_penetration", cv[26]);
    const int* cc = r.coupling_counts;
    line_i("coupling_nonfinite_imports", cc[2]);
    line_i("coupling_stale_loads", cc[0]);
    line_i("coupling_repeated_imports", cc[5]);
    line_i("coupling_invalid_weights", cc[7]);
    line_i("coupling_active_contacts", cc[8]);
    line_i("coupling_skipped_contacts", cc[9]);
    line_i("coupling_nonfinite_contact_imports", cc[10]);
    std::printf("status: ok\n");
    return 0;
}

// Gathers everything the report shows; stops at the first failing call.
int gather(Report& r, bool run, const char* output) {
    if (int st = quorrel_get_particle_count(&r.particles)) return st;
    if (int st = quorrel_get_current_time(&r.time, &r.step)) return st;
    if (int st = quorrel_get_input_warning_count(&r.warnings)) return st;
    if (run && output)
        if (int st = quorrel_write_output(r.step, r.time)) return st;
    if (int st = quorrel_count_phase_particles(r.particles, 1, &r.water_particles)) return st;
    if (int st = quorrel_count_phase_particles(r.particles, 2, &r.gas_particles)) return st;
    if (int st = quorrel_count_phase_particles(r.particles, 3, &r.explosive_phase_particles)) return st;
    if (int st = quorrel_get_water_summary(&r.water_mass, r.water_momentum, &r.water_max_pressure,
                                           &r.water_min_density, &r.water_max_density))
        return st;
    if (int st = quorrel_estimate_stable_dt(&r.dtcrit)) return st;
    if (int st = quorrel_coupling_get_region_count(&r.coupling_regions)) return st;
    return 0;
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
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--zenvik-capabilities") == 0) return quorrel_capabilities_entry(argc);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--zenvik-worker") == 0) return worker_unavailable();
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
