// The restart file: the newest layout written for a small model, self-written files read
// back to the same bytes (awkward texts, non-finite values, no particles), the older layouts
// read with their seeds, corrupted and overlong files failing with the record's message,
// where the write goes (a temporary file renamed over the target, through links, in place
// for devices, never to FIFOs or sockets), the kinds of file a read takes, the memory a read
// holds, what a read resets and rebuilds, and free fall across a restart.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "blast/sph_blast.h"
#include "blast/sph_blast_load.h"
#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_restart_io.h"
#include "core/sph_text.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "gas/sph_gas_source.h"
#include "interface/sph_api.h"
#include "interface/sph_api_state.h"
#include "output/sph_output_vtu.h"
#include "output/sph_restart.h"
#include "quorrel.h"
#include "quorrel_interface_test.h"
#include "shell/sph_shell_state.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_state.h"
#include "water/sph_water.h"

namespace {

namespace fs = std::filesystem;
using namespace quorrel;

std::string deck(const std::string& name) { return std::string(QUORREL_TEST_DECKS) + "/" + name; }
std::string old_file(const std::string& name) { return std::string(QUORREL_TEST_DATA) + "/output/restart/" + name; }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spill(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The lines of a file written by this system, without their CR LF.
std::vector<std::string> crlf_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string join_crlf(const std::vector<std::string>& lines, std::size_t count) {
    std::string text;
    for (std::size_t k = 0; k < count && k < lines.size(); ++k) text += lines[k] + "\r\n";
    return text;
}

std::vector<std::string> tokens(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string t;
    while (in >> t) out.push_back(t);
    return out;
}

std::string untokens(const std::vector<std::string>& t) {
    std::string line;
    for (std::size_t k = 0; k < t.size(); ++k) line += (k ? " " : "") + t[k];
    return line;
}

bool model_built() { return sph_api_state.sph_api_model_built; }

// The peak resident size of this process in KiB (VmHWM), or -1 when the system does not say.
long peak_resident_kib() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmHWM:") {
            long kib = -1;
            in >> kib;
            return kib;
        }
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return -1;
}

// The host's data for one step of a model with the coupling regions of the restart decks:
// pressures and contact states on SKIN (carrying host step s), forces on PUSH, a velocity
// target on the first particle of LEFT and a position target on PIN.
int region_of(const char* wanted) {
    int count = 0;
    if (quorrel_coupling_get_region_count(&count) != 0) return 0;
    for (int r = 1; r <= count; ++r) {
        char name[64];
        int type, export_mode, import_mode, enabled, particles, facets;
        if (quorrel_coupling_get_region_info(r, name, 64, &type, &export_mode, &import_mode, &enabled, &particles,
                                             &facets) == 0 &&
            std::string(name) == wanted)
            return r;
    }
    return 0;
}

void host_imports(int s) {
    if (const int skin = region_of("Skin")) {
        int ids[16], particles[16], materials[16], sections[16], n = 0;
        double vectors[9 * 16], areas[16];
        ASSERT_EQ(quorrel_coupling_export_facets(skin, 16, &n, ids, particles, materials, sections, vectors, areas), 0);
        std::vector<double> p(n), normals(3 * n), gaps(n), pen(n), cp(n);
        for (int j = 0; j < n; ++j) {
            p[j] = 0.5 * (j + 1) * s;
            normals[3 * j] = 0.25 * j;
            normals[3 * j + 1] = 0.0;
            normals[3 * j + 2] = 1.0;
            gaps[j] = 0.125 * s;
            pen[j] = 0.0625 * (j + 1);
            cp[j] = 2.0 * s;
        }
        ASSERT_EQ(quorrel_coupling_apply_facet_pressures(skin, n, ids, p.data(), 2, s), 0);
        ASSERT_EQ(quorrel_coupling_apply_contact_state(skin, n, ids, normals.data(), gaps.data(), pen.data(), cp.data(), s),
                  0);
    }
    if (const int push = region_of("Push")) {
        const int index[2] = {1, 2};
        const double forces[6] = {1.0, -0.5, 0.25 * s, -0.75, 0.5, 0.125};
        ASSERT_EQ(quorrel_coupling_apply_particle_forces(push, 2, index, forces), 0);
    }
    if (const int left = region_of("Left")) {
        const double target[3] = {-0.1, 0.0, 0.05};
        ASSERT_EQ(quorrel_coupling_apply_motion_boundary(left, 1, 1, 1, target), 0);
    }
    if (const int pin = region_of("Pin")) {
        const double target[3] = {21.25, 11.0, 0.125};
        ASSERT_EQ(quorrel_coupling_apply_motion_boundary(pin, 1, 2, 1, target), 0);
    }
}

class Restart : public test::ApiDeckTest {
protected:
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    void build(const std::string& deck_path) {
        sph_initialize();
        ASSERT_EQ(sph_read_inp(deck_path), 0) << sph_error_message();
        ASSERT_EQ(sph_build_model(), 0) << sph_error_message();
        // Step output off: the decks name output directories relative to where they run.
        ASSERT_EQ(sph_set_output_interval(1000000), 0);
    }

    // `steps` steps of the stable step, the host importing before each.
    void run(int steps, bool imports) {
        for (int s = 1; s <= steps; ++s) {
            if (imports) host_imports(s);
            double dt = 0.0;
            ASSERT_EQ(sph_estimate_stable_dt(dt), 0) << sph_error_message();
            ASSERT_EQ(sph_advance_explicit(dt), 0) << sph_error_message();
        }
    }

    void expect_failure(int status, int code, const std::string& message) {
        EXPECT_EQ(status, code);
        EXPECT_EQ(sph_error_code(), code);
        EXPECT_EQ(sph_error_message(), message);
    }
};

// ---- The newest layout ----

// Two water particles of out_fall.inp (nodes 7 and 11, mass 2, h 0.5, 10 apart, so no pair
// forces) after two steps of 2^-12 under g = 8: t = 2^-11, v = -8 t = -2^-8,
// z = 2 - 4 t^2 = 2 - 2^-20 = 1.99999904632568359375, which is 1.9999990463256836 to 17
// digits; the half-step velocity of the second step is v1 - 4 dt = -8 * 2^-12 - 4 * 2^-12
// = -3 * 2^-10. TOPREGION holds the second particle (node 11).
// Lines: records 1 to 18, the gas material count 0, 3 lines per particle and 1 gas source
// line per particle: 19 + 4 * 2 = 27; explosive: E1, E3, E5, E6 to E10 and a row per particle:
// 8 + 2 = 10; solid without materials or state: S1, S3 to S9, S10: 9; coupling: the mark, the
// count, the region's five names, modes and member line, K6 to K13 and a row per particle:
// 2 + 7 + 8 + 2 = 19. In all 65.
TEST_F(Restart, NewestLayoutOfTwoFallingParticles) {
    build(deck("out_fall.inp"));
    ASSERT_EQ(sph_advance_explicit(0.000244140625), 0);
    ASSERT_EQ(sph_advance_explicit(0.000244140625), 0);
    const std::string file = path("fall.rst");
    ASSERT_EQ(sph_write_restart(file), 0) << sph_error_message();
    const std::string text = slurp(file);
    const std::vector<std::string> lines = crlf_lines(text);
    ASSERT_EQ(lines.size(), 65u);
    // Every line ends in CR LF, and no line holds a bare line end.
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    for (const std::string& l : lines) EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos) << l;
    EXPECT_EQ(lines[0], "QUORREL_RESTART 0 8 3 STATE_0_8_1");
    EXPECT_EQ(lines[1], "4.8828125000000000e-04 2 2");
    EXPECT_EQ(lines[2], "1000000 T 1.0000000000000000e+00");
    EXPECT_EQ(lines[3], "fall");
    EXPECT_EQ(tokens(lines[4]).at(0), "1.0000000000000000e+03");  // rho0
    EXPECT_EQ(tokens(lines[4]).at(1), "1.0000000000000000e+01");  // c0
    EXPECT_EQ(tokens(lines[4]).at(2), "7.0000000000000000e+00");  // gamma
    // The double nearest 0.1 is 0.1000000000000000055511..., 17 digits 1.0000000000000001;
    // the one nearest 0.01 is 0.0100000000000000002081..., 17 digits 1.0000000000000000.
    EXPECT_EQ(lines[5], "1.0000000000000001e-01 0.0000000000000000e+00 1.0000000000000000e-02");
    EXPECT_EQ(lines[6], "0.0000000000000000e+00 0.0000000000000000e+00 -8.0000000000000000e+00");
    EXPECT_EQ(lines[18], "0");  // gas materials
    EXPECT_EQ(lines[19], "7 1 0 1 1");
    EXPECT_EQ(lines[20],
              "5.0000000000000000e-01 -1.2500000000000000e+00 2.0000000000000000e+00 "
              "5.0000000000000000e-01 -1.2500000000000000e+00 1.9999990463256836e+00 "
              "0.0000000000000000e+00 0.0000000000000000e+00 -3.9062500000000000e-03 "
              "0.0000000000000000e+00 0.0000000000000000e+00 -8.0000000000000000e+00 "
              "0.0000000000000000e+00 0.0000000000000000e+00 -2.9296875000000000e-03");
    const std::vector<std::string> c = tokens(lines[21]);
    ASSERT_EQ(c.size(), 7u);
    EXPECT_EQ(c[0], "2.0000000000000000e+00");  // mass
    EXPECT_EQ(c[1], "1.0000000000000000e+03");  // rho
    EXPECT_EQ(c[2], "2.0000000000000000e-03");  // volume
    EXPECT_EQ(c[6], "5.0000000000000000e-01");  // h
    EXPECT_EQ(lines[22], "11 1 0 1 1");
    EXPECT_EQ(lines[25], "0.0000000000000000e+00 0.0000000000000000e+00 0.0000000000000000e+00 "
                         "0.0000000000000000e+00 0.0000000000000000e+00");
    EXPECT_EQ(lines[27], "0");  // explosive materials
    EXPECT_EQ(lines[28], "0");  // ignitions
    EXPECT_EQ(lines[37], "F 0");  // solid table head
    EXPECT_EQ(lines[45], "F");    // no solid state
    EXPECT_EQ(lines[46], "QUORREL_COUPLING_STATE");
    EXPECT_EQ(lines[47], "1 0");
    EXPECT_EQ(lines[48], "TOPREGION");
    EXPECT_EQ(lines[49], "TOP");
    EXPECT_EQ(lines[50], "");
    EXPECT_EQ(lines[51], "");
    EXPECT_EQ(lines[52], "");
    // Contact region, particle export, force import, particle-force load, uniform, no contact
    // state, enabled, no filters, first region, one member.
    EXPECT_EQ(lines[53], "1 1 1 1 1 0 1 0 0 0 1 1");
    EXPECT_EQ(lines[54], "2");
    EXPECT_EQ(lines[57], "0 0 0 0");  // K8
    EXPECT_EQ(tokens(lines[58]).size(), 9u);
    EXPECT_EQ(lines[62], "2");  // K13
    EXPECT_EQ(tokens(lines[63]).size(), 18u);
    EXPECT_EQ(tokens(lines[64]).size(), 18u);
    EXPECT_FALSE(fs::exists(file + ".tmp"));
}

