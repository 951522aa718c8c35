#include "output/sph_restart.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "blast/sph_blast.h"
#include "blast/sph_blast_load.h"
#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_file.h"
#include "core/sph_restart_io.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "gas/sph_gas.h"
#include "gas/sph_gas_source.h"
#include "output/sph_restart_sections.h"
#include "particle/sph_neighbor.h"
#include "shell/sph_shell.h"
#include "solid/sph_solid_dynamics.h"
#include "water/sph_water.h"

namespace quorrel {

namespace {

constexpr std::string_view restart_magic = "QUORREL_RESTART";
constexpr std::array<std::string_view, 9> tags = {"STATE_0_2", "STATE_0_3",   "STATE_0_3_1",
                                                   "STATE_0_4", "STATE_0_4_1", "STATE_0_5",
                                                   "STATE_0_5_1", "STATE_0_8", "STATE_0_8_1"};

// ---- Main records ----

void write_main_records(SphRestartWriter& out) {
    const SphControl& c = sph_control;
    const SphDatabase& d = sph_database;
    const SphWater& w = sph_water;
    const SphGas& g = sph_gas;
    const SphNeighbor& nb = sph_neighbor;
    out.put_line(std::string(restart_magic) + " 0 8 3 " + std::string(tags.back()));
    out.put_real(c.current_time);
    out.put_int(c.current_step);
    out.put_int(d.npart);
    out.end_record();
    out.put_int(c.output_interval);
    out.put_bool(c.output_enabled);
    out.put_real(c.safety_factor);
    out.end_record();
    out.put_line(sph_trim_right(c.output_directory));
    put_reals(out, {w.water_rho0, w.water_c0, w.water_gamma, w.water_p0, w.water_b});
    out.end_record();
    put_reals(out, {w.water_visc_alpha, w.water_visc_beta, w.water_visc_eta2});
    out.end_record();
    put_all(out, w.water_body_force);
    out.end_record();
    out.put_real(nb.neighbor_cell_size);
    put_all(out, nb.neighbor_cell_dims);
    out.put_int(nb.neighbor_num_cells);
    out.end_record();
    out.put_int(d.water_particle_count);
    out.put_real(d.water_mass);
    out.end_record();
    put_all(out, d.water_momentum);
    put_reals(out, {d.water_max_pressure, d.water_min_density, d.water_max_density, d.water_pressure_impulse});
    out.end_record();
    put_reals(out, {d.water_dt_cfl, d.water_dt_accel, d.water_dt_viscous});
    out.end_record();
    out.put_int(g.gas_eos_type);
    put_reals(out, {g.gas_rho0, g.gas_gamma, g.gas_e0, g.gas_p0, g.gas_jwl_a, g.gas_jwl_b, g.gas_jwl_r1, g.gas_jwl_r2,
                    g.gas_jwl_omega, g.gas_pinf});
    out.end_record();
    put_reals(out, {g.gas_default_h, g.gas_default_mass, g.gas_default_volume});
    out.end_record();
    put_all(out, g.gas_body_force);
    out.end_record();
    out.put_int(d.gas_particle_count);
    put_reals(out, {d.gas_mass, d.gas_volume});
    out.end_record();
    put_all(out, d.gas_momentum);
    put_all(out, d.gas_center);
    put_reals(out, {d.gas_mean_pressure, d.gas_max_pressure, d.gas_min_density, d.gas_max_density});
    out.end_record();
    put_reals(out, {d.gas_equivalent_radius, d.gas_previous_equivalent_radius, d.gas_radius_rate});
    put_all(out, d.gas_previous_center);
    out.put_real(d.gas_center_shift);
    out.end_record();
    put_reals(out, {d.gas_dt_cfl, d.gas_dt_accel, d.gas_dtcrit});
    out.end_record();
    out.put_int(g.gas_material_count);
    out.end_record();
    for (int32_t m = 0; m < g.gas_material_count; ++m) {
        const SphGasMaterial& s = g.gas_materials[static_cast<std::size_t>(m)];
        out.put_int(s.gas_material_ids);
        out.put_text(s.gas_material_names);
        out.put_bool(s.gas_material_eos_defined);
        out.put_int(s.gas_material_eos_type);
        out.end_record();
        put_reals(out, {s.gas_material_density_default, s.gas_material_energy_default,
                        s.gas_material_temperature_default});
        out.end_record();
        put_reals(out, {s.gas_material_rho0, s.gas_material_gamma, s.gas_material_p0, s.gas_material_pinf});
        out.end_record();
        put_reals(out, {s.gas_material_jwl_a, s.gas_material_jwl_b, s.gas_material_jwl_r1, s.gas_material_jwl_r2,
                        s.gas_material_jwl_omega});
        out.end_record();
        put_reals(out, {s.gas_material_default_h, s.gas_material_default_mass, s.gas_material_default_volume});
        out.end_record();
    }
    for (std::size_t i = 0; i < npart_of(); ++i) {
        for (int32_t v : {d.particle_id_ext[i], d.particle_phase[i], d.particle_status[i], d.material_id[i],
                          d.section_id[i]})
            out.put_int(v);
        out.end_record();
        for (const std::vector<double>* v : {&d.x0, &d.x, &d.v, &d.a, &d.vhalf}) put_reals(out, &(*v)[3 * i], 3);
        out.end_record();
        put_reals(out, {d.mass[i], d.rho[i], d.volume[i], d.pressure[i], d.internal_energy[i], d.temperature[i], d.h[i]});
        out.end_record();
    }
    const SphGasSource& src = sph_gas_source;
    for (std::size_t i = 0; i < npart_of(); ++i) {
        out.put_real(src.gas_mass_source[i]);
        out.put_real(src.gas_energy_source[i]);
        put_reals(out, &src.gas_momentum_source[3 * i], 3);
        out.end_record();
    }
}

bool read_gas_records(SphRestartReader& in, SphRestartRecord& r, std::string_view& message) {
    SphGas& g = sph_gas;
    SphDatabase& d = sph_database;
    message = "invalid restart Gas EOS state";
    if (!in.read_record(r) || !r.get(0, g.gas_eos_type)) return false;
    {
        double* t[10] = {&g.gas_rho0,  &g.gas_gamma, &g.gas_e0,    &g.gas_p0,      &g.gas_jwl_a,
                         &g.gas_jwl_b, &g.gas_jwl_r1, &g.gas_jwl_r2, &g.gas_jwl_omega, &g.gas_pinf};
        for (std::size_t k = 0; k < 10; ++k)
            if (!r.get(1 + k, *t[k])) return false;
    }
    message = "invalid restart Gas particle control state";
    if (!read_reals(in, r, {&g.gas_default_h, &g.gas_default_mass, &g.gas_default_volume})) return false;
    message = "invalid restart Gas body force state";
    if (!read_real_array(in, r, g.gas_body_force.data(), 3)) return false;
    message = "invalid restart Gas summary state";
    if (!in.read_record(r) || !r.get(0, d.gas_particle_count) || !r.get(1, d.gas_mass) || !r.get(2, d.gas_volume))
        return false;
    message = "invalid restart Gas diagnostic state";
    if (!in.read_record(r) || !r.get_all(0, d.gas_momentum.data(), 3) || !r.get_all(3, d.gas_center.data(), 3) ||
        !r.get(6, d.gas_mean_pressure) || !r.get(7, d.gas_max_pressure) || !r.get(8, d.gas_min_density) ||
        !r.get(9, d.gas_max_density))
        return false;
    message = "invalid restart Gas bubble state";
    if (!in.read_record(r) || !r.get(0, d.gas_equivalent_radius) || !r.get(1, d.gas_previous_equivalent_radius) ||
        !r.get(2, d.gas_radius_rate) || !r.get_all(3, d.gas_previous_center.data(), 3) || !r.get(6, d.gas_center_shift))
        return false;
    message = "invalid restart Gas dt state";
    if (!read_reals(in, r, {&d.gas_dt_cfl, &d.gas_dt_accel, &d.gas_dtcrit})) return false;
    g.gas_bubble_history_valid = d.gas_particle_count > 0;
    return true;
}

// The particle records as they arrive, in blocks of a fixed number of particles with each
// particle's integers and reals side by side. The store is made only once all of them are
// in, so that the memory of a read follows the bytes it has read, not the count a file
// declares.
class StagedParticles {
public:
    // Per particle: the integer record (identity, phase, status, material, section), then
    // the reals of the vector record (x0, x, v, a, vhalf) and of the scalar record (mass,
    // density, volume, pressure, internal energy, temperature, smoothing length).
    static constexpr std::size_t integers = 5, vector_reals = 15, reals = vector_reals + 7;