// No particles: records 20 and 21, the explosive rows, the solid state and the coupling rows
// are absent. 19 main lines (records 1 to 18 and the count 0), 8 explosive (E1, E3, E5, E6 to
// E10), 9 solid (S1, S3 to S10), 10 coupling (mark, count 0, K6 to K13): 46. The interface
// writes no model that is not built, so the file comes from the writer itself; the reader
// still takes such a file.
TEST_F(Restart, ZeroParticlesRoundTrip) {
    const std::string a = path("a.rst"), b = path("b.rst");
    ASSERT_EQ(sph_restart_write(a), 0) << sph_error_message();
    const std::vector<std::string> lines = crlf_lines(slurp(a));
    ASSERT_EQ(lines.size(), 46u);
    EXPECT_EQ(tokens(lines[1]).at(2), "0");
    EXPECT_EQ(lines[36], "QUORREL_COUPLING_STATE");
    EXPECT_EQ(lines[37], "0 0");
    EXPECT_EQ(lines[45], "0");
    ASSERT_EQ(sph_read_restart(a), 0) << sph_error_message();
    EXPECT_TRUE(model_built());
    EXPECT_EQ(sph_database.npart, 0);
    ASSERT_EQ(sph_write_restart(b), 0);
    EXPECT_EQ(slurp(a), slurp(b));
}

// ---- Self-written files read back ----

// Write, read (into a fresh interface), write: the same bytes, for models of every phase, with
// the host's imports buffered where the model has coupling regions. The gas bubble's radius
// rate and centre shift after the read are the file's.
TEST_F(Restart, SelfWrittenFilesReadBackToTheSameBytes) {
    struct Case {
        const char* name;
        const char* deck;
        int steps;
        bool imports;
    };
    const Case cases[] = {
        {"two falling water particles", "out_fall.inp", 2, false},
        {"water lattice", "restart_water.inp", 3, false},
        {"gas fed by a charge", "restart_gas.inp", 3, false},
        {"two charges mid-burn, one particle just converted", "restart_explosive.inp", 6, false},
        {"yielding solid", "restart_solid.inp", 3, true},
        {"shell plate with buffered imports", "restart_shell.inp", 2, true},
        {"every phase", "restart_all.inp", 4, true},
        {"blast regions and shells, which the file leaves out", "blast_summary.inp", 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        build(deck(c.deck));
        run(c.steps, c.imports);
        if (c.imports) host_imports(c.steps + 1);
        const double rate = sph_database.gas_radius_rate, shift = sph_database.gas_center_shift;
        const std::string a = path("a.rst"), b = path("b.rst");
        ASSERT_EQ(sph_write_restart(a), 0) << sph_error_message();
        sph_initialize();
        ASSERT_EQ(sph_read_restart(a), 0) << sph_error_message();
        EXPECT_TRUE(model_built());
        EXPECT_EQ(sph_database.gas_radius_rate, rate);
        EXPECT_EQ(sph_database.gas_center_shift, shift);
        ASSERT_EQ(sph_write_restart(b), 0) << sph_error_message();
        EXPECT_TRUE(slurp(a) == slurp(b));
    }
}

// Texts with blanks, commas, slashes and quotes, empty texts, non-finite reals and a negative
// zero survive the file, and the file reads back to the same bytes.
TEST_F(Restart, AwkwardTextsAndNonFiniteValues) {
    build(deck("restart_all.inp"));
    run(2, true);
    host_imports(3);
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    SphGasMaterial& gas = sph_gas.gas_materials[0];
    gas.gas_material_names = "Air \"dry\", cold/1";
    SphExplosiveMaterial& tnt = sph_explosive_state.explosive_materials[0];
    tnt.explosive_material_name = "";
    tnt.explosive_product_material_name = "a/b c";
    SphSolidMaterial& steel = sph_solid.solid_materials[0];
    steel.solid_material_names = "St\"eel";
    steel.params.softening_type = "LINEAR, SOFT";
    SphCouplingRegionRecord& region = sph_database.coupling_regions[0];
    region.coupling_region_name = "Wet, \"outer\" side/1";
    region.coupling_region_surface_name = "  lead blank";
    region.coupling_region_material_name = "";
    sph_control.output_directory = "run dir, 2/out put";
    // Values no refresh of the read recomputes: particle 1 is water, 5 gas, 20 a shell.
    SphDatabase& d = sph_database;
    d.temperature[0] = nan;
    d.internal_energy[0] = inf;
    d.x0[3] = -inf;
    d.vhalf[6] = -0.0;
    sph_explosive_state.explosive_detonation_time[0] = nan;
    sph_gas_source.gas_energy_source[4] = -inf;
    sph_coupling.coupling_contact_gap[19] = nan;

    const std::string a = path("a.rst"), b = path("b.rst");
    ASSERT_EQ(sph_write_restart(a), 0) << sph_error_message();
    const std::string text = slurp(a);
    EXPECT_NE(text.find(" \"Air \"\"dry\"\", cold/1\" "), std::string::npos);  // quoted, inner quotes doubled
    EXPECT_NE(text.find(" \"\" T "), std::string::npos);                         // the empty explosive name
    EXPECT_NE(text.find("\r\nWet, \"outer\" side/1\r\n"), std::string::npos);    // a name line as it stands
    EXPECT_NE(text.find("\r\nrun dir, 2/out put\r\n"), std::string::npos);
    EXPECT_NE(text.find(" NaN "), std::string::npos);
    EXPECT_NE(text.find(" Infinity "), std::string::npos);
    EXPECT_NE(text.find(" -Infinity"), std::string::npos);

    sph_initialize();
    ASSERT_EQ(sph_read_restart(a), 0) << sph_error_message();
    EXPECT_EQ(sph_trim_right(sph_gas.gas_materials[0].gas_material_names), "Air \"dry\", cold/1");
    EXPECT_EQ(sph_trim_right(sph_explosive_state.explosive_materials[0].explosive_material_name), "");
    EXPECT_EQ(sph_trim_right(sph_explosive_state.explosive_materials[0].explosive_product_material_name), "a/b c");
    EXPECT_EQ(sph_trim_right(sph_solid.solid_materials[0].solid_material_names), "St\"eel");
    EXPECT_EQ(sph_trim_right(sph_solid.solid_materials[0].params.softening_type), "LINEAR, SOFT");
    ASSERT_EQ(sph_database.coupling_regions.size(), 5u);
    EXPECT_EQ(sph_trim_right(sph_database.coupling_regions[0].coupling_region_name), "Wet, \"outer\" side/1");
    EXPECT_EQ(sph_trim_right(sph_database.coupling_regions[0].coupling_region_surface_name), "  lead blank");
    EXPECT_EQ(sph_trim_right(sph_database.coupling_regions[0].coupling_region_material_name), "");
    EXPECT_EQ(sph_control.output_directory, "run dir, 2/out put");
    EXPECT_TRUE(std::isnan(sph_database.temperature[0]));
    EXPECT_EQ(sph_database.internal_energy[0], inf);
    EXPECT_EQ(sph_database.x0[3], -inf);
    EXPECT_EQ(sph_database.vhalf[6], 0.0);
    EXPECT_TRUE(std::signbit(sph_database.vhalf[6]));
    EXPECT_TRUE(std::isnan(sph_explosive_state.explosive_detonation_time[0]));
    EXPECT_EQ(sph_gas_source.gas_energy_source[4], -inf);
    EXPECT_TRUE(std::isnan(sph_coupling.coupling_contact_gap[19]));
    ASSERT_EQ(sph_write_restart(b), 0);
    EXPECT_TRUE(slurp(a) == slurp(b));
}

// ---- Older layouts ----

template <typename T>
void expect_all(const std::vector<T>& values, std::size_t size, T value) {
    ASSERT_EQ(values.size(), size);
    for (std::size_t k = 0; k < values.size(); ++k) EXPECT_EQ(values[k], value) << "entry " << k;
}

void expect_triple(const double* v, double x, double y, double z) {
    EXPECT_EQ(v[0], x);
    EXPECT_EQ(v[1], y);
    EXPECT_EQ(v[2], z);
}

// Two water particles (nodes 7 and 11, mass 2, h 0.5, far apart) falling under g = 8, no
// gas lines. The water summary of the file (9 particles, mass 99) is replaced by the one of
// the particles read: 2 particles, mass 4. The gas sources are cleared at the particle count,
// the explosive state too; no solid state, no regions. A step of 2^-4 from z = 1, v = -4,
// a = -8: v = -4 - 8 / 16 = -4.5, z = 1 + (-4 - 4 / 16) / 16 = 1 - 0.265625 = 0.734375.
TEST_F(Restart, OldLayout02HasNoGasLines) {
    ASSERT_EQ(sph_read_restart(old_file("state_0_2.rst")), 0) << sph_error_message();
    EXPECT_TRUE(model_built());
    EXPECT_EQ(sph_control.current_time, 0.5);
    EXPECT_EQ(sph_control.current_step, 4);
    EXPECT_EQ(sph_control.output_interval, 5);
    EXPECT_TRUE(sph_control.output_enabled);
    EXPECT_EQ(sph_control.safety_factor, 0.75);
    EXPECT_EQ(sph_control.output_directory, "old out");
    EXPECT_EQ(sph_water.water_b, 14285.714285714286);
    EXPECT_EQ(sph_water.water_visc_eta2, 0.01);
    ASSERT_EQ(sph_database.npart, 2);
    EXPECT_EQ(sph_database.particle_id_ext[1], 11);
    EXPECT_EQ(sph_database.temperature[1], 293.15);
    EXPECT_EQ(sph_database.water_particle_count, 2);
    EXPECT_EQ(sph_database.water_mass, 4.0);
    expect_triple(&sph_database.acc_body[3], 0.0, 0.0, -8.0);
    expect_all(sph_gas_source.gas_mass_source, 2, 0.0);
    expect_all(sph_gas_source.gas_momentum_source, 6, 0.0);
    EXPECT_EQ(sph_gas.gas_material_count, 0);
    EXPECT_EQ(sph_explosive_state.explosive_material_count, 0);
    expect_all(sph_explosive_state.explosive_reaction_progress, 2, 0.0);
    EXPECT_FALSE(sph_solid_state_present());
    EXPECT_TRUE(sph_database.coupling_regions.empty());
    ASSERT_EQ(sph_set_output_interval(1000000), 0);
    ASSERT_EQ(sph_advance_explicit(0.0625), 0) << sph_error_message();
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(sph_database.v[3 * i + 2], -4.5);
        EXPECT_EQ(sph_database.x[3 * i + 2], 0.734375);
    }
}

// Gas lines but no gas table: the table is rebuilt from the first active gas particle (the
// second, material 2, rho 1.5, temperature 310) and the card-level settings of the file (ideal
// gas, rho0 1.2, gamma 1.4, e0 2.5, h 0.5, mass 0.25, volume 0.125); its name is the card-level
// name, "GAS" after initialise. The sources are cleared. The bubble's radius rate 0.05 and
// centre shift 0.01 are the file's; the gas body force (1, -2, -8) acts on the gas particle.
TEST_F(Restart, OldLayout03RebuildsTheGasTable) {
    ASSERT_EQ(sph_read_restart(old_file("state_0_3.rst")), 0) << sph_error_message();
    const SphGas& g = sph_gas;
    EXPECT_EQ(g.gas_eos_type, gas_eos_ideal);
    EXPECT_EQ(g.gas_e0, 2.5);
    EXPECT_EQ(g.gas_default_volume, 0.125);
    ASSERT_EQ(g.gas_material_count, 1);
    const SphGasMaterial& m = g.gas_materials[0];
    EXPECT_EQ(m.gas_material_ids, 2);
    EXPECT_EQ(sph_trim_right(m.gas_material_names), "GAS");
    EXPECT_TRUE(m.gas_material_eos_defined);
    EXPECT_EQ(m.gas_material_eos_type, gas_eos_ideal);
    EXPECT_EQ(m.gas_material_density_default, 1.5);
    EXPECT_EQ(m.gas_material_energy_default, 2.5);
    EXPECT_EQ(m.gas_material_temperature_default, 310.0);
    EXPECT_EQ(m.gas_material_rho0, 1.2);
    EXPECT_EQ(m.gas_material_gamma, 1.4);
    EXPECT_EQ(m.gas_material_default_h, 0.5);
    EXPECT_EQ(m.gas_material_default_mass, 0.25);
    EXPECT_EQ(m.gas_material_default_volume, 0.125);
    EXPECT_TRUE(g.gas_material_seen);
    EXPECT_TRUE(g.gas_eos_defined);
    EXPECT_EQ(g.gas_material_internal_id, 2);
    EXPECT_TRUE(g.gas_bubble_history_valid);
    EXPECT_EQ(sph_database.gas_radius_rate, 0.05);
    EXPECT_EQ(sph_database.gas_center_shift, 0.01);
    expect_all(sph_gas_source.gas_energy_source, 2, 0.0);
    expect_triple(&sph_database.acc_body[0], 0.0, 0.0, -8.0);
    expect_triple(&sph_database.acc_body[3], 1.0, -2.0, -8.0);
}

// The gas table (one material, its record separated by commas) and the sources are read.
// The model before the read burnt a charge at the same particle count (two): the explosive
// state the file lacks comes back cleared, not left over.
TEST_F(Restart, OldLayout031ReadsTheGasTableAndSources) {
    build(deck("explosive_source.inp"));
    run(2, false);
    ASSERT_GT(sph_explosive_state.explosive_reaction_progress[0], 0.0);
    ASSERT_EQ(sph_read_restart(old_file("state_0_3_1.rst")), 0) << sph_error_message();
    ASSERT_EQ(sph_gas.gas_material_count, 1);
    const SphGasMaterial& m = sph_gas.gas_materials[0];
    EXPECT_EQ(m.gas_material_ids, 2);
    EXPECT_EQ(sph_trim_right(m.gas_material_names), "AIR");
    EXPECT_TRUE(m.gas_material_eos_defined);
    EXPECT_EQ(m.gas_material_temperature_default, 310.0);
    EXPECT_EQ(m.gas_material_default_mass, 0.25);
    EXPECT_EQ(sph_gas_source.gas_mass_source[0], 0.0);
    EXPECT_EQ(sph_gas_source.gas_mass_source[1], 0.5);
    EXPECT_EQ(sph_gas_source.gas_energy_source[1], 2.0);
    expect_triple(&sph_gas_source.gas_momentum_source[3], 0.25, -0.5, 1.0);
    const SphExplosiveState& e = sph_explosive_state;
    EXPECT_EQ(e.explosive_material_count, 0);
    EXPECT_EQ(e.explosive_ignition_count, 0);
    expect_all(e.explosive_reaction_progress, 2, 0.0);
    expect_all(e.explosive_released_mass, 2, 0.0);
    expect_all(e.explosive_detonation_time, 2, 0.0);
    expect_all(e.explosive_ignition_status, 2, 0);
    EXPECT_FALSE(sph_solid_state_present());
}

// The short explosive section: no E6 to E10, rows of eight values, seeded per row:
//   particle 1, mass 2, progress 0.5, released 2: initial 2 / 0.5 = 4, remaining 4 - 2 = 2;
//   particle 2, mass 3, progress 0, released 0: initial = mass 3, remaining 3;
//   particle 3, mass 0.25, progress 0, released 0.5: initial 0.25, remaining max(-0.25, 0) = 0;
// and the initial material is the particle's (1). The balance covers particles 1 and 2 (a
// detonation time assigned; particle 3 has none and no progress): mass 4 + 3 = 7 initial,
// 2 released, 2 + 3 = 5 remaining, error 0; energy 9 released, 9 - 2 x 4 (energy per mass) = 1;
// momentum (0.5, 0, -0.25).
TEST_F(Restart, OldLayout04SeedsTheInitialMass) {
    ASSERT_EQ(sph_read_restart(old_file("state_0_4.rst")), 0) << sph_error_message();
    const SphExplosiveState& e = sph_explosive_state;
    ASSERT_EQ(e.explosive_material_count, 1);
    EXPECT_TRUE(e.explosive_material_seen);
    const SphExplosiveMaterial& m = e.explosive_materials[0];
    EXPECT_EQ(m.explosive_material_id, 1);
    EXPECT_EQ(sph_trim_right(m.explosive_material_name), "TNT");
    EXPECT_TRUE(m.explosive_control_defined);
    EXPECT_EQ(m.explosive_product_material_id, 2);
    EXPECT_EQ(sph_trim_right(m.explosive_product_material_name), "FUMES");
    EXPECT_EQ(m.explosive_conversion_mode, explosive_conversion_phase);
    EXPECT_EQ(m.explosive_energy_per_mass, 4.0);
    ASSERT_EQ(e.explosive_ignition_count, 1);
    EXPECT_EQ(e.explosive_ignitions[0].explosive_ignition_x[0], -1.0);
    EXPECT_EQ(e.explosive_dt_reaction, 0.25);
    const double initial[3] = {4.0, 3.0, 0.25}, remaining[3] = {2.0, 3.0, 0.0};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(e.explosive_initial_material_id[i], 1);
        EXPECT_EQ(e.explosive_initial_mass[i], initial[i]);
        EXPECT_EQ(e.explosive_remaining_mass[i], remaining[i]);
    }
    EXPECT_EQ(e.explosive_released_energy[0], 9.0);
    EXPECT_EQ(e.explosive_converted_count, 0);
    EXPECT_EQ(e.explosive_source_mass_total, 0.0);
    EXPECT_EQ(e.explosive_release_mass_balance, (std::array<double, 4>{7.0, 2.0, 5.0, 0.0}));
    EXPECT_EQ(e.explosive_release_energy_balance, (std::array<double, 2>{9.0, 1.0}));
    EXPECT_EQ(e.explosive_release_momentum_balance, (std::array<double, 3>{0.5, 0.0, -0.25}));
    EXPECT_FALSE(sph_solid_state_present());
}

// The long explosive section: the counts and source totals are the file's, the row's initial
// mass 4.5 and remaining 2.5 are read, not seeded, and the balance is recomputed over them
// (the file's 99s are dropped): 4.5, 2, 2.5, 0; energy 9, 9 - 2 x 4 = 1.
TEST_F(Restart, OldLayout041ReadsTheLongExplosiveSection) {
    ASSERT_EQ(sph_read_restart(old_file("state_0_4_1.rst")), 0) << sph_error_message();
    const SphExplosiveState& e = sph_explosive_state;
    EXPECT_EQ(e.explosive_converted_count, 1);
    EXPECT_EQ(e.explosive_source_target_count, 2);
    EXPECT_EQ(e.explosive_source_mass_total, 0.5);
    EXPECT_EQ(e.explosive_source_energy_total, 2.0);
    EXPECT_EQ(e.explosive_source_momentum_total, (std::array<double, 3>{0.125, 0.25, 0.375}));
    EXPECT_EQ(e.explosive_initial_mass[0], 4.5);
    EXPECT_EQ(e.explosive_remaining_mass[0], 2.5);
    EXPECT_EQ(e.explosive_release_mass_balance, (std::array<double, 4>{4.5, 2.0, 2.5, 0.0}));
    EXPECT_EQ(e.explosive_release_energy_balance, (std::array<double, 2>{9.0, 1.0}));
    EXPECT_EQ(e.explosive_release_momentum_balance, (std::array<double, 3>{0.5, 0.0, -0.25}));
    EXPECT_FALSE(sph_solid_state_present());
}

// The short solid section: records 1 to 5 and 9 of the particle; what it lacks is zero even
// where the arrays held values of an earlier model at the same particle count. The table,
// its derived values (temperature rise factor 0.25 included) and the body force are read.
TEST_F(Restart, OldLayout05ZeroesWhatTheSolidSectionLacks) {
    ASSERT_EQ(sph_db_allocate(1), 0);
    ASSERT_EQ(sph_solid_allocate_state(), 0);
    SphSolidState& st = sph_solid_state;
    std::fill(st.solid_velocity_gradient.begin(), st.solid_velocity_gradient.end(), 7.0);
    std::fill(st.solid_strain_rate.begin(), st.solid_strain_rate.end(), 7.0);
    st.solid_correction_determinant[0] = st.solid_strain_rate_eq[0] = 7.0;
    st.solid_reference_neighbor_count[0] = st.solid_reference_degenerate[0] = st.solid_correction_status[0] = 7;
    ASSERT_EQ(sph_read_restart(old_file("state_0_5.rst")), 0) << sph_error_message();
    ASSERT_EQ(sph_solid.solid_material_count, 1);
    EXPECT_TRUE(sph_solid.solid_material_seen);
    const SphSolidMaterial& m = sph_solid.solid_materials[0];
    EXPECT_EQ(sph_trim_right(m.solid_material_names), "STEEL");
    EXPECT_TRUE(m.params.johnson_cook_defined && m.params.failure_defined && m.params.control_defined);
    EXPECT_EQ(m.params.elastic_e, 200.0);
    EXPECT_EQ(m.params.jc_tmelt, 1800.0);
    EXPECT_EQ(sph_trim_right(m.params.softening_type), "LINEAR");
    EXPECT_EQ(m.params.softening_width, 0.5);
    EXPECT_EQ(st.solid_shear_modulus[0], 76.0);
    EXPECT_EQ(st.solid_temperature_rise_factor[0], 0.25);
    EXPECT_EQ(st.solid_body_force, (std::array<double, 3>{0.0, 0.0, -0.5}));
    ASSERT_TRUE(sph_solid_state_present());
    EXPECT_EQ(st.solid_stress, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));
    EXPECT_EQ(st.solid_strain[5], 0.6);
    EXPECT_EQ(st.solid_temperature[0], 310.0);
    EXPECT_EQ(st.solid_softening[0], 0.8);
    EXPECT_EQ(st.solid_internal_energy[0], 7.0);
    EXPECT_EQ(st.solid_correction_matrix[8], 2.0);
    EXPECT_EQ(st.solid_acc_internal, (std::vector<double>{0.5, -0.5, 0.25}));
    expect_all(st.solid_velocity_gradient, 9, 0.0);
    expect_all(st.solid_strain_rate, 6, 0.0);
    expect_all(st.solid_correction_determinant, 1, 0.0);
    expect_all(st.solid_strain_rate_eq, 1, 0.0);
    expect_all(st.solid_reference_neighbor_count, 1, 0);
    expect_all(st.solid_reference_degenerate, 1, 0);
    expect_all(st.solid_correction_status, 1, 0);
}