    // Blocks of at most 8192 particles, fewer for a smaller declared count.
    explicit StagedParticles(std::size_t n) : block_(std::clamp<std::size_t>(n, 1, 8192)) {}

    int32_t* integers_of(std::size_t i) { return &integer_blocks_[room_for(i)][integers * (i % block_)]; }
    double* reals_of(std::size_t i) { return &real_blocks_[room_for(i)][reals * (i % block_)]; }

    // Copies the `n` staged particles into the store's arrays.
    void copy_to(SphDatabase& d, std::size_t n) const {
        static constexpr std::array<std::vector<int32_t> SphDatabase::*, integers> integer_arrays = {
            &SphDatabase::particle_id_ext, &SphDatabase::particle_phase, &SphDatabase::particle_status,
            &SphDatabase::material_id, &SphDatabase::section_id};
        static constexpr std::array<std::vector<double> SphDatabase::*, reals - vector_reals> scalar_arrays = {
            &SphDatabase::mass,     &SphDatabase::rho,         &SphDatabase::volume, &SphDatabase::pressure,
            &SphDatabase::internal_energy, &SphDatabase::temperature, &SphDatabase::h};
        static constexpr std::array<std::vector<double> SphDatabase::*, vector_reals / 3> vector_arrays = {
            &SphDatabase::x0, &SphDatabase::x, &SphDatabase::v, &SphDatabase::a, &SphDatabase::vhalf};
        for (std::size_t k = 0; k < integer_blocks_.size(); ++k) {
            const std::size_t first = k * block_, count = std::min(block_, n - first);
            const int32_t* from = integer_blocks_[k].get();
            for (std::size_t f = 0; f < integers; ++f) gather(from + f, integers, count, (d.*integer_arrays[f]).data() + first);
            const double* real = real_blocks_[k].get();
            for (std::size_t f = 0; f < vector_arrays.size(); ++f)
                for (std::size_t c = 0; c < 3; ++c)
                    gather(real + 3 * f + c, reals, count, (d.*vector_arrays[f]).data() + 3 * first + c, 3);
            for (std::size_t f = 0; f < scalar_arrays.size(); ++f)
                gather(real + vector_reals + f, reals, count, (d.*scalar_arrays[f]).data() + first);
        }
    }

private:
    // Every `stride`-th value from `from`, `count` of them, to every `step`-th place from `to`.
    template <typename T>
    static void gather(const T* from, std::size_t stride, std::size_t count, T* to, std::size_t step = 1) {
        for (std::size_t j = 0; j < count; ++j) to[step * j] = from[stride * j];
    }
    // The block of particle `i`, made when its first particle arrives.
    std::size_t room_for(std::size_t i) {
        const std::size_t k = i / block_;
        if (k == integer_blocks_.size()) {
            integer_blocks_.push_back(std::make_unique_for_overwrite<int32_t[]>(integers * block_));
            real_blocks_.push_back(std::make_unique_for_overwrite<double[]>(reals * block_));
        }
        return k;
    }
    std::size_t block_;
    std::vector<std::unique_ptr<int32_t[]>> integer_blocks_;
    std::vector<std::unique_ptr<double[]>> real_blocks_;
};

bool read_particles(SphRestartReader& in, SphRestartRecord& r, std::size_t n, StagedParticles& p) {
    constexpr std::size_t vector_reals = StagedParticles::vector_reals;
    for (std::size_t i = 0; i < n; ++i) {
        int32_t* integers = p.integers_of(i);
        double* reals = p.reals_of(i);
        if (!in.read_record(r) || !r.get_all(0, integers, StagedParticles::integers) || !in.read_record(r) ||
            !r.get_all(0, reals, vector_reals) || !in.read_record(r) ||
            !r.get_all(0, reals + vector_reals, StagedParticles::reals - vector_reals))
            return false;
    }
    return true;
}

// Makes the store for the staged particles and copies them in. The gas diagnostics read
// before the particles outlive the store's fresh start.
int commit_particles(int32_t n, const StagedParticles& p) {
    SphDatabase& d = sph_database;
    const SphGasDiagnostics gas = d;
    if (int st = sph_db_allocate(n)) return st;
    static_cast<SphGasDiagnostics&>(d) = gas;
    p.copy_to(d, npart_of());
    d.node_index_stale = true;
    return sph_success;
}

// The constant accelerations a build leaves: the water body force on active water, the gas
// body force on active gas (converted products included, as the burn sets them).
void rebuild_body_accelerations() {
    SphDatabase& d = sph_database;
    std::fill(d.acc_body.begin(), d.acc_body.end(), 0.0);
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (d.particle_status[i] != sph_status_active) continue;
        const std::array<double, 3>* force = nullptr;
        if (d.particle_phase[i] == sph_phase_water) force = &sph_water.water_body_force;
        if (d.particle_phase[i] == sph_phase_gas) force = &sph_gas.gas_body_force;
        if (force)
            for (std::size_t k = 0; k < 3; ++k) d.acc_body[3 * i + k] = (*force)[k];
    }
}

}  // namespace

bool sph_restart_version_of(std::string_view tag, SphRestartVersion& version) {
    tag = sph_trim_right(tag);
    for (std::size_t k = 0; k < tags.size(); ++k)
        if (tag == tags[k]) {
            version = static_cast<SphRestartVersion>(k);
            return true;
        }
    return false;
}

// ---- Gas table and sources ----

bool sph_restart_read_gas_material_table(SphRestartReader& in) {
    SphGas& g = sph_gas;
    SphRestartRecord r;
    sph_gas_clear_material_table();
    int32_t count = 0;
    if (!in.read_record(r) || !r.get(0, count) || count < 0 || count > sph_gas_max_materials) return false;
    g.gas_material_count = count;
    for (int32_t m = 0; m < count; ++m) {
        SphGasMaterial& s = g.gas_materials[static_cast<std::size_t>(m)];
        if (!in.read_record(r) || !r.get(0, s.gas_material_ids) || !r.get(1, s.gas_material_names) ||
            !r.get(2, s.gas_material_eos_defined) || !r.get(3, s.gas_material_eos_type))
            return false;
        s.gas_material_names = sph_fixed(s.gas_material_names, sph_name_len);
        if (!read_reals(in, r, {&s.gas_material_density_default, &s.gas_material_energy_default,
                                &s.gas_material_temperature_default}) ||
            !read_reals(in, r, {&s.gas_material_rho0, &s.gas_material_gamma, &s.gas_material_p0, &s.gas_material_pinf}) ||
            !read_reals(in, r, {&s.gas_material_jwl_a, &s.gas_material_jwl_b, &s.gas_material_jwl_r1,
                                &s.gas_material_jwl_r2, &s.gas_material_jwl_omega}) ||
            !read_reals(in, r, {&s.gas_material_default_h, &s.gas_material_default_mass,
                                &s.gas_material_default_volume}))
            return false;
    }
    return true;
}