// The extended solid section is read whole. The file predates the coupling section: the
// regions and buffers of the model before the read are gone, the interface as after a reset.
TEST_F(Restart, OldLayout051ReadsTheExtendedSolidAndClearsCoupling) {
    build(deck("app_regions.inp"));
    const int index[1] = {1};
    const double force[3] = {1.0, 2.0, 3.0};
    ASSERT_EQ(quorrel_coupling_apply_particle_forces(1, 1, index, force), 0);
    run(1, false);
    ASSERT_EQ(sph_read_restart(old_file("state_0_5_1.rst")), 0) << sph_error_message();
    const SphSolidState& st = sph_solid_state;
    EXPECT_EQ(st.solid_correction_determinant[0], 0.125);
    EXPECT_EQ(st.solid_strain_rate_eq[0], 0.75);
    EXPECT_EQ(st.solid_reference_neighbor_count[0], 3);
    EXPECT_EQ(st.solid_reference_degenerate[0], 0);
    EXPECT_EQ(st.solid_correction_status[0], 1);
    EXPECT_EQ(st.solid_velocity_gradient, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(st.solid_strain_rate, (std::vector<double>{0.01, 0.02, 0.03, 0.04, 0.05, 0.06}));
    EXPECT_EQ(st.solid_acc_internal, (std::vector<double>{0.5, -0.5, 0.25}));
    EXPECT_TRUE(sph_database.coupling_regions.empty());
    EXPECT_EQ(sph_database.coupling_region_disabled_count, 0);
    const SphCouplingInterface& c = sph_coupling;
    EXPECT_TRUE(c.coupling_external_force.empty());
    EXPECT_EQ(c.coupling_epoch, 0);
    EXPECT_EQ(c.coupling_imported_force_count, 0);
    EXPECT_EQ(c.coupling_cumulative_impulse, (SphCouplingVec{0.0, 0.0, 0.0}));
}

// The older coupling section: nine modes per region with the missing three filled in (load
// mode 2 for import mode 2, else 1; distribution 1; contact state 0), three counters, no K9
// to K12, rows of eleven values. The buffered force (0, 0, 6) on particle 1 (mass 2) and the
// velocity target (1, 2, 3) on particle 2 act on the next step of 2^-4 under g = 8:
//   particle 1: a = -8 + 6 / 2 = -5, v = -4 - 5 / 16 = -4.3125,
//               z = 1 + (-4 - 5 / 32) / 16 = 0.740234375;
//   particle 2: v = (1, 2, 3) before and after the kick, x = (10, 3, 1) + (1, 2, 3 - 8 / 32) / 16
//               = (10.0625, 3.125, 1.171875).
TEST_F(Restart, OldLayout08FillsTheLegacyModes) {
    ASSERT_EQ(sph_read_restart(old_file("state_0_8.rst")), 0) << sph_error_message();
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.coupling_regions.size(), 3u);
    EXPECT_EQ(d.coupling_region_disabled_count, 1);
    const int load[3] = {2, 1, 1}, members[3] = {1, 2, 0};
    for (std::size_t r = 0; r < 3; ++r) {
        SCOPED_TRACE(r);
        const SphCouplingRegionRecord& rec = d.coupling_regions[r];
        EXPECT_EQ(rec.coupling_region_load_mode, load[r]);
        EXPECT_EQ(rec.coupling_region_distribution_mode, 1);
        EXPECT_EQ(rec.coupling_region_contact_state_mode, 0);
        EXPECT_EQ(static_cast<int>(rec.coupling_region_particles.size()), members[r]);
        EXPECT_EQ(rec.coupling_region_internal_id, static_cast<int>(r) + 1);
    }
    EXPECT_EQ(sph_trim_right(d.coupling_regions[0].coupling_region_surface_name), "Wet Side");
    EXPECT_EQ(d.coupling_regions[0].coupling_region_particles[0], 1);
    EXPECT_EQ(d.coupling_regions[2].coupling_region_enabled, 0);
    const SphCouplingInterface& c = sph_coupling;
    EXPECT_EQ(c.coupling_cumulative_impulse, (SphCouplingVec{1.0, 2.0, 3.0}));
    EXPECT_EQ(c.coupling_momentum_exchange, (SphCouplingVec{0.5, 0.25, 0.125}));
    EXPECT_EQ(c.coupling_cumulative_work, 4.0);
    EXPECT_EQ(c.coupling_energy_exchange, 5.0);
    EXPECT_EQ(c.coupling_stale_load_count, 1);
    EXPECT_EQ(c.coupling_skipped_particle_count, 2);
    EXPECT_EQ(c.coupling_nonfinite_import_count, 3);
    EXPECT_EQ(c.coupling_imported_force_count, 0);
    EXPECT_EQ(c.coupling_epoch, 0);
    EXPECT_EQ(c.coupling_max_pressure, 0.0);
    expect_all(c.coupling_contact_flag, 2, 0);
    expect_all(c.coupling_contact_normal, 6, 0.0);
    expect_triple(&c.coupling_external_force[0], 0.0, 0.0, 6.0);
    EXPECT_EQ(c.coupling_motion_flag[1], 1);
    EXPECT_EQ(c.coupling_motion_mode[1], 1);
    ASSERT_EQ(sph_advance_explicit(0.0625), 0) << sph_error_message();
    EXPECT_EQ(d.v[2], -4.3125);
    EXPECT_EQ(d.x[2], 0.740234375);
    expect_triple(&d.v[3], 1.0, 2.0, 3.0);
    expect_triple(&d.x[3], 10.0625, 3.125, 1.171875);
}

// ---- Damaged files ----

// The newest layout line by line, from the record tables: each line's label and the message
// of a read that finds that line missing or unreadable.
struct Counts {
    int n = 0, gas_materials = 0, explosive_materials = 0, ignitions = 0, solid_materials = 0;
    bool solid_state = false;
    std::vector<int> region_members;
};

struct LayoutLine {
    std::string label, message;
};

std::vector<LayoutLine> newest_layout(const Counts& c) {
    std::vector<LayoutLine> out;
    const auto add = [&](const std::string& label, const char* message) { out.push_back({label, message}); };
    const auto at = [](const std::string& label, int k) { return label + "." + std::to_string(k); };
    const char* main_messages[] = {"invalid restart header",
                                   "invalid restart state",
                                   "invalid restart output interval",
                                   "invalid restart output directory",
                                   "invalid restart Water EOS state",
                                   "invalid restart Water viscosity state",
                                   "invalid restart body force state",
                                   "invalid restart neighbor state",
                                   "invalid restart Water summary state",
                                   "invalid restart Water diagnostic state",
                                   "invalid restart Water dt state",
                                   "invalid restart Gas EOS state",
                                   "invalid restart Gas particle control state",
                                   "invalid restart Gas body force state",
                                   "invalid restart Gas summary state",
                                   "invalid restart Gas diagnostic state",
                                   "invalid restart Gas bubble state",
                                   "invalid restart Gas dt state"};
    for (int r = 1; r <= 18; ++r) add(std::to_string(r), main_messages[r - 1]);
    add("19", "invalid restart Gas material table");
    for (int m = 1; m <= c.gas_materials; ++m)
        for (const char* part : {"19a", "19b", "19c", "19d", "19e"}) add(at(part, m), "invalid restart Gas material table");
    for (int i = 1; i <= c.n; ++i)
        for (const char* part : {"20a", "20b", "20c"}) add(at(part, i), "restart file ended unexpectedly");
    for (int i = 1; i <= c.n; ++i) add(at("21", i), "invalid restart Gas source state");
    add("E1", "invalid restart Explosive material count");
    for (int m = 1; m <= c.explosive_materials; ++m) {
        add(at("E2a", m), "invalid restart Explosive material row");
        add(at("E2b", m), "invalid restart Explosive control row");
    }
    add("E3", "invalid restart Explosive ignition count");
    for (int j = 1; j <= c.ignitions; ++j) add(at("E4", j), "invalid restart Explosive ignition row");
    add("E5", "invalid restart Explosive dt state");
    add("E6", "invalid restart Explosive conversion counts");
    add("E7", "invalid restart Explosive source totals");
    add("E8", "invalid restart Explosive mass balance");
    add("E9", "invalid restart Explosive energy balance");
    add("E10", "invalid restart Explosive momentum balance");
    for (int i = 1; i <= c.n; ++i) add(at("E11", i), "invalid restart Explosive particle state");
    const char* solid = "invalid restart Solid state";
    add("S1", solid);
    for (int m = 1; m <= c.solid_materials; ++m)
        for (const char* part : {"S2a", "S2b", "S2c", "S2d", "S2e", "S2f"}) add(at(part, m), solid);
    for (const char* label : {"S3", "S4", "S5", "S6", "S7", "S8", "S9", "S10"}) add(label, solid);
    if (c.solid_state)
        for (int i = 1; i <= c.n; ++i)
            for (int record = 1; record <= 9; ++record) add(at("S11-" + std::to_string(record), i), solid);
    const char* coupling = "invalid restart Coupling state";
    add("K1", coupling);
    add("K2", coupling);
    for (std::size_t r = 1; r <= c.region_members.size(); ++r) {
        for (const char* part : {"K3a", "K3b", "K3c", "K3d", "K3e", "K4"}) add(at(part, static_cast<int>(r)), coupling);
        if (c.region_members[r - 1] > 0) add(at("K5", static_cast<int>(r)), coupling);
    }
    for (const char* label : {"K6", "K7", "K8", "K9", "K10", "K11", "K12", "K13"}) add(label, coupling);
    for (int i = 1; i <= c.n; ++i) add(at("K14", i), coupling);
    return out;
}

std::size_t line_of(const std::vector<LayoutLine>& layout, const std::string& label) {
    for (std::size_t k = 0; k < layout.size(); ++k)
        if (layout[k].label == label) return k;
    ADD_FAILURE() << "no line " << label;
    return 0;
}

// The model every damaged file is read over: out_fall.inp, two particles, built. The damaged
// files come from restart_all.inp after two steps with the host's imports for the third
// buffered: 23 particles (4 water, 3 gas, 3 TNT, 1 PETN, 8 steel, 4 shell), one gas material
// (AIR), two explosive materials (TNT, PETN) with one ignition each, one solid material
// (STEEL, so solid state) and five regions: Skin 4 (PLATE), Push 4 (PUSHED), Left 4, Right 4,
// Pin 1.
class DamagedRestart : public Restart {
protected:
    void SetUp() override {
        Restart::SetUp();
        build(deck("restart_all.inp"));
        run(2, true);
        host_imports(3);
        intact_ = path("intact.rst");
        ASSERT_EQ(sph_write_restart(intact_), 0);
        lines_ = crlf_lines(slurp(intact_));
        counts_.n = 23;
        counts_.gas_materials = 1;
        counts_.explosive_materials = 2;
        counts_.ignitions = 2;
        counts_.solid_materials = 1;
        counts_.solid_state = true;
        counts_.region_members = {4, 4, 4, 4, 1};
        layout_ = newest_layout(counts_);
    }

    // The particles in the store after a read that fails at line `k` (0-based) of a file
    // over the two of out_fall.inp: those two up to record 11, none while the file's
    // particles are read, the file's 23 from the gas sources on.
    int store_after_cut(std::size_t k) const {
        if (k < 11) return 2;
        return k < line_of(layout_, "21.1") ? 0 : 23;
    }

    void old_model() {
        build(deck("out_fall.inp"));
        ASSERT_EQ(sph_database.npart, 2);
        ASSERT_TRUE(model_built());
    }

    // After a failed read: the intact file reads and the model runs on.
    void intact_runs_on() {
        ASSERT_EQ(sph_read_restart(intact_), 0) << sph_error_message();
        EXPECT_TRUE(model_built());
        double dt = 0.0;
        ASSERT_EQ(sph_estimate_stable_dt(dt), 0) << sph_error_message();
        EXPECT_EQ(sph_advance_explicit(dt), 0) << sph_error_message();
    }

    std::string intact_;
    std::vector<std::string> lines_;
    Counts counts_;
    std::vector<LayoutLine> layout_;
};

// The file cut after every line. Cut after line L, the read fails at line L + 1 with that
// record's message; a file shorter than 6 bytes per particle fails at the particle count
// before anything is allocated. Up to record 11 the old model's two particles remain; from
// record 12 the store is empty until all particles are read, and holds the file's 23 from
// the gas sources on. A cut before the header
// leaves the model built; any later one leaves it not built.
TEST_F(DamagedRestart, CutAfterEveryLine) {
    ASSERT_EQ(lines_.size(), layout_.size());
    const std::string cut = path("cut.rst");
    for (std::size_t kept = 0; kept <= lines_.size(); ++kept) {
        const std::string text = join_crlf(lines_, kept);
        SCOPED_TRACE("lines kept: " + std::to_string(kept));
        old_model();
        spill(cut, text);
        const int st = sph_read_restart(cut);
        if (kept == lines_.size()) {
            EXPECT_EQ(st, 0) << sph_error_message();
            EXPECT_TRUE(model_built());
            continue;
        }
        const bool too_small = kept >= 2 && text.size() / 6 < 23;
        const std::string& label = layout_[kept].label;
        expect_failure(st, sph_error_input, too_small ? "invalid restart state" : layout_[kept].message);
        EXPECT_EQ(model_built(), kept == 0);
        EXPECT_EQ(sph_database.npart, too_small ? 2 : store_after_cut(kept)) << label;
        intact_runs_on();
    }
}

// A line past the limit reads as the file cut before it: every line of the file in turn,
// padded with blanks to one character more than sph_restart_line_limit, fails with the
// message CutAfterEveryLine gives for the cut before that line (the header's for the first),
// with the model built or not and the store's particle count as there. Padded to exactly
// the limit, with its line end CR LF or LF alone, the same line reads, and the model then
// writes the intact file again: blanks separate values and end fixed-layout lines.
TEST_F(DamagedRestart, OverlongLineReadsAsACut) {
    ASSERT_EQ(lines_.size(), layout_.size());
    const std::string damaged = path("long.rst"), again = path("again.rst");
    const std::string intact = slurp(intact_);
    const auto padded = [](const std::string& line, std::size_t length) {
        return line + std::string(length > line.size() ? length - line.size() : 0, ' ');
    };
    for (std::size_t k = 0; k < lines_.size(); ++k) {
        const std::string& label = layout_[k].label;
        SCOPED_TRACE("line " + std::to_string(k + 1) + " (" + label + ")");
        std::vector<std::string> lines = lines_;
        lines[k] = padded(lines_[k], sph_restart_line_limit + 1);
        old_model();
        spill(damaged, join_crlf(lines, lines.size()));
        expect_failure(sph_read_restart(damaged), sph_error_input, layout_[k].message);
        EXPECT_EQ(model_built(), k == 0);
        EXPECT_EQ(sph_database.npart, store_after_cut(k));

        lines[k] = padded(lines_[k], sph_restart_line_limit);
        for (const char* end : {"\r\n", "\n"}) {
            std::string text = join_crlf(lines, k);
            text += lines[k] + end;
            text += intact.substr(join_crlf(lines_, k + 1).size());
            spill(damaged, text);
            ASSERT_EQ(sph_read_restart(damaged), 0) << sph_error_message();
            ASSERT_EQ(sph_write_restart(again), 0) << sph_error_message();
            EXPECT_TRUE(slurp(again) == intact);
        }
    }
    // The same holds for a file whose only line never ends.
    old_model();
    spill(damaged, std::string(sph_restart_line_limit + 1, 'Q'));
    expect_failure(sph_read_restart(damaged), sph_error_input, "invalid restart header");
    EXPECT_TRUE(model_built());
}

// One token changed, dropped or added at a time: the code and message, whether the model is
// still built and whether the store holds the old model's particles, none (while the file's
// are read) or the file's.
TEST_F(DamagedRestart, EditedTokens) {
    enum class Op { replace, letter, drop, append };
    enum class Outcome { kept, before_store, emptied, after_store, read };
    struct Edit {
        const char* what;
        const char* label;
        Op op;
        int token;  // -1: the last
        const char* text;
        Outcome outcome;
        const char* message;
    };
    const char* coupling = "invalid restart Coupling state";
    const char* solid = "invalid restart Solid state";
    const Edit edits[] = {
        {"another magic", "1", Op::replace, 0, "QUORREL_RESTARX", Outcome::kept, "invalid restart header"},
        {"a letter in a version number", "1", Op::replace, 2, "8a", Outcome::kept, "invalid restart header"},
        {"no tag", "1", Op::drop, -1, "", Outcome::kept, "invalid restart header"},
        {"other version numbers", "1", Op::replace, 1, "7", Outcome::read, ""},
        {"a later tag", "1", Op::replace, 4, "STATE_0_9", Outcome::emptied, "unsupported restart state version"},
        {"a tag in lower case", "1", Op::replace, 4, "state_0_8_1", Outcome::emptied,
         "unsupported restart state version"},
        {"a letter in the time", "2", Op::letter, 0, "", Outcome::before_store, "invalid restart state"},
        {"a negative particle count", "2", Op::replace, 2, "-1", Outcome::before_store, "invalid restart state"},
        {"more particles than the file can hold", "2", Op::replace, 2, "100000", Outcome::before_store,
         "invalid restart state"},
        {"a slash ends the record early", "2", Op::replace, 2, "/ 23", Outcome::before_store, "invalid restart state"},
        {"a slash after the values", "2", Op::append, 0, "/ comment", Outcome::read, ""},
        {"extra values", "3", Op::append, 0, "junk 12", Outcome::read, ""},
        {"a real interval", "3", Op::replace, 0, "3.5", Outcome::before_store, "invalid restart output interval"},
        {"a letter in the water EOS", "5", Op::letter, 4, "", Outcome::before_store, "invalid restart Water EOS state"},
        {"a letter in a cell count", "8", Op::letter, 2, "", Outcome::before_store, "invalid restart neighbor state"},
        {"a letter in the water dt", "11", Op::letter, 2, "", Outcome::before_store, "invalid restart Water dt state"},
        {"a letter in the gas EOS type", "12", Op::letter, 0, "", Outcome::emptied, "invalid restart Gas EOS state"},
        {"a letter in the bubble", "17", Op::letter, 6, "", Outcome::emptied, "invalid restart Gas bubble state"},
        {"33 gas materials", "19", Op::replace, 0, "33", Outcome::emptied, "invalid restart Gas material table"},
        {"-1 gas materials", "19", Op::replace, 0, "-1", Outcome::emptied, "invalid restart Gas material table"},
        {"a gas EOS flag that is no logical", "19a.1", Op::replace, 2, "X", Outcome::emptied,
         "invalid restart Gas material table"},
        {"a letter in a position", "20b.3", Op::letter, 4, "", Outcome::emptied, "restart file ended unexpectedly"},
        {"a half-step velocity short", "20b.3", Op::drop, -1, "", Outcome::emptied,
         "restart file ended unexpectedly"},
        {"a letter in a gas source", "21.5", Op::letter, 1, "", Outcome::after_store, "invalid restart Gas source state"},
        {"33 explosive materials", "E1", Op::replace, 0, "33", Outcome::after_store,
         "restart Explosive material count is out of range"},
        {"-1 explosive materials", "E1", Op::replace, 0, "-1", Outcome::after_store,
         "restart Explosive material count is out of range"},
        {"a word for the explosive count", "E1", Op::replace, 0, "two", Outcome::after_store,
         "invalid restart Explosive material count"},
        {"a letter in a conversion mode", "E2a.2", Op::letter, 5, "", Outcome::after_store,
         "invalid restart Explosive material row"},
        {"a letter in a burn time", "E2b.1", Op::letter, 3, "", Outcome::after_store,
         "invalid restart Explosive control row"},
        {"33 ignitions", "E3", Op::replace, 0, "33", Outcome::after_store,
         "restart Explosive ignition count is out of range"},
        {"a letter in an ignition time", "E4.2", Op::letter, 4, "", Outcome::after_store,
         "invalid restart Explosive ignition row"},
        {"a letter in the reaction step", "E5", Op::letter, 0, "", Outcome::after_store,
         "invalid restart Explosive dt state"},
        {"a letter in a conversion count", "E6", Op::letter, 1, "", Outcome::after_store,
         "invalid restart Explosive conversion counts"},
        {"a letter in a source total", "E7", Op::letter, 4, "", Outcome::after_store,
         "invalid restart Explosive source totals"},
        {"a letter in the mass balance", "E8", Op::letter, 3, "", Outcome::after_store,
         "invalid restart Explosive mass balance"},
        {"a letter in the energy balance", "E9", Op::letter, 1, "", Outcome::after_store,
         "invalid restart Explosive energy balance"},
        {"a letter in the momentum balance", "E10", Op::letter, 2, "", Outcome::after_store,
         "invalid restart Explosive momentum balance"},
        {"a letter in a remaining mass", "E11.8", Op::letter, 10, "", Outcome::after_store,
         "invalid restart Explosive particle state"},
        {"33 solid materials", "S1", Op::replace, 1, "33", Outcome::after_store, solid},
        {"a solid flag that is no logical", "S2a.1", Op::replace, 3, "1", Outcome::after_store, solid},
        {"a state flag that is no logical", "S10", Op::replace, 0, "X", Outcome::after_store, solid},
        {"a real failure status", "S11-3.12", Op::replace, 7, "0.5", Outcome::after_store, solid},
        {"a letter in an internal acceleration", "S11-9.23", Op::letter, 2, "", Outcome::after_store, solid},
        {"another section mark", "K1", Op::replace, 0, "QUORREL_COUPLING_STATUS", Outcome::after_store, coupling},
        {"33 regions", "K2", Op::replace, 0, "33", Outcome::after_store, coupling},
        {"513 members", "K4.1", Op::replace, 11, "513", Outcome::after_store, coupling},
        {"member 0", "K5.2", Op::replace, 0, "0", Outcome::after_store, coupling},
        {"member 24 of 23 particles", "K5.5", Op::replace, 0, "24", Outcome::after_store, coupling},
        {"a letter in a member", "K5.3", Op::letter, 3, "", Outcome::after_store, coupling},
        {"a letter in the cumulative work", "K7", Op::letter, 0, "", Outcome::after_store, coupling},
        {"three counters", "K8", Op::drop, -1, "", Outcome::read, ""},
        {"a word for the fourth counter", "K8", Op::replace, 3, "x", Outcome::read, ""},
        {"a letter in a second counter", "K8", Op::letter, 1, "", Outcome::after_store, coupling},
        {"no ninth import counter", "K9", Op::drop, -1, "", Outcome::read, ""},
        {"a ninth import counter of 77", "K9", Op::replace, 8, "77", Outcome::read, ""},
        {"a letter in the epoch", "K9", Op::letter, 0, "", Outcome::after_store, coupling},
        {"a letter in the largest penetration", "K12", Op::letter, 2, "", Outcome::after_store, coupling},
        {"a particle count of 24", "K13", Op::replace, 0, "24", Outcome::after_store, coupling},
        {"a particle count of 22", "K13", Op::replace, 0, "22", Outcome::after_store, coupling},
        {"a letter in a contact flag", "K14.20", Op::letter, 17, "", Outcome::after_store, coupling},
        {"a motion row short", "K14.12", Op::drop, -1, "", Outcome::after_store, coupling},
    };
    ASSERT_EQ(lines_.size(), layout_.size());
    const std::string damaged = path("damaged.rst");
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.what);
        std::vector<std::string> lines = lines_;
        std::string& line = lines[line_of(layout_, e.label)];
        std::vector<std::string> t = tokens(line);
        const std::size_t k = e.token < 0 ? t.size() - 1 : static_cast<std::size_t>(e.token);
        ASSERT_LT(k, t.size());
        switch (e.op) {
            case Op::replace: t[k] = e.text; break;
            case Op::letter: t[k] = t[k].substr(0, 1) + "x" + t[k].substr(1); break;
            case Op::drop: t.erase(t.begin() + static_cast<std::ptrdiff_t>(k)); break;
            case Op::append: t.push_back(e.text); break;
        }
        line = untokens(t);
        old_model();
        spill(damaged, join_crlf(lines, lines.size()));
        const int st = sph_read_restart(damaged);
        if (e.outcome == Outcome::read) {
            EXPECT_EQ(st, 0) << sph_error_message();
            EXPECT_TRUE(model_built());
            EXPECT_EQ(sph_database.npart, 23);
        } else {
            expect_failure(st, sph_error_input, e.message);
            EXPECT_EQ(model_built(), e.outcome == Outcome::kept);
            EXPECT_EQ(sph_database.npart, e.outcome == Outcome::after_store ? 23 : e.outcome == Outcome::emptied ? 0 : 2);
        }
        intact_runs_on();
    }
}