bool sph_restart_read_gas_sources(SphRestartReader& in) {
    SphGasSource& src = sph_gas_source;
    SphRestartRecord r;
    for (std::size_t i = 0; i < npart_of(); ++i)
        if (!in.read_record(r) || !r.get(0, src.gas_mass_source[i]) || !r.get(1, src.gas_energy_source[i]) ||
            !r.get_all(2, &src.gas_momentum_source[3 * i], 3))
            return false;
    return true;
}

// ---- The file ----

int sph_restart_write(std::string_view filename) {
    if (int st = sph_gas_allocate_sources()) return st;
    SphRestartWriter out;
    if (!out.open(std::string(sph_trim_right(filename))))
        return sph_fail(sph_error_io, "failed to open restart file for writing");
    write_main_records(out);
    for (const SphRestartSection& section : sph_restart_sections())
        if (int st = section.write(out)) return st;
    if (!out.commit()) return sph_fail(sph_error_io, "failed to write restart file");
    return sph_success;
}

int sph_restart_read(std::string_view filename, bool& model_replaced) {
    model_replaced = false;
    SphRestartReader in;
    SphFileOutcome opened = SphFileOutcome::ok;
    if (!in.open(std::string(sph_trim_right(filename)), &opened))
        return sph_fail(sph_error_io, opened == SphFileOutcome::not_regular ? "restart file is not a regular file"
                                                                           : "failed to open restart file for reading");
    SphRestartRecord r;
    std::string magic, tag;
    int32_t version_numbers[3] = {};
    if (!in.read_record(r) || !r.get(0, magic) || !r.get_all(1, version_numbers, 3) || !r.get(4, tag) ||
        magic.size() > 64 || sph_trim_right(magic) != restart_magic)
        return sph_restart_input_failure("invalid restart header");
    if (tag.size() > 32) tag.resize(32);
    model_replaced = true;

    SphControl& c = sph_control;
    int32_t n = 0;
    {
        double time = 0.0;
        int32_t step = 0;
        if (!in.read_record(r) || !r.get(0, time) || !r.get(1, step) || !r.get(2, n) || n < 0)
            return sph_restart_input_failure("invalid restart state");
        // Every particle takes three lines of at least two values each.
        if (in.file_size() > 0 && static_cast<uint64_t>(n) > in.file_size() / 6)
            return sph_restart_input_failure("invalid restart state");
        c.current_time = time;
        c.current_step = step;
    }
    if (!in.read_record(r) || !r.get(0, c.output_interval) || !r.get(1, c.output_enabled) || !r.get(2, c.safety_factor))
        return sph_restart_input_failure("invalid restart output interval");
    std::string_view line;
    if (!in.read_line(line)) return sph_restart_input_failure("invalid restart output directory");
    c.output_directory = std::string(sph_trim_right(line));
    SphWater& w = sph_water;
    if (!read_reals(in, r, {&w.water_rho0, &w.water_c0, &w.water_gamma, &w.water_p0, &w.water_b}))
        return sph_restart_input_failure("invalid restart Water EOS state");
    if (!read_reals(in, r, {&w.water_visc_alpha, &w.water_visc_beta, &w.water_visc_eta2}))
        return sph_restart_input_failure("invalid restart Water viscosity state");
    if (!read_real_array(in, r, w.water_body_force.data(), 3)) return sph_restart_input_failure("invalid restart body force state");
    SphNeighbor& nb = sph_neighbor;
    if (!in.read_record(r) || !r.get(0, nb.neighbor_cell_size) || !r.get_all(1, nb.neighbor_cell_dims.data(), 3) ||
        !r.get(4, nb.neighbor_num_cells))
        return sph_restart_input_failure("invalid restart neighbor state");
    {
        // Records 9 to 11 are replaced by the diagnostics of the restored particles.
        int32_t count = 0;
        double values[7] = {};
        if (!in.read_record(r) || !r.get(0, count) || !r.get(1, values[0]))
            return sph_restart_input_failure("invalid restart Water summary state");
        if (!read_real_array(in, r, values, 7)) return sph_restart_input_failure("invalid restart Water diagnostic state");
        if (!read_real_array(in, r, values, 3)) return sph_restart_input_failure("invalid restart Water dt state");
    }
    // The model before the read is gone; the store is made anew once the particles are in.
    sph_db_free();
    // What the file does not hold starts empty, as a deck read leaves it.
    sph_shell_reset_particle_state();
    sph_blast_reset();
    sph_blast_load_reset();

    SphRestartVersion version{};
    if (!sph_restart_version_of(tag, version)) return sph_restart_input_failure("unsupported restart state version");
    if (sph_restart_at_least(version, SphRestartVersion::v0_3)) {
        std::string_view message;
        if (!read_gas_records(in, r, message)) return sph_restart_input_failure(message);
    }
    if (sph_restart_at_least(version, SphRestartVersion::v0_3_1))
        if (!sph_restart_read_gas_material_table(in)) return sph_restart_input_failure("invalid restart Gas material table");
    {
        StagedParticles staged(static_cast<std::size_t>(n));
        if (!read_particles(in, r, static_cast<std::size_t>(n), staged))
            return sph_restart_input_failure("restart file ended unexpectedly");
        if (int st = commit_particles(n, staged)) return st;
    }
    rebuild_body_accelerations();
    if (sph_restart_at_least(version, SphRestartVersion::v0_3_1)) {
        if (int st = sph_gas_allocate_sources()) return st;
        if (!sph_restart_read_gas_sources(in)) return sph_restart_input_failure("invalid restart Gas source state");
    } else if (version == SphRestartVersion::v0_3) {
        if (int st = sph_gas_rebuild_legacy_restart_state()) return st;
    } else {
        if (int st = sph_gas_clear_sources()) return st;
    }
    for (const SphRestartSection& section : sph_restart_sections()) {
        if (!sph_restart_at_least(version, section.since)) {
            if (int st = section.clear()) return st;
            continue;
        }
        if (int st = section.read(in, version)) return st;
        section.seed(version);
    }
    if (int st = sph_neighbor_rebuild()) return st;
    if (int st = sph_water_update_diagnostics()) return st;
    // The refresh compares the restored bubble with the restored history, which is that same
    // bubble: the radius rate and centre shift of the file are the ones of this state.
    const double radius_rate = sph_database.gas_radius_rate, center_shift = sph_database.gas_center_shift;
    if (int st = sph_gas_update_diagnostics()) return st;
    if (sph_restart_at_least(version, SphRestartVersion::v0_3)) {
        sph_database.gas_radius_rate = radius_rate;
        sph_database.gas_center_shift = center_shift;
    }
    return sph_solid_update_diagnostics();
}

}  // namespace quorrel