// What the accepted edits read as: a three-integer counter line gives an imported-force count
// of 0, a ninth import counter is read over and written as 0 again.
TEST_F(DamagedRestart, AcceptedCounterLines) {
    const std::size_t k8 = line_of(layout_, "K8"), k9 = line_of(layout_, "K9");
    std::vector<std::string> lines = lines_;
    std::vector<std::string> counters = tokens(lines[k8]);
    ASSERT_EQ(counters.size(), 4u);
    counters[3] = "5";
    lines[k8] = untokens(counters);
    const std::string four = path("four.rst");
    spill(four, join_crlf(lines, lines.size()));
    ASSERT_EQ(sph_read_restart(four), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_imported_force_count, 5);
    counters.pop_back();
    lines[k8] = untokens(counters);
    std::vector<std::string> imports = tokens(lines[k9]);
    ASSERT_EQ(imports.size(), 9u);
    EXPECT_EQ(imports[8], "0");
    imports[8] = "77";
    lines[k9] = untokens(imports);
    const std::string three = path("three.rst");
    spill(three, join_crlf(lines, lines.size()));
    ASSERT_EQ(sph_read_restart(three), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_imported_force_count, 0);
    const std::string again = path("again.rst");
    ASSERT_EQ(sph_write_restart(again), 0);
    EXPECT_EQ(tokens(crlf_lines(slurp(again))[k9]).at(8), "0");
}

// ---- Writing ----

// The names in a directory, sorted: what a write leaves behind.
std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

using Names = std::vector<std::string>;

// A write that cannot finish leaves an earlier file of that name as it was and no temporary
// file: a missing directory, a target that is a directory, and a file-size limit anywhere in
// the file (set in a child process, with the signal it raises ignored, so that the writes
// themselves fail). At a limit of exactly the file's size the write succeeds.
TEST_F(Restart, FailedWritesKeepTheEarlierFile) {
    build(deck("restart_all.inp"));
    run(2, true);
    const std::string reference = path("reference.rst");
    ASSERT_EQ(sph_write_restart(reference), 0);
    const std::string full = slurp(reference);
    const std::string earlier = "an earlier file\r\n";

    expect_failure(sph_write_restart(path("missing/x.rst")), sph_error_io, "failed to open restart file for writing");
    EXPECT_FALSE(fs::exists(path("missing")));

    const std::string folder = path("folder.rst");
    fs::create_directory(folder);
    expect_failure(sph_write_restart(folder), sph_error_io, "failed to open restart file for writing");
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_EQ(names_in(dir_.string()), (Names{"folder.rst", "reference.rst"}));

    const std::string target = path("limited.rst");
    const rlim_t size = full.size();
    for (const rlim_t limit : {rlim_t{0}, rlim_t{1}, rlim_t{100}, size / 2, size - 1, size}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        spill(target, earlier);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit rl{limit, limit};
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(20);
            const int st = sph_write_restart(target);
            if (st == 0) _exit(0);
            _exit(st == sph_error_io && sph_error_message() == "failed to write restart file" ? 1 : 10 + st);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), limit == size ? 0 : 1);
        EXPECT_TRUE(slurp(target) == (limit == size ? full : earlier));
        EXPECT_EQ(names_in(dir_.string()), (Names{"folder.rst", "limited.rst", "reference.rst"}));
    }
}

// Files of the user's that carry the name the temporary file once had, "<target>.tmp", a
// regular file and a directory, are left as they are, and the write succeeds beside them.
TEST_F(Restart, UsersTmpFilesAreNeverTouched) {
    build(deck("out_fall.inp"));
    const std::string reference = path("reference.rst");
    ASSERT_EQ(sph_write_restart(reference), 0);
    const std::string mine = "the user's own file\r\n";
    const std::string target = path("model.rst"), folder_target = path("other.rst");
    spill(target, "an earlier file\r\n");
    spill(target + ".tmp", mine);
    fs::create_directory(folder_target + ".tmp");
    spill(folder_target + ".tmp/inside", mine);
    ASSERT_EQ(sph_write_restart(target), 0) << sph_error_message();
    ASSERT_EQ(sph_write_restart(folder_target), 0) << sph_error_message();
    EXPECT_TRUE(slurp(target) == slurp(reference));
    EXPECT_TRUE(slurp(folder_target) == slurp(reference));
    EXPECT_EQ(slurp(target + ".tmp"), mine);
    EXPECT_EQ(slurp(folder_target + ".tmp/inside"), mine);
    EXPECT_EQ(names_in(dir_.string()), (Names{"model.rst", "model.rst.tmp", "other.rst", "other.rst.tmp", "reference.rst"}));
}

// A symbolic link stays a link, and the file it names receives the new contents; so does
// the end of a chain of links, and a link whose target does not exist yet creates that
// target. Nothing else is left in the directories. A loop of links cannot be written.
TEST_F(Restart, SymbolicLinksStayLinks) {
    build(deck("out_fall.inp"));
    const std::string reference = path("reference.rst");
    ASSERT_EQ(sph_write_restart(reference), 0);
    const std::string expected = slurp(reference);
    fs::create_directory(path("data"));
    struct Case {
        const char* name;
        std::string link, link_to;  // the link written to and its text
        std::string second, second_to;  // a second link of a chain, or none
        std::string file;               // the file that must hold the contents
        bool file_exists;
    };
    const Case cases[] = {
        {"relative link", "rel.rst", "data/a.rst", "", "", "data/a.rst", true},
        {"absolute link", "abs.rst", path("data/b.rst"), "", "", "data/b.rst", true},
        {"chain of two links", "chain.rst", "data/hop.rst", "data/hop.rst", "c.rst", "data/c.rst", true},
        {"link to a file not there yet", "dangling.rst", "data/new.rst", "", "", "data/new.rst", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.file_exists) spill(path(c.file), "an earlier file\r\n");
        fs::create_symlink(c.link_to, path(c.link));
        if (!c.second.empty()) fs::create_symlink(c.second_to, path(c.second));
        ASSERT_EQ(sph_write_restart(path(c.link)), 0) << sph_error_message();
        EXPECT_TRUE(fs::is_symlink(path(c.link)));
        std::error_code ec;
        EXPECT_EQ(fs::read_symlink(path(c.link), ec).string(), c.link_to);
        if (!c.second.empty()) {
            EXPECT_TRUE(fs::is_symlink(path(c.second)));
        }
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path(c.file))));
        EXPECT_TRUE(slurp(path(c.file)) == expected);
    }
    EXPECT_EQ(names_in(dir_.string()), (Names{"abs.rst", "chain.rst", "dangling.rst", "data", "reference.rst", "rel.rst"}));
    EXPECT_EQ(names_in(path("data")), (Names{"a.rst", "b.rst", "c.rst", "hop.rst", "new.rst"}));

    fs::create_symlink("loop_b.rst", path("loop_a.rst"));
    fs::create_symlink("loop_a.rst", path("loop_b.rst"));
    expect_failure(sph_write_restart(path("loop_a.rst")), sph_error_io, "failed to open restart file for writing");
    EXPECT_TRUE(fs::is_symlink(path("loop_a.rst")));
    EXPECT_TRUE(fs::is_symlink(path("loop_b.rst")));
}

// What a child process that ran `body` ended with: its exit status, or 128 plus the
// signal that ended it. An alarm ends a body that waits for good.
int in_child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        alarm(10);
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A Unix socket bound at `name`, left in place when this process closes it.
void make_socket(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(name.size(), sizeof address.sun_path);
    std::copy(name.begin(), name.end(), address.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

// A FIFO or a socket is never opened for writing: the write fails at once with the open's
// message, a reader holding the FIFO open receives nothing, and the name stays what it
// was. Each write runs in a child process, which an alarm ends if the open waits.
TEST_F(Restart, FifosAndSocketsAreNotWritten) {
    build(deck("restart_all.inp"));
    run(2, true);
    const std::string with_reader = path("read.rst"), without_reader = path("unread.rst"), socket = path("sock.rst");
    ASSERT_EQ(mkfifo(with_reader.c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(without_reader.c_str(), 0644), 0);
    make_socket(socket);
    const int fd = ::open(with_reader.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    for (const std::string& target : {with_reader, without_reader, socket}) {
        SCOPED_TRACE(target);
        const int ended = in_child([&target] {
            const int st = sph_write_restart(target);
            return st == sph_error_io && sph_error_message() == "failed to open restart file for writing" ? 0 : 1;
        });
        EXPECT_EQ(ended, 0) << "1: another outcome, 128 + n: ended by signal n";
    }
    char byte = 0;
    EXPECT_LE(::read(fd, &byte, 1), 0);
    ::close(fd);
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(with_reader)));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(without_reader)));
    EXPECT_TRUE(fs::is_socket(fs::symlink_status(socket)));
    EXPECT_EQ(names_in(dir_.string()), (Names{"read.rst", "sock.rst", "unread.rst"}));
}

// A C caller that leaves SIGPIPE at its default and writes to a FIFO whose reader goes
// away after a few bytes lives on: the write is refused with code 3. The pipe is made
// small, so that a write in place would fill it long before the file ends.
TEST_F(Restart, ReaderLeavingEarlyKillsNoCaller) {
    build(deck("restart_all.inp"));
    run(2, true);
    const std::string fifo = path("pipe.rst");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const int ended = in_child([&fifo] {
        signal(SIGPIPE, SIG_DFL);
        const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0) return 20;
        (void)fcntl(fd, F_SETPIPE_SZ, 4096);
        std::thread reader([fd] {
            pollfd p{fd, POLLIN, 0};
            (void)poll(&p, 1, 300);
            char buffer[100];
            (void)::read(fd, buffer, sizeof buffer);
            ::close(fd);
        });
        const int st = quorrel_write_restart(fifo.c_str());
        reader.join();
        return st == sph_error_io ? 0 : 1;
    });
    EXPECT_EQ(ended, 0) << "1: another outcome, 128 + n: ended by signal n";
}

// The new file takes the permission bits of the file it replaces, and its owner and group
// where the writer may set them (another user's only for root); a new name takes
// 0666 less the umask (027 here). The contents are the reference's either way.
TEST_F(Restart, ReplacedFilesKeepTheirModeAndOwner) {
    build(deck("out_fall.inp"));
    const std::string reference = path("reference.rst");
    ASSERT_EQ(sph_write_restart(reference), 0);
    const bool root = ::geteuid() == 0;
    struct Case {
        const char* name;
        bool exists;
        mode_t mode;     // of the earlier file, and expected of the new one
        bool another_user;  // the earlier file belongs to uid and gid 65534
    };
    const Case cases[] = {
        {"private.rst", true, 0600, false},
        {"shared.rst", true, 0664, false},
        {"runnable.rst", true, 0750, false},
        {"theirs.rst", true, 0640, true},
        {"new.rst", false, 0640, false},
    };
    const mode_t old_umask = ::umask(027);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.another_user && !root) continue;
        const std::string target = path(c.name);
        if (c.exists) {
            spill(target, "an earlier file\r\n");
            ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
            if (c.another_user) {
                ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
            }
        }
        EXPECT_EQ(sph_write_restart(target), 0) << sph_error_message();
        struct stat st {};
        ASSERT_EQ(::lstat(target.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(st.st_uid, c.another_user ? 65534u : ::geteuid());
        EXPECT_EQ(st.st_gid, c.another_user ? 65534u : ::getegid());
        EXPECT_TRUE(slurp(target) == slurp(reference));
    }
    ::umask(old_umask);
}

// Names of 249 to 255 bytes, the most a name may have, new and replacing a file: the
// temporary name "<name>.XXXXXX" would pass the limit, so a shorter one is used, and
// nothing but the target is left.
TEST_F(Restart, LongNamesAreWritten) {
    build(deck("out_fall.inp"));
    const std::string reference = path("reference.rst");
    ASSERT_EQ(sph_write_restart(reference), 0);
    const std::string expected = slurp(reference);
    for (const std::size_t length : {248u, 249u, 250u, 254u, 255u}) {
        for (const bool exists : {false, true}) {
            SCOPED_TRACE(std::to_string(length) + (exists ? " bytes, replacing a file" : " bytes, new"));
            const std::string name = std::string(length - 4, exists ? 'e' : 'n') + ".rst";
            if (exists) spill(path(name), "an earlier file\r\n");
            EXPECT_EQ(sph_write_restart(path(name)), 0) << sph_error_message();
            EXPECT_TRUE(slurp(path(name)) == expected);
            EXPECT_EQ(names_in(dir_.string()), (Names{name, "reference.rst"}));
            fs::remove(path(name));
        }
    }
}

// A link another user planted in a sticky, world-writable directory is not followed for
// root when the kernel forbids it (fs.protected_symlinks): the write fails at the open and
// the file the link names keeps its contents.
TEST_F(Restart, KernelRefusalOfAPlantedLinkApplies) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, which may set the link's owner";
    std::ifstream setting("/proc/sys/fs/protected_symlinks");
    int protected_symlinks = 0;
    if (!(setting >> protected_symlinks) || protected_symlinks != 1)
        GTEST_SKIP() << "fs.protected_symlinks is off here";
    build(deck("out_fall.inp"));
    const std::string shared = path("shared"), victim = path("victim.rst"), link = path("shared/planted.rst");
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    spill(victim, "root's own file\r\n");
    fs::create_symlink(victim, link);
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    expect_failure(sph_write_restart(link), sph_error_io, "failed to open restart file for writing");
    EXPECT_EQ(slurp(victim), "root's own file\r\n");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(names_in(shared), (Names{"planted.rst"}));
}

// A device node is written in place and stays the device: a clone of /dev/null (character
// device 1, 3) made in the scratch directory. Making one needs root.
TEST_F(Restart, DeviceNodeIsWrittenInPlace) {
    if (::geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    const std::string node = path("nulldev");
    if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "mknod refused here";
    const int probe = ::open(node.c_str(), O_WRONLY);
    if (probe < 0) GTEST_SKIP() << "device nodes cannot be opened on this file system";
    ::close(probe);
    build(deck("out_fall.inp"));
    ASSERT_EQ(sph_write_restart(node), 0) << sph_error_message();
    struct stat st {};
    ASSERT_EQ(::lstat(node.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 1u);
    EXPECT_EQ(minor(st.st_rdev), 3u);
    EXPECT_EQ(names_in(dir_.string()), (Names{"nulldev"}));
}

// ---- Reading ----

// A file that cannot be opened changes nothing: the model stays built, with its particles.
// A directory counts as such a file.
TEST_F(Restart, MissingFileKeepsTheModel) {
    fs::create_directory(path("folder.rst"));
    for (const char* name : {"absent.rst", "folder.rst"}) {
        SCOPED_TRACE(name);
        build(deck("out_fall.inp"));
        expect_failure(sph_read_restart(path(name)), sph_error_io, "failed to open restart file for reading");
        EXPECT_TRUE(model_built());
        EXPECT_EQ(sph_database.npart, 2);
        double dt = 0.0;
        EXPECT_EQ(sph_estimate_stable_dt(dt), 0);
    }
}

// Restart files come from regular files only: a device, a FIFO without a writer and a
// socket fail at once with code 3, and the model before the read stays built. Each read
// runs in a child process, which an alarm ends if the open waits.
TEST_F(Restart, OnlyRegularFilesAreRead) {
    build(deck("out_fall.inp"));
    const std::string fifo = path("pipe.rst"), socket = path("sock.rst");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    make_socket(socket);
    for (const std::string& name : {std::string("/dev/zero"), fifo, socket}) {
        SCOPED_TRACE(name);
        const int ended = in_child([&name] {
            const int st = sph_read_restart(name);
            if (st != sph_error_io || sph_error_message() != "restart file is not a regular file") return 1;
            return model_built() && sph_database.npart == 2 ? 0 : 2;
        });
        EXPECT_EQ(ended, 0) << "1: another outcome, 2: the model was lost, 128 + n: ended by signal n";
    }
}

// The memory of a read follows the bytes it has read, not the count a file declares: a
// file whose second record declares 10^7 particles and which is then extended, sparse, to
// 60 MB (its apparent size allows the count) fails at the record the zeros reach and
// grows the peak resident size by far less than the 3 GB such a store would take. Cut
// before the gas records, it fails at the gas EOS; cut after the 23 particles of the
// file, at the first missing particle. In child processes.
TEST_F(DamagedRestart, DeclaredCountCostsNoMemory) {
    std::vector<std::string> lines = lines_;
    std::vector<std::string> counts = tokens(lines[1]);
    ASSERT_EQ(counts.at(2), "23");
    counts[2] = "10000000";
    lines[1] = untokens(counts);
    struct Case {
        const char* what;
        const char* first_cut;  // the label of the first line left out
        const char* message;
    };
    const Case cases[] = {
        {"cut before the gas records", "12", "invalid restart Gas EOS state"},
        {"cut after the particles", "21.1", "restart file ended unexpectedly"},
    };
    const std::string sparse = path("sparse.rst");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        spill(sparse, join_crlf(lines, line_of(layout_, c.first_cut)));
        ASSERT_EQ(::truncate(sparse.c_str(), 60'000'000), 0);
        const int ended = in_child([&] {
            const long before = peak_resident_kib();
            const int st = sph_read_restart(sparse);
            const long grown = peak_resident_kib() - before;
            if (st != sph_error_input || sph_error_message() != c.message) return 1;
            return grown < 16 * 1024 ? 0 : 2;
        });
        EXPECT_EQ(ended, 0) << "1: another outcome, 2: memory grew by 16 MiB or more";
    }
}

// A source that never ends a line: /dev/zero, through the C entry point, fails at once as
// no regular file and holds no more memory than one buffer. In a child process, which an alarm
// ends if the read does not return; the growth of its peak resident size is measured.
TEST_F(Restart, EndlessLineFailsAtOnce) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(10);
        const long before = peak_resident_kib();
        const int st = quorrel_read_restart("/dev/zero");
        const long grown = peak_resident_kib() - before;
        if (st != sph_error_io || sph_error_message() != "restart file is not a regular file") _exit(1);
        _exit(grown < 16 * 1024 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the read did not return (signal " << WTERMSIG(status) << ")";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong failure, 2: memory grew by 16 MiB or more";
}

// What the file does not hold starts empty: the record tables, the shell state, the blast
// regions and the blast load of the model before the read; the PVD table stays, and the
// output directory is the file's ("output", which blast_summary.inp leaves as it is).
TEST_F(Restart, WhatTheFileLacksIsReset) {
    build(deck("blast_summary.inp"));
    run(1, false);
    const std::string file = path("blast.rst");
    ASSERT_EQ(sph_write_restart(file), 0);
    build(deck("blast_summary.inp"));
    run(1, false);
    ASSERT_EQ(sph_set_output_directory(dir_.string()), 0);
    ASSERT_EQ(sph_write_output(1, 0.5), 0) << sph_error_message();
    ASSERT_TRUE(sph_shell_state_present());
    ASSERT_EQ(sph_blast.blast_region_count, 1);
    ASSERT_FALSE(sph_blast_load.blast_solid_external_force.empty());
    ASSERT_EQ(sph_read_restart(file), 0) << sph_error_message();
    EXPECT_FALSE(sph_shell_state_present());
    EXPECT_EQ(sph_blast.blast_region_count, 0);
    EXPECT_TRUE(sph_blast_load.blast_solid_external_force.empty());
    EXPECT_TRUE(sph_blast_load.blast_shell_external_force.empty());
    EXPECT_TRUE(sph_database.materials.empty());
    EXPECT_TRUE(sph_database.sections.empty());
    EXPECT_TRUE(sph_database.nsets.empty());
    EXPECT_TRUE(sph_database.elsets.empty());
    EXPECT_TRUE(sph_database.elements.empty());
    EXPECT_EQ(sph_control.output_directory, "output");
    EXPECT_EQ(sph_output_vtu.pvd_entry_count, 1);
}

// A file without explosive material read over a burning charge of the same particle count
// (eight): the explosive table and every per-particle value come back empty. A file whose
// solid state flag is F (the state's records taken out) read over a solid model of the same
// count: no solid state remains.
TEST_F(Restart, EqualParticleCountsInheritNothing) {
    build(deck("restart_water.inp"));
    const std::string water = path("water.rst");
    ASSERT_EQ(sph_write_restart(water), 0);
    build(deck("restart_explosive.inp"));
    run(5, false);
    ASSERT_GT(sph_explosive_state.explosive_reaction_progress[0], 0.0);
    ASSERT_EQ(sph_read_restart(water), 0) << sph_error_message();
    const SphExplosiveState& e = sph_explosive_state;
    EXPECT_EQ(e.explosive_material_count, 0);
    EXPECT_FALSE(e.explosive_material_seen);
    EXPECT_EQ(e.explosive_ignition_count, 0);
    expect_all(e.explosive_ignition_status, 8, 0);
    expect_all(e.explosive_reaction_progress, 8, 0.0);
    expect_all(e.explosive_released_mass, 8, 0.0);
    expect_all(e.explosive_initial_mass, 8, 0.0);
    expect_all(e.explosive_released_momentum, 24, 0.0);

    build(deck("restart_solid.inp"));
    run(2, true);
    const std::string solid = path("solid.rst");
    ASSERT_EQ(sph_write_restart(solid), 0);
    Counts counts;
    counts.n = 12;
    counts.solid_materials = 1;
    counts.solid_state = true;
    counts.region_members = {4, 4, 4};
    const std::vector<LayoutLine> layout = newest_layout(counts);
    std::vector<std::string> lines = crlf_lines(slurp(solid));
    ASSERT_EQ(lines.size(), layout.size());
    const std::size_t s10 = line_of(layout, "S10");
    ASSERT_EQ(lines[s10], "T");
    lines[s10] = "F";
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(s10) + 1,
                lines.begin() + static_cast<std::ptrdiff_t>(line_of(layout, "K1")));
    spill(solid, join_crlf(lines, lines.size()));
    ASSERT_TRUE(sph_solid_state_present());
    ASSERT_EQ(sph_read_restart(solid), 0) << sph_error_message();
    EXPECT_FALSE(sph_solid_state_present());
    EXPECT_TRUE(sph_solid_state.solid_stress.empty());
    EXPECT_EQ(sph_solid.solid_material_count, 1);
}

// The body accelerations after a read are those a build leaves: the water body force on the
// active water, the gas body force on the active gas, the burnt-out TNT particle that became
// gas included, and nothing on explosive, solid (failed or not) and shell particles.
TEST_F(Restart, BodyAccelerationsAreRebuilt) {
    build(deck("restart_all.inp"));
    const double water_force[3] = {1.0, 2.0, 3.0}, gas_force[3] = {-4.0, 5.0, -6.0};
    ASSERT_EQ(sph_water_set_body_force(water_force), 0);
    ASSERT_EQ(sph_gas_set_body_force(gas_force), 0);
    run(9, true);
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.particle_phase[7], sph_phase_gas);  // the first TNT particle, burnt
    ASSERT_EQ(d.particle_phase[8], sph_phase_explosive);
    const std::string file = path("all.rst");
    ASSERT_EQ(sph_write_restart(file), 0);
    sph_initialize();
    ASSERT_EQ(sph_read_restart(file), 0) << sph_error_message();
    int water = 0, gas = 0;
    for (std::size_t i = 0; i < 23; ++i) {
        SCOPED_TRACE(i);
        const double* expected = nullptr;
        if (d.particle_status[i] == sph_status_active && d.particle_phase[i] == sph_phase_water) {
            expected = water_force;
            ++water;
        }
        if (d.particle_status[i] == sph_status_active && d.particle_phase[i] == sph_phase_gas) {
            expected = gas_force;
            ++gas;
        }
        const double zero[3] = {0.0, 0.0, 0.0};
        if (!expected) expected = zero;
        expect_triple(&d.acc_body[3 * i], expected[0], expected[1], expected[2]);
    }
    EXPECT_EQ(water, 4);
    EXPECT_EQ(gas, 4);
}

// A force buffered before the write acts on the first step after the read. out_fall.inp: the
// second particle (node 11, mass 2) is TOPREGION's member; after two steps of 2^-12 both move
// at v = -8 * 2 / 4096 = -2^-8. A force (0, 0, 16) gives it 16 / 2 = 8 against g = 8, so over
// the third step it keeps v = -2^-8 while the first reaches -8 * 3 / 4096 = -0.005859375; the
// impulse 16 * 2^-12 = 2^-8 joins the cumulative total. The read puts the member on the list
// of particles whose buffers the step clears, so over the fourth step the force is gone:
// v = -2^-8 - 8 / 4096 = -0.005859375, the first at -8 * 4 / 4096 = -0.0078125.
TEST_F(Restart, BufferedForcesActAfterTheRead) {
    build(deck("out_fall.inp"));
    ASSERT_EQ(sph_advance_explicit(0.000244140625), 0);
    ASSERT_EQ(sph_advance_explicit(0.000244140625), 0);
    const int index[1] = {1};
    const double force[3] = {0.0, 0.0, 16.0};
    ASSERT_EQ(quorrel_coupling_apply_particle_forces(1, 1, index, force), 0);
    const std::string file = path("force.rst");
    ASSERT_EQ(sph_write_restart(file), 0);
    sph_initialize();
    ASSERT_EQ(sph_read_restart(file), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_imported_force_count, 1);
    ASSERT_EQ(sph_advance_explicit(0.000244140625), 0) << sph_error_message();
    EXPECT_EQ(sph_database.v[2], -0.005859375);
    EXPECT_EQ(sph_database.v[5], -0.00390625);
    EXPECT_EQ(sph_coupling.coupling_cumulative_impulse[2], 0.00390625);
    ASSERT_EQ(sph_advance_explicit(0.000244140625), 0) << sph_error_message();
    EXPECT_EQ(sph_database.v[2], -0.0078125);
    EXPECT_EQ(sph_database.v[5], -0.005859375);
    EXPECT_EQ(sph_coupling.coupling_external_force[5], 0.0);
    EXPECT_EQ(sph_coupling.coupling_cumulative_impulse[2], 0.00390625);
}

// ---- Validation ----

// Free fall across a restart, exactly: out_fall.inp takes steps of dt = 2^-12 under g = 8 from
// z0 = 2 at rest. Leapfrog with a constant acceleration is exact, and every value is a short
// binary fraction: after n steps t = n 2^-12, v = -g t = -n 2^-9 and z = z0 - g t^2 / 2 =
// 2 - n^2 2^-22. Three steps, a restart file, a fresh interface reading it, five steps more.
TEST_F(Restart, FreeFallAcrossARestart) {
    build(deck("out_fall.inp"));
    const double dt = 0.000244140625;
    const auto check = [](int n) {
        SCOPED_TRACE("step " + std::to_string(n));
        const double t = n * 0.000244140625;
        EXPECT_EQ(sph_control.current_step, n);
        EXPECT_EQ(sph_control.current_time, t);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(sph_database.x[3 * i + 2], 2.0 - 8.0 * t * t / 2.0);
            EXPECT_EQ(sph_database.v[3 * i + 2], -8.0 * t);
            EXPECT_EQ(sph_database.v[3 * i + 2], -n / 512.0);
            EXPECT_EQ(sph_database.x[3 * i + 2], 2.0 - n * n / 4194304.0);
        }
    };
    for (int n = 1; n <= 3; ++n) {
        ASSERT_EQ(sph_advance_explicit(dt), 0);
        check(n);
    }
    const std::string file = path("fall.rst");
    ASSERT_EQ(sph_write_restart(file), 0);
    sph_finalize();
    sph_initialize();
    ASSERT_EQ(sph_read_restart(file), 0) << sph_error_message();
    check(3);
    for (int n = 4; n <= 8; ++n) {
        ASSERT_EQ(sph_advance_explicit(dt), 0);
        check(n);
    }
}

}  // namespace
