// The summary CSV of the step output: a golden run, the water, solid, blast and coupling
// rows of small hand-worked models, the file name and the failure to open it. Every
// summary file a test leaves in its scratch directory is read once more at the end of the
// test by a plain CSV reader of its own and must give two columns of numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "blast/sph_blast_load.h"
#include "core/sph_control.h"
#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "input/sph_input_reader.h"
#include "interface/sph_api.h"
#include "lifecycle/sph_lifecycle.h"
#include "output/sph_output.h"
#include "output/sph_output_vtu.h"
#include "output_test_support.h"
#include "quorrel_test.h"

namespace quorrel::test {
namespace {

namespace fs = std::filesystem;

const std::string decks = QUORREL_TEST_DECKS;
constexpr double dt = 0.0009765625;  // 2^-10, the step of every deck here

// ---- The rows a summary must have, from the layout of the file ----

void add(std::vector<std::string>& names, std::initializer_list<const char*> list) {
    for (const char* n : list) names.emplace_back(n);
}
void add_xyz(std::vector<std::string>& names, const std::string& base) {
    for (const char* axis : {"_x", "_y", "_z"}) names.push_back(base + axis);
}

// The 101 + 38 R metric names of a file with R blast regions, in file order.
std::vector<std::string> expected_names(int regions) {
    std::vector<std::string> n;
    add(n, {"step", "time", "water_mass"});
    add_xyz(n, "water_momentum");
    add(n, {"max_pressure", "min_density", "max_density", "dtcrit", "gas_particles", "gas_mass", "gas_volume"});
    add_xyz(n, "gas_center");
    add(n, {"gas_mean_pressure", "gas_max_pressure"});
    add_xyz(n, "gas_momentum");
    add(n, {"gas_min_density", "gas_max_density", "gas_equivalent_radius", "gas_radius_rate", "gas_dt_cfl",
            "gas_dt_accel", "gas_dtcrit", "gas_source_mass", "gas_source_energy"});
    add_xyz(n, "gas_source_momentum");
    add(n, {"explosive_particles", "explosive_reacted_particles", "explosive_lambda_min", "explosive_lambda_max",
            "explosive_lambda_mean", "explosive_released_mass", "explosive_released_energy"});
    add_xyz(n, "explosive_released_momentum");
    add(n, {"explosive_detonation_time_min", "explosive_detonation_time_max", "explosive_initial_mass",
            "explosive_remaining_mass", "explosive_release_mass_error", "explosive_release_energy_error",
            "explosive_converted_particles", "explosive_source_particles", "explosive_source_mass_total",
            "explosive_source_energy_total"});
    add_xyz(n, "explosive_source_momentum");
    add(n, {"solid_particles", "solid_failed_particles", "solid_mass"});
    add_xyz(n, "solid_momentum");
    add(n, {"solid_kinetic_energy", "solid_internal_energy", "solid_max_von_mises", "solid_plastic_strain_min",
            "solid_plastic_strain_max", "solid_damage_min", "solid_damage_max", "solid_softening_min",
            "solid_softening_max", "solid_max_strain_rate", "solid_max_acceleration",
            "solid_internal_force_residual", "solid_reference_neighbor_min", "solid_correction_det_min",
            "solid_correction_status", "solid_dt_cfl", "solid_dt_accel", "solid_dtcrit"});
    n.emplace_back("blast_regions");
    for (int r = 1; r <= regions; ++r) {
        const std::string suffix = "_" + std::to_string(r);
        for (const char* base : {"blast_source_count", "blast_target_count", "blast_pair_count", "blast_water_count",
                                 "blast_gas_count", "blast_explosive_count", "blast_skipped_sources",
                                 "blast_skipped_targets", "blast_load_targets", "blast_load_pairs",
                                 "blast_zero_weight", "blast_nonfinite_loads", "blast_source_mass",
                                 "blast_source_energy", "blast_source_pressure_mean", "blast_gas_volume",
                                 "blast_explosive_progress_mean", "blast_water_pressure_min",
                                 "blast_water_pressure_max"})
            n.push_back(base + suffix);
        for (const char* base :
             {"blast_solid_force", "blast_shell_force", "blast_total_force", "blast_impulse", "blast_momentum_input"})
            for (const char* axis : {"_x", "_y", "_z"}) n.push_back(std::string(base) + axis + suffix);
        for (const char* base : {"blast_work", "blast_energy_input", "blast_max_particle_force", "blast_max_acceleration"})
            n.push_back(base + suffix);
    }
    add(n, {"coupling_regions", "coupling_particles", "coupling_facets"});
    add_xyz(n, "coupling_force");
    add_xyz(n, "coupling_impulse");
    add(n, {"coupling_work", "coupling_energy_exchange", "coupling_nonfinite_imports", "coupling_stale_loads",
            "coupling_active_contacts", "coupling_skipped_contacts", "coupling_max_pressure", "coupling_max_traction",
            "coupling_max_penetration", "coupling_force_balance_error", "coupling_moment_balance_error"});
    return n;
}

// Integer rows; every other row is a real.
bool is_integer_row(std::string_view name) {
    static const char* const integers[] = {
        "step", "gas_particles", "explosive_particles", "explosive_reacted_particles",
        "explosive_converted_particles", "explosive_source_particles", "solid_particles", "solid_failed_particles",
        "solid_reference_neighbor_min", "solid_correction_status", "blast_regions", "coupling_regions",
        "coupling_particles", "coupling_facets", "coupling_nonfinite_imports", "coupling_stale_loads",
        "coupling_active_contacts", "coupling_skipped_contacts"};
    for (const char* n : integers)
        if (name == n) return true;
    static const char* const blast_counts[] = {"blast_source_count_", "blast_target_count_", "blast_pair_count_",
                                               "blast_water_count_", "blast_gas_count_", "blast_explosive_count_",
                                               "blast_skipped_sources_", "blast_skipped_targets_",
                                               "blast_load_targets_", "blast_load_pairs_", "blast_zero_weight_",
                                               "blast_nonfinite_loads_"};
    for (const char* prefix : blast_counts)
        if (name.substr(0, std::string_view(prefix).size()) == prefix) return true;
    return false;
}

// ---- Reading a summary file back ----

// A summary file taken apart: its rows in order, each checked for the line format (CR LF,
// no trailing blank, one comma, a 24-character real field or a bare integer) and the names
// against the expected layout for its number of blast regions.
class SummaryFile {
public:
    explicit SummaryFile(const std::string& path) : path_(path) {
        const std::string text = read_file(path);
        if (text.empty()) {
            ADD_FAILURE() << path << ": missing or empty";
            return;
        }
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find("\r\n", start);
            if (end == std::string::npos) {
                ADD_FAILURE() << path << ": the last line has no CR LF";
                break;
            }
            lines_.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        if (lines_.empty() || lines_[0] != "metric,value") ADD_FAILURE() << path << ": no header metric,value";
        for (std::size_t k = 1; k < lines_.size(); ++k) {
            const std::string& line = lines_[k];
            const std::size_t comma = line.find(',');
            if (comma == std::string::npos || line.find(',', comma + 1) != std::string::npos ||
                line.find('\r') != std::string::npos || line.find('\n') != std::string::npos ||
                (!line.empty() && line.back() == ' ')) {
                ADD_FAILURE() << path << " line " << k + 1 << ": " << line;
                continue;
            }
            const std::string name = line.substr(0, comma), value = line.substr(comma + 1);
            const bool integer = is_integer_row(name);
            if (integer ? (value.empty() || value.find(' ') != std::string::npos)
                        : (value.size() != 24 || value[0] != ' '))
                ADD_FAILURE() << path << " line " << k + 1 << " has a malformed value: " << line;
            index_[name] = rows_.size();
            rows_.emplace_back(name, value);
        }
        const int regions = static_cast<int>(integer("blast_regions"));
        std::vector<std::string> names;
        for (const auto& row : rows_) names.push_back(row.first);
        EXPECT_EQ(names, expected_names(regions)) << path;
    }

    std::size_t line_count() const { return lines_.size(); }  // the header included
    const std::vector<std::string>& lines() const { return lines_; }

    const std::string& text(const std::string& name) const {
        static const std::string none = "<no such row>";
        const auto it = index_.find(name);
        if (it == index_.end()) {
            ADD_FAILURE() << path_ << ": no row " << name;
            return none;
        }
        return rows_[it->second].second;
    }
    double real(const std::string& name) const {
        const std::string& t = text(name);
        const std::size_t first = t.find_first_not_of(' ');
        double value = std::numeric_limits<double>::quiet_NaN();
        if (first == std::string::npos) return value;
        const auto r = std::from_chars(t.data() + first, t.data() + t.size(), value);
        if (r.ec != std::errc() || r.ptr != t.data() + t.size()) ADD_FAILURE() << name << " is not a real: " << t;
        return value;
    }
    int64_t integer(const std::string& name) const {
        const std::string& t = text(name);
        int64_t value = -999999;
        const auto r = std::from_chars(t.data(), t.data() + t.size(), value);
        if (r.ec != std::errc() || r.ptr != t.data() + t.size()) ADD_FAILURE() << name << " is not an integer: " << t;
        return value;
    }

private:
    std::string path_;
    std::vector<std::string> lines_;
    std::vector<std::pair<std::string, std::string>> rows_;
    std::map<std::string, std::size_t> index_;
};

// A CSV reader written from the format's usual rules and nothing of ours: records end in
// CR LF or LF, fields are separated by commas, a field may be quoted with "" for a quote.
std::vector<std::vector<std::string>> read_csv(const std::string& text, std::string& problem) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false, field_started = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && field.empty()) {
            quoted = field_started = true;
        } else if (c == ',') {
            record.push_back(field);
            field.clear();
            field_started = true;
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            if (c == '\r') ++i;
            record.push_back(field);
            records.push_back(record);
            record.clear();
            field.clear();
            field_started = false;
        } else {
            field += c;
            field_started = true;
        }
    }
    if (quoted) problem = "an unterminated quoted field";
    if (field_started || !field.empty()) {
        record.push_back(field);
        records.push_back(record);
    }
    return records;
}

// Whether a field reads as a number the way a spreadsheet or a script would take it:
// blanks around it allowed, then a decimal number, Infinity or NaN, and nothing else.
bool is_number(const std::string& field) {
    const std::size_t first = field.find_first_not_of(' ');
    if (first == std::string::npos) return false;
    const std::size_t last = field.find_last_not_of(' ');
    double value = 0.0;
    const auto r = std::from_chars(field.data() + first, field.data() + last + 1, value);
    return r.ec == std::errc() && r.ptr == field.data() + last + 1;
}

// ---- The fixture ----

class SummaryTest : public DeckTest {
protected:
    void SetUp() override {
        DeckTest::SetUp();
        previous_dir_ = fs::current_path();
        sph_initialize();
    }
    void TearDown() override {
        fs::current_path(previous_dir_);
        check_every_summary_reads_as_csv();
        sph_finalize();
        DeckTest::TearDown();
    }

    // A fresh session of the interface, as between two runs of a program.
    void new_session() {
        sph_finalize();
        sph_lifecycle_initialize();
        sph_input_reset();
        sph_initialize();
    }

    void build(const std::string& deck) {
        ASSERT_EQ(sph_read_inp(deck), 0) << sph_error_message();
        ASSERT_EQ(sph_build_model(), 0) << sph_error_message();
    }

    // Output into a directory of the scratch directory, made here.
    std::string output_into(const std::string& name) {
        const fs::path out = dir_ / name;
        fs::create_directories(out);
        EXPECT_EQ(sph_set_output_directory(out.string()), 0) << sph_error_message();
        return out.string();
    }

    void check_every_summary_reads_as_csv() const {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dir_, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (!it->is_regular_file() || name.size() < 11 || name.substr(name.size() - 11) != "summary.csv") continue;
            std::string problem;
            const auto records = read_csv(read_file(it->path()), problem);
            EXPECT_EQ(problem, "") << it->path();
            ASSERT_FALSE(records.empty()) << it->path();
            EXPECT_EQ(records[0], (std::vector<std::string>{"metric", "value"})) << it->path();
            for (std::size_t k = 1; k < records.size(); ++k) {
                ASSERT_EQ(records[k].size(), 2u) << it->path() << " record " << k + 1;
                EXPECT_TRUE(is_number(records[k][1]))
                    << it->path() << " record " << k + 1 << ": " << records[k][0] << " = '" << records[k][1] << "'";
            }
        }
    }

    std::string summary_path(const std::string& directory, int32_t step) const {
        char stem[32];
        std::snprintf(stem, sizeof stem, "quorrel_%08d_summary.csv", step);
        return (fs::path(directory) / stem).string();
    }

    fs::path previous_dir_;
};

// ---- The reader itself ----

TEST_F(SummaryTest, CsvReaderTakesQuotesAndFindsNonNumbers) {
    const struct {
        const char* what;
        std::string text;
        std::vector<std::vector<std::string>> records;
        std::string problem;
    } cases[] = {
        {"CR LF", "metric,value\r\nstep,3\r\n", {{"metric", "value"}, {"step", "3"}}, ""},
        {"LF, no final line end", "a,b\nc,d", {{"a", "b"}, {"c", "d"}}, ""},
        {"quoted comma and quote", "\"x,\"\"y\",  1.0E+00\r\n", {{"x,\"y", "  1.0E+00"}}, ""},
        {"empty field", "a,\r\n", {{"a", ""}}, ""},
        {"open quote", "\"a,b\r\n", {{"a,b\r\n"}}, "an unterminated quoted field"},
    };
    for (const auto& c : cases) {
        std::string problem;
        EXPECT_EQ(read_csv(c.text, problem), c.records) << c.what;
        EXPECT_EQ(problem, c.problem) << c.what;
    }
    const struct {
        const char* field;
        bool number;
    } fields[] = {{"  2.9296875000000000E-03", true}, {" -1.0000000000000000E+00", true}, {"0", true},
                  {"                Infinity", true},   {"                     NaN", true},  {"", false},
                  {"   ", false},                      {"  1.0000000000000000-300", false}, {"1e5x", false}};
    for (const auto& f : fields) EXPECT_EQ(is_number(f.field), f.number) << "'" << f.field << "'";
}

// ---- Golden run ----

// summary_wall.inp: every metric 0 but step, time and the coupling region rows; the expected
// file of step 3 comes from golden/derive_golden.py. A material type that names no phase
// (TARGET: solid phase without any solid material, so no solid state) gives the same file.
TEST_F(SummaryTest, BoundaryWallMatchesTheExpectedFile) {
    const fs::path expected_path = fs::path(QUORREL_TEST_DATA) / "output" / "golden" / "wall" /
                                   "quorrel_00000003_summary.csv";
    const std::string expected = read_file(expected_path);
    // The expected file itself: 102 lines, each ended by CR LF, none ending in a blank.
    std::size_t lines = 0;
    for (std::size_t at = expected.find("\r\n"); at != std::string::npos; at = expected.find("\r\n", at + 2)) {
        ++lines;
        EXPECT_NE(expected[at - 1], ' ') << "line " << lines;
    }
    ASSERT_EQ(lines, 102u);
    EXPECT_EQ(expected.size() >= 2 ? expected.substr(expected.size() - 2) : "", "\r\n");
    EXPECT_EQ(static_cast<std::size_t>(std::count(expected.begin(), expected.end(), '\n')), lines);  // no bare LF

    // Steps 1 and 2 differ from step 3 in lines 2 (step) and 3 (time) only: t = n / 1024.
    const struct {
        int32_t step;
        const char* step_line;
        const char* time_line;
    } earlier[] = {{1, "step,1", "time,  9.7656250000000000E-04"}, {2, "step,2", "time,  1.9531250000000000E-03"}};

    for (const char* material : {"TYPE=BOUNDARY", "TYPE=TARGET"}) {
        SCOPED_TRACE(material);
        new_session();
        const std::string deck = edited("summary_wall.inp", {{10, std::string("*MATERIAL, NAME=WALL, ") + material}});
        const fs::path run_dir = dir_ / material;
        fs::create_directories(run_dir / "wall");
        fs::current_path(run_dir);  // the deck writes into wall/, relative to the working directory
        build(deck);
        ASSERT_TRUE(sph_control.output_enabled);
        ASSERT_EQ(sph_run_explicit(), 0) << sph_error_message();
        ASSERT_EQ(sph_control.current_step, 3);
        fs::current_path(previous_dir_);

        const fs::path out = run_dir / "wall";
        EXPECT_EQ(read_file(out / "quorrel_00000003_summary.csv"), expected);
        const SummaryFile last((out / "quorrel_00000003_summary.csv").string());
        for (const auto& e : earlier) {
            const SummaryFile file(summary_path(out.string(), e.step));
            ASSERT_EQ(file.line_count(), last.line_count()) << e.step;
            for (std::size_t k = 0; k < file.line_count(); ++k) {
                if (k == 1) {
                    EXPECT_EQ(file.lines()[k], e.step_line);
                } else if (k == 2) {
                    EXPECT_EQ(file.lines()[k], e.time_line);
                } else {
                    EXPECT_EQ(file.lines()[k], last.lines()[k]) << "step " << e.step << " line " << k + 1;
                }
            }
        }
    }
}

// ---- General block: water ----

// summary_water.inp falls freely: after step n (t = n / 1024) the momentum is -M g t =
// -4 * 2048 * n / 1024 = -8 n along z, the density rho0 = 998 and the pressure
// p0 + B ((rho0 / rho0)^7 - 1) = p0 = 25000, all exact. The step's own water refresh has
// cleared the water limits, so the step-written dtcrit is 0.
TEST_F(SummaryTest, WaterRowsOfAFreeFall) {
    build(decks + "/summary_water.inp");
    const std::string out = output_into("water");
    ASSERT_EQ(sph_run_explicit(), 0) << sph_error_message();
    ASSERT_EQ(sph_control.current_step, 3);
    for (int32_t n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        const SummaryFile s(summary_path(out, n));
        EXPECT_EQ(s.integer("step"), n);
        EXPECT_EQ(s.real("time"), n * dt);
        EXPECT_EQ(s.real("water_mass"), 4.0);
        EXPECT_EQ(s.text("water_momentum_x"), "  0.0000000000000000E+00");
        EXPECT_EQ(s.text("water_momentum_y"), "  0.0000000000000000E+00");
        EXPECT_EQ(s.real("water_momentum_z"), -8.0 * n);
        EXPECT_EQ(s.real("max_pressure"), 25000.0);
        EXPECT_EQ(s.real("min_density"), 998.0);
        EXPECT_EQ(s.real("max_density"), 998.0);
        EXPECT_EQ(s.real("dtcrit"), 0.0);
        EXPECT_EQ(s.integer("gas_particles"), 0);
        EXPECT_EQ(s.integer("solid_particles"), 0);
    }
    EXPECT_EQ(SummaryFile(summary_path(out, 3)).text("water_momentum_z"), " -2.4000000000000000E+01");
}

// The combined limit after a stable-step estimate, written by the interface's output call.
// h = 0.5, c0 = 8, alpha + beta = 1: viscous h / (c0 (1 + alpha + beta)) = 1/32.
// Right after the build the particles are at rest with a = 0: CFL h / c0 = 1/16, the
// acceleration limit falls back to the CFL one, so the viscous 1/32 wins. After three
// steps |v| = 2048 * 3/1024 = 6 and |a| = 2048: CFL 0.5 / 14, acceleration
// sqrt(0.5 / 2048) = 1/64 (smaller, taken), viscous 1/32 (not smaller than 1/64).
TEST_F(SummaryTest, DtcritAfterAnEstimateIsTheCombinedWaterLimit) {
    build(decks + "/summary_water.inp");
    const std::string out = output_into("water");
    double stable = 0.0;
    ASSERT_EQ(sph_estimate_stable_dt(stable), 0) << sph_error_message();
    ASSERT_EQ(sph_write_output(0, 0.0), 0) << sph_error_message();
    EXPECT_EQ(SummaryFile(summary_path(out, 0)).real("dtcrit"), 0.03125);

    ASSERT_EQ(sph_run_explicit(), 0) << sph_error_message();
    ASSERT_EQ(sph_estimate_stable_dt(stable), 0) << sph_error_message();
    ASSERT_EQ(sph_write_output(7, 3 * dt), 0) << sph_error_message();
    EXPECT_EQ(SummaryFile(summary_path(out, 7)).real("dtcrit"), 0.015625);
}

// The combination rule on limits set by hand: start from the CFL limit; a positive
// acceleration limit below the running value replaces it; then a positive viscous limit
// below the running value replaces that.
TEST_F(SummaryTest, DtcritCombinationRule) {
    build(decks + "/summary_water.inp");
    const std::string out = output_into("rule");
    const struct {
        const char* what;
        double cfl, accel, viscous, dtcrit;
    } cases[] = {
        {"accel below cfl, no viscous", 2.0e-6, 1.0e-6, 0.0, 1.0e-6},
        {"cfl 0 gives 0 whatever the others", 0.0, 1.0e-6, 1.0e-7, 0.0},
        {"accel 0 is passed over", 3.0e-6, 0.0, 2.0e-6, 2.0e-6},
        {"larger limits are not taken", 3.0e-6, 4.0e-6, 5.0e-6, 3.0e-6},
        {"viscous above the accel taken", 3.0e-6, 1.0e-6, 2.0e-6, 1.0e-6},
        {"viscous below the accel taken", 3.0e-6, 2.0e-6, 1.0e-6, 1.0e-6},
        {"viscous below cfl, accel above", 3.0e-6, 4.0e-6, 2.0e-6, 2.0e-6},
        {"equal limits", 2.0e-6, 2.0e-6, 2.0e-6, 2.0e-6},
        {"negative accel and viscous are passed over", 3.0e-6, -1.0e-6, -2.0e-6, 3.0e-6},
        {"a negative cfl stays: nothing positive is below it", -1.0e-6, 1.0e-6, 1.0e-7, -1.0e-6},
    };
    int32_t step = 100;
    for (const auto& c : cases) {
        SphDatabase& d = sph_database;
        d.water_dt_cfl = c.cfl;
        d.water_dt_accel = c.accel;
        d.water_dt_viscous = c.viscous;
        ASSERT_EQ(sph_write_output(step, 0.0), 0) << sph_error_message();
        EXPECT_EQ(SummaryFile(summary_path(out, step)).real("dtcrit"), c.dtcrit) << c.what;
        ++step;
    }
}

// ---- Step-limit rows written by a step ----

// summary_mixed.inp, one step of the run loop. The stable step stored positive water, gas
// and solid limits; the step's water and gas refreshes clear theirs, the solid refresh
// keeps its own: CFL 1 / 0.5 = 2, acceleration sqrt(1 / 4) = 0.5, limit 0.5. The solid rows
// besides: two particles of mass 1 falling from rest, v = -4 dt each, so momentum
// -8 dt = -2^-7, kinetic energy 2 * (4 dt)^2 / 2 = 2^-16, largest acceleration 4.
TEST_F(SummaryTest, StepWrittenSummaryKeepsOnlyTheSolidLimits) {
    build(decks + "/summary_mixed.inp");
    double stable = 0.0;
    ASSERT_EQ(sph_estimate_stable_dt(stable), 0) << sph_error_message();
    // The limits the step then clears were there.
    const SphDatabase& d = sph_database;
    ASSERT_GT(d.water_dt_cfl, 0.0);
    ASSERT_GT(d.gas_dt_cfl, 0.0);
    ASSERT_GT(d.gas_dtcrit, 0.0);
    ASSERT_EQ(stable, dt);

    const std::string out = output_into("mixed");
    ASSERT_EQ(sph_run_explicit(), 0) << sph_error_message();
    ASSERT_EQ(sph_control.current_step, 1);
    const SummaryFile s(summary_path(out, 1));
    EXPECT_EQ(s.real("time"), dt);
    for (const char* row : {"dtcrit", "gas_dt_cfl", "gas_dt_accel", "gas_dtcrit"})
        EXPECT_EQ(s.text(row), "  0.0000000000000000E+00") << row;
    EXPECT_EQ(s.real("solid_dt_cfl"), 2.0);
    EXPECT_EQ(s.real("solid_dt_accel"), 0.5);
    EXPECT_EQ(s.real("solid_dtcrit"), 0.5);
    EXPECT_EQ(s.integer("solid_particles"), 2);
    EXPECT_EQ(s.real("solid_mass"), 2.0);
    EXPECT_EQ(s.real("solid_momentum_z"), -0.0078125);
    EXPECT_EQ(s.real("solid_kinetic_energy"), 1.52587890625e-05);
    EXPECT_EQ(s.real("solid_max_acceleration"), 4.0);
    EXPECT_EQ(s.real("water_mass"), 2.0);
    EXPECT_EQ(s.integer("gas_particles"), 1);
}

// ---- General block: explosive and gas ----

// app_explosive_row.inp run to its end time 2 in eight steps of 0.25, worked by hand in
// tests/app/app_console_test.cpp: four TNT particles of mass 1 reached at 0.5, 1, 1.5, 2,
// burn time 1, energy per mass 4, PHASE conversion to AIR. At t = 2 the progress is 1, 1,
// 0.5, 0: tracked 4, reacted 3, mean 0.625; released mass 2.5, energy 10, momentum 0;
// initial 4, remaining 1.5, both errors 0; particles 1 and 2 converted, no SOURCE targets.
// The two AIR particles: volume 2 each (4), centre x (0 + 1) / 2, mass 2, pressure
// 0.5 * 0.5 * 4 = 1, density 0.5. Their step limits were cleared by the step's refresh.
TEST_F(SummaryTest, ExplosiveAndGasRowsOfABurn) {
    build(decks + "/app_explosive_row.inp");
    const std::string out = output_into("burn");
    ASSERT_EQ(sph_run_explicit(), 0) << sph_error_message();
    ASSERT_EQ(sph_control.current_step, 8);
    const SummaryFile s(summary_path(out, 8));
    EXPECT_EQ(s.real("time"), 2.0);
    const struct {
        const char* row;
        double value;
    } reals[] = {
        {"explosive_lambda_min", 0.0},          {"explosive_lambda_max", 1.0},
        {"explosive_lambda_mean", 0.625},       {"explosive_released_mass", 2.5},
        {"explosive_released_energy", 10.0},    {"explosive_released_momentum_x", 0.0},
        {"explosive_detonation_time_min", 0.5}, {"explosive_detonation_time_max", 2.0},
        {"explosive_initial_mass", 4.0},        {"explosive_remaining_mass", 1.5},
        {"explosive_release_mass_error", 0.0},  {"explosive_release_energy_error", 0.0},
        {"explosive_source_mass_total", 0.0},   {"explosive_source_energy_total", 0.0},
        {"gas_mass", 2.0},                      {"gas_volume", 4.0},
        {"gas_center_x", 0.5},                  {"gas_center_y", 0.0},
        {"gas_mean_pressure", 1.0},             {"gas_max_pressure", 1.0},
        {"gas_min_density", 0.5},               {"gas_max_density", 0.5},
        {"gas_dt_cfl", 0.0},                    {"gas_dt_accel", 0.0},
        {"gas_dtcrit", 0.0},                    {"gas_source_mass", 0.0},
    };
    for (const auto& r : reals) EXPECT_EQ(s.real(r.row), r.value) << r.row;
    EXPECT_EQ(s.integer("explosive_particles"), 4);
    EXPECT_EQ(s.integer("explosive_reacted_particles"), 3);
    EXPECT_EQ(s.integer("explosive_converted_particles"), 2);
    EXPECT_EQ(s.integer("explosive_source_particles"), 0);
    EXPECT_EQ(s.integer("gas_particles"), 2);
}

// Source totals: the gas sources of summary_mixed.inp's gas particle (index 4), added by
// hand as rates, and the explosive SOURCE totals and counters set by hand, each to a value
// of its own so that a row reading a neighbour's total shows.
TEST_F(SummaryTest, SourceRowsShowTheirOwnTotals) {
    build(decks + "/summary_mixed.inp");
    const double first[3] = {1.0, -2.0, 3.0}, second[3] = {0.25, 0.0, -1.0};
    ASSERT_EQ(sph_gas_add_source_by_particle(4, 0.5, first, 8.0), 0) << sph_error_message();
    ASSERT_EQ(sph_gas_add_source_by_particle(4, 0.25, second, 4.0), 0) << sph_error_message();
    SphExplosiveState& e = sph_explosive_state;
    e.explosive_converted_count = 5;
    e.explosive_source_target_count = 3;
    e.explosive_source_mass_total = 1.5;
    e.explosive_source_energy_total = 2.5;
    e.explosive_source_momentum_total = {4.0, -5.0, 6.0};
    const std::string path = (dir_ / "sources_summary.csv").string();
    ASSERT_EQ(sph_output_write_summary(path, 1, 0.0), 0) << sph_error_message();
    const SummaryFile s(path);
    // Rates add: mass 0.5 + 0.25, energy 8 + 4, momentum (1.25, -2, 2).
    const struct {
        const char* row;
        double value;
    } reals[] = {{"gas_source_mass", 0.75},          {"gas_source_energy", 12.0},
                 {"gas_source_momentum_x", 1.25},    {"gas_source_momentum_y", -2.0},
                 {"gas_source_momentum_z", 2.0},     {"explosive_source_mass_total", 1.5},
                 {"explosive_source_energy_total", 2.5}, {"explosive_source_momentum_x", 4.0},
                 {"explosive_source_momentum_y", -5.0},  {"explosive_source_momentum_z", 6.0}};
    for (const auto& r : reals) EXPECT_EQ(s.real(r.row), r.value) << r.row;
    EXPECT_EQ(s.integer("explosive_converted_particles"), 5);
    EXPECT_EQ(s.integer("explosive_source_particles"), 3);
}

// ---- Blast block ----

// blast_one.inp: a gas source at the origin (mass 0.25, volume 0.125, e 4, p 4) and a
// solid target of volume 1 and mass 1 at (1, 0, 0), evaluated by the build at t = 0.
// Region PUSH (radius 2, scale 1, no window): one source, one target, one pair, one gas
// particle in the sphere; the target is the one active in-sphere particle the GAS source
// selector does not match (1 skipped source). Force 4 * 1^(2/3) along +x; energy e m = 1;
// energy input 1 * progress 0 = 0; impulse and work 0 without a window; largest force and
// acceleration 4.
// A second region PULL (radius 3, scale -2, window 0.5) sees the same particles: force
// -8 along x, impulse and momentum input -8 * 0.5 = -4, work v.F * 0.5 = 0 (at rest),
// largest force and acceleration 8.
struct BlastRegionRows {
    std::array<int64_t, 12> counts;  // in row order: source .. explosive, skipped .., load ..
    std::array<double, 26> values;   // in row order, the vectors as x, y, z
};
const BlastRegionRows push_rows = {{1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 0, 0},
                                   {0.25, 1.0, 4.0, 0.125, 0.0, 0.0, 0.0,  // sums and means
                                    4.0, 0.0, 0.0, 0.0, 0.0, 0.0, 4.0, 0.0, 0.0,  // solid, shell, total
                                    0.0, 0.0, 0.0, 0.0, 0.0, 0.0,  // impulse, momentum input
                                    0.0, 0.0, 4.0, 4.0}};
const BlastRegionRows pull_rows = {{1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 0, 0},
                                   {0.25, 1.0, 4.0, 0.125, 0.0, 0.0, 0.0,
                                    -8.0, 0.0, 0.0, 0.0, 0.0, 0.0, -8.0, 0.0, 0.0,
                                    -4.0, 0.0, 0.0, -4.0, 0.0, 0.0,
                                    0.0, 0.0, 8.0, 8.0}};

TEST_F(SummaryTest, BlastRowsPerRegion) {
    const struct {
        const char* what;
        std::vector<std::string> appended;
        std::vector<BlastRegionRows> regions;
    } cases[] = {
        {"one region", {}, {push_rows}},
        {"two regions",
         {"*QUORREL, BLAST REGION, NAME=PULL, RADIUS=3.0, TARGET_SET=PLATE, SCALE=-2.0, TIME_WINDOW=0.5"},
         {push_rows, pull_rows}},
    };
    // The getter's order of the counts: source, target, pairs, skipped source, skipped
    // target, load targets, load pairs, zero weight, non-finite, water, gas, explosive.
    constexpr std::size_t getter_slot[12] = {0, 1, 2, 9, 10, 11, 3, 4, 5, 6, 7, 8};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        new_session();
        build(edited("blast_one.inp", {}, c.appended));
        const std::string path = (dir_ / (std::string(c.what) + "_summary.csv")).string();
        ASSERT_EQ(sph_output_write_summary(path, 0, 0.0), 0) << sph_error_message();
        const SummaryFile s(path);
        const int regions = static_cast<int>(c.regions.size());
        EXPECT_EQ(s.line_count(), 1u + 101u + 38u * c.regions.size());
        EXPECT_EQ(s.integer("blast_regions"), regions);
        const std::vector<std::string> names = expected_names(regions);
        const std::size_t first_blast_row = 56 + 24 + 1;  // after general, solid and blast_regions
        for (int r = 1; r <= regions; ++r) {
            SCOPED_TRACE(r);
            int32_t counts[sph_blast_summary_count_size];
            double values[sph_blast_summary_value_size];
            ASSERT_EQ(sph_blast_load_get_summary(r, counts, values), 0);
            const BlastRegionRows& hand = c.regions[static_cast<std::size_t>(r - 1)];
            const std::size_t base = first_blast_row + 38 * static_cast<std::size_t>(r - 1);
            for (std::size_t k = 0; k < 12; ++k) {
                const std::string& name = names[base + k];
                EXPECT_EQ(s.integer(name), counts[getter_slot[k]]) << name << " against the getter";
                EXPECT_EQ(s.integer(name), hand.counts[k]) << name << " by hand";
            }
            for (std::size_t k = 0; k < 26; ++k) {
                const std::string& name = names[base + 12 + k];
                EXPECT_EQ(s.real(name), values[k]) << name << " against the getter";
                EXPECT_EQ(s.real(name), hand.values[k]) << name << " by hand";
            }
        }
        if (regions == 2) {
            EXPECT_EQ(s.text("blast_solid_force_x_2"), " -8.0000000000000000E+00");
            EXPECT_EQ(s.text("blast_solid_force_x_1"), "  4.0000000000000000E+00");
            EXPECT_EQ(s.text("blast_impulse_x_2"), " -4.0000000000000000E+00");
        }
    }
}

// ---- Coupling block ----

// Counts by hand over region records set up directly: export 1 counts a region's list in
// coupling_particles, export 2 its shell members in coupling_facets, export 3 both; a
// disabled region counts only in coupling_regions. Particles: 0 boundary, 1 shell, 2 shell,
// 3 water, 4 shell.
TEST_F(SummaryTest, CouplingCountsByExportMode) {
    struct Region {
        int32_t enabled, export_mode;
        std::vector<int32_t> members;  // particle indices from 0
    };
    const struct {
        const char* what;
        std::vector<Region> regions;
        int32_t particles, facets;
    } cases[] = {
        {"export 1: the list, no facets", {{1, 1, {0, 1, 2}}}, 3, 0},
        {"export 2: three shell members, no particles", {{1, 2, {1, 2, 4}}}, 0, 3},
        {"export 2: only the shell members are facets", {{1, 2, {0, 1, 3}}}, 0, 1},
        {"export 3: both", {{1, 3, {0, 1, 3}}}, 3, 1},
        {"a shell in two regions counts twice", {{1, 3, {1, 2}}, {1, 3, {1, 0}}}, 4, 3},
        {"a disabled region adds nothing", {{0, 3, {1, 2, 4}}, {1, 1, {0}}}, 1, 0},
        {"only a disabled region", {{0, 2, {1, 2}}}, 0, 0},
        {"a member beyond the particles is no facet", {{1, 3, {1, 7}}}, 2, 1},
        {"no regions", {}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        new_session();
        ASSERT_EQ(sph_db_allocate(5), 0);
        SphDatabase& d = sph_database;
        const int phases[5] = {sph_phase_boundary, sph_phase_shell, sph_phase_shell, sph_phase_water, sph_phase_shell};
        for (std::size_t i = 0; i < 5; ++i) d.particle_phase[i] = phases[i];
        for (const Region& r : c.regions) {
            SphCouplingRegionRecord rec;
            rec.coupling_region_name = "R" + std::to_string(d.coupling_regions.size() + 1);
            rec.coupling_region_set_name = "ALL";
            rec.coupling_region_type = 1;
            rec.coupling_region_export_mode = r.export_mode;
            rec.coupling_region_import_mode = 1;
            rec.coupling_region_load_mode = 1;
            rec.coupling_region_distribution_mode = 1;
            rec.coupling_region_enabled = r.enabled;
            rec.coupling_region_internal_id = static_cast<int32_t>(d.coupling_regions.size()) + 1;
            rec.coupling_region_particles = r.members;
            d.coupling_regions.push_back(rec);
        }
        ++d.coupling_region_revision;
        int32_t particles = -1, facets = -1;
        sph_output_coupling_counts(particles, facets);
        EXPECT_EQ(particles, c.particles);
        EXPECT_EQ(facets, c.facets);
        const std::string path = (dir_ / ("counts_" + std::to_string(&c - cases) + "_summary.csv")).string();
        ASSERT_EQ(sph_output_write_summary(path, 1, 0.0), 0) << sph_error_message();
        const SummaryFile s(path);
        EXPECT_EQ(s.integer("coupling_regions"), static_cast<int64_t>(c.regions.size()));
        EXPECT_EQ(s.integer("coupling_particles"), c.particles);
        EXPECT_EQ(s.integer("coupling_facets"), c.facets);
    }
}

// summary_coupling.inp: boundary particles 0 and 1 and shell particles 2 and 3 (director
// +z, reference area volume / thickness = 1 / 0.01 = 100, positions (0, 5, 0) and
// (5, 5, 0)), all of mass 1 and at rest, in one region exporting both (particles 4, facets
// 2). Before step 1, in this order:
// - a force on export index 0, then a clear: one stale load, epoch 1 -> 2;
// - two non-finite forces, both refused: two non-finite imports;
// - particle 3 made inactive by hand; contact states on facets 2 (penetration 0.25) and 3
//   (skipped): one active contact, one skipped, largest penetration 0.25;
// - pressures -2 on facet 2 and 1 on facet 3 (host step 2, the current epoch): force
//   -2 * 100 (0, 0, 1) = (0, 0, -200) on particle 2; the one on inactive 3, (0, 0, 100), is
//   balanced but not distributed: force error |(0, 0, 100)| = 100, moment error
//   |(5, 5, 0) x (0, 0, 100)| = |(500, -500, 0)| = sqrt(500000); largest pressure 2;
// - traction (0.5, 0, 0) on facet 2: force 100 * 0.5 = 50 along x; largest traction 0.5;
// - forces (2, 0, 0) on export index 0 and (0, -4, 0) on export index 1;
// - particle 0 given the velocity (1, 0, 0) by hand.
// Step 1 applies (2 + 50, -4, -200) = (52, -4, -200), impulse that times dt = 2^-10, work
// v.F dt = 1 * 2 * 2^-10 = 2^-9 (the others at rest). Before step 2 only (2, 0, 0) on
// particle 0, whose velocity is then 1 + 2 dt: work (1 + 2^-9) * 2 * 2^-10 = 2^-9 + 2^-18,
// energy exchange 2^-9 + 2^-9 + 2^-18 = 2^-8 + 2^-18. The end of each step empties the
// buffers: active contacts and largest penetration read 0; the load balance and the
// counters stay.
TEST_F(SummaryTest, CouplingRowsAfterImportsAndSteps) {
    build(decks + "/summary_coupling.inp");
    SphDatabase& d = sph_database;
    ASSERT_EQ(d.npart, 4);
    for (std::size_t i = 0; i < 4; ++i) ASSERT_EQ(d.mass[i], 1.0) << i;
    ASSERT_EQ(sph_coupling.coupling_epoch, 1);

    const int32_t first[] = {0}, second[] = {1}, facet_2[] = {2}, facets_2_3[] = {2, 3};
    const double stale[] = {1.0, 1.0, 1.0};
    ASSERT_EQ(sph_coupling_apply_particle_forces(0, 1, first, stale), 0) << sph_error_message();
    ASSERT_EQ(sph_coupling_clear_imports(), 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double bad[] = {nan, 0.0, 0.0};
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(sph_coupling_apply_particle_forces(0, 1, first, bad), sph_error_argument);
        EXPECT_EQ(sph_error_message(), "coupling force is not finite");
    }
    d.particle_status[3] = sph_status_inactive;
    const double normals[] = {0.0, 0.0, 2.0, 0.0, 0.0, 3.0}, gaps[] = {0.125, 0.25}, penetrations[] = {0.25, 0.5},
                 contact_pressures[] = {1.0, 1.0};
    ASSERT_EQ(sph_coupling_apply_contact_state(0, 2, facets_2_3, normals, gaps, penetrations, contact_pressures, 2), 0)
        << sph_error_message();
    const double pressures[] = {-2.0, 1.0};
    ASSERT_EQ(sph_coupling_apply_facet_pressures(0, 2, facets_2_3, pressures, 1, 2), 0) << sph_error_message();
    const double traction[] = {0.5, 0.0, 0.0};
    ASSERT_EQ(sph_coupling_apply_facet_tractions(0, 1, facet_2, traction, 1, 2), 0) << sph_error_message();
    const double push[] = {2.0, 0.0, 0.0}, down[] = {0.0, -4.0, 0.0};
    ASSERT_EQ(sph_coupling_apply_particle_forces(0, 1, first, push), 0) << sph_error_message();
    ASSERT_EQ(sph_coupling_apply_particle_forces(0, 1, second, down), 0) << sph_error_message();

    const std::string before = (dir_ / "before_summary.csv").string();
    ASSERT_EQ(sph_output_write_summary(before, 0, 0.0), 0);
    {
        // What the end of the step then clears was there.
        const SummaryFile s(before);
        EXPECT_EQ(s.integer("coupling_active_contacts"), 1);
        EXPECT_EQ(s.real("coupling_max_penetration"), 0.25);
    }

    const std::string out = output_into("coupling");
    d.v[0] = 1.0;
    struct Rows {
        std::array<double, 3> force, impulse;
        double work, energy_exchange;
    };
    const double p9 = 1.0 / 512.0, p18 = 1.0 / 262144.0;  // 2^-9, 2^-18
    const Rows steps[] = {
        {{52.0, -4.0, -200.0}, {52.0 * dt, -4.0 * dt, -200.0 * dt}, p9, p9},
        {{2.0, 0.0, 0.0}, {2.0 * dt, 0.0, 0.0}, p9 + p18, 2.0 * p9 + p18},
    };
    for (int32_t n = 1; n <= 2; ++n) {
        SCOPED_TRACE(n);
        if (n > 1) {
            ASSERT_EQ(sph_coupling_apply_particle_forces(0, 1, first, push), 0) << sph_error_message();
        }
        ASSERT_EQ(sph_advance_explicit(dt), 0) << sph_error_message();
        const SummaryFile s(summary_path(out, n));
        const Rows& e = steps[n - 1];
        EXPECT_EQ(s.integer("coupling_regions"), 1);
        EXPECT_EQ(s.integer("coupling_particles"), 4);
        EXPECT_EQ(s.integer("coupling_facets"), 2);
        const char* axes[] = {"_x", "_y", "_z"};
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(s.real(std::string("coupling_force") + axes[k]), e.force[k]) << k;
            EXPECT_EQ(s.real(std::string("coupling_impulse") + axes[k]), e.impulse[k]) << k;
        }
        EXPECT_EQ(s.real("coupling_work"), e.work);
        EXPECT_EQ(s.real("coupling_energy_exchange"), e.energy_exchange);
        EXPECT_EQ(s.integer("coupling_nonfinite_imports"), 2);
        EXPECT_EQ(s.integer("coupling_stale_loads"), 1);
        EXPECT_EQ(s.integer("coupling_active_contacts"), 0);
        EXPECT_EQ(s.integer("coupling_skipped_contacts"), 1);
        EXPECT_EQ(s.real("coupling_max_pressure"), 2.0);
        EXPECT_EQ(s.real("coupling_max_traction"), 0.5);
        EXPECT_EQ(s.real("coupling_max_penetration"), 0.0);
        EXPECT_EQ(s.real("coupling_force_balance_error"), 100.0);
        EXPECT_EQ(s.real("coupling_moment_balance_error"), std::sqrt(500000.0));
    }
}

// ---- File name, number format and failure ----

// The summary is named like the step's other files: eight digits at least, all digits of a
// larger step; a negative step is refused before any file is written.
TEST_F(SummaryTest, StepNumberNamesTheSummary) {
    const std::string out = output_into("steps");
    const struct {
        int32_t step;
        const char* name;
    } cases[] = {{0, "quorrel_00000000_summary.csv"},
                 {123, "quorrel_00000123_summary.csv"},
                 {99999999, "quorrel_99999999_summary.csv"},
                 {100000000, "quorrel_100000000_summary.csv"},
                 {2147483647, "quorrel_2147483647_summary.csv"}};
    for (const auto& c : cases) {
        ASSERT_EQ(sph_write_output(c.step, 0.25), 0) << sph_error_message();
        const fs::path path = fs::path(out) / c.name;
        ASSERT_TRUE(fs::is_regular_file(path)) << c.name;
        const SummaryFile s(path.string());
        EXPECT_EQ(s.text("step"), std::to_string(c.step));
        EXPECT_EQ(s.text("time"), "  2.5000000000000000E-01");
    }
    const std::size_t files_before = static_cast<std::size_t>(
        std::distance(fs::directory_iterator(out), fs::directory_iterator()));
    EXPECT_EQ(sph_write_output(-1, 0.25), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "output step must not be negative");
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(out), fs::directory_iterator())),
              files_before);
    EXPECT_FALSE(fs::exists(fs::path(out) / "quorrel_-0000001_summary.csv"));
    EXPECT_FALSE(fs::exists(fs::path(out) / "quorrel_********_summary.csv"));
}

// Values of the model as the rows show them: negative zero as zero, a negative value with
// one blank before its sign, the words of the non-finite values, integers bare.
TEST_F(SummaryTest, RowValuesInTheFieldFormat) {
    ASSERT_EQ(sph_db_allocate(1), 0);
    const struct {
        const char* row;
        void (*set)();
        const char* text;
    } cases[] = {
        {"water_mass", [] { sph_database.water_mass = -0.0; }, "  0.0000000000000000E+00"},
        {"gas_center_y", [] { sph_database.gas_center[1] = -0.0; }, "  0.0000000000000000E+00"},
        {"solid_dt_cfl", [] { sph_database.solid_dt_cfl = -0.0; }, "  0.0000000000000000E+00"},
        {"coupling_force_z", [] { sph_coupling.coupling_current_force[2] = -0.0; }, "  0.0000000000000000E+00"},
        {"water_momentum_z", [] { sph_database.water_momentum[2] = -2.5; }, " -2.5000000000000000E+00"},
        {"max_pressure", [] { sph_database.water_max_pressure = 2.2e5; }, "  2.2000000000000000E+05"},
        {"min_density", [] { sph_database.water_min_density = 0.1; }, "  1.0000000000000001E-01"},
        {"gas_mass", [] { sph_database.gas_mass = 1.5e-99; }, "  1.5000000000000000E-99"},
        {"gas_volume", [] { sph_database.gas_volume = std::numeric_limits<double>::infinity(); }, "                Infinity"},
        {"gas_max_density", [] { sph_database.gas_max_density = -std::numeric_limits<double>::infinity(); }, "               -Infinity"},
        {"solid_max_von_mises",
         [] { sph_database.solid_max_von_mises = std::numeric_limits<double>::quiet_NaN(); },
         "                     NaN"},
        {"gas_particles", [] { sph_database.gas_particle_count = -3; }, "-3"},
        {"solid_reference_neighbor_min", [] { sph_database.solid_reference_neighbor_min = 12; }, "12"},
        {"coupling_stale_loads", [] { sph_coupling.coupling_stale_load_count = 7; }, "7"},
    };
    for (const auto& c : cases) c.set();
    // Trailing blanks of the path are not part of the name.
    const std::string path = (dir_ / "format_summary.csv").string();
    ASSERT_EQ(sph_output_write_summary(path + "   ", 42, -0.0), 0) << sph_error_message();
    ASSERT_TRUE(fs::is_regular_file(path));
    const SummaryFile s(path);
    EXPECT_EQ(s.text("step"), "42");
    EXPECT_EQ(s.text("time"), "  0.0000000000000000E+00");
    for (const auto& c : cases) EXPECT_EQ(s.text(c.row), c.text) << c.row;
}

// Each diagnostic row shows its own field: every field the summary reads set by hand to a
// value of its own (k / 8 for the k-th), beside fields of the same owners it must not show
// (cumulative coupling totals, moment, basic work, water pressure impulse, centre shift),
// set to 999.
TEST_F(SummaryTest, EveryDiagnosticRowReadsItsOwnField) {
    ASSERT_EQ(sph_db_allocate(1), 0);
    SphDatabase& d = sph_database;
    SphCouplingInterface& c = sph_coupling;
    const std::vector<std::pair<const char*, double*>> reals = {
        {"water_mass", &d.water_mass},
        {"water_momentum_x", &d.water_momentum[0]},
        {"water_momentum_y", &d.water_momentum[1]},
        {"water_momentum_z", &d.water_momentum[2]},
        {"max_pressure", &d.water_max_pressure},
        {"min_density", &d.water_min_density},
        {"max_density", &d.water_max_density},
        {"gas_mass", &d.gas_mass},
        {"gas_volume", &d.gas_volume},
        {"gas_center_x", &d.gas_center[0]},
        {"gas_center_y", &d.gas_center[1]},
        {"gas_center_z", &d.gas_center[2]},
        {"gas_mean_pressure", &d.gas_mean_pressure},
        {"gas_max_pressure", &d.gas_max_pressure},
        {"gas_momentum_x", &d.gas_momentum[0]},
        {"gas_momentum_y", &d.gas_momentum[1]},
        {"gas_momentum_z", &d.gas_momentum[2]},
        {"gas_min_density", &d.gas_min_density},
        {"gas_max_density", &d.gas_max_density},
        {"gas_equivalent_radius", &d.gas_equivalent_radius},
        {"gas_radius_rate", &d.gas_radius_rate},
        {"gas_dt_cfl", &d.gas_dt_cfl},
        {"gas_dt_accel", &d.gas_dt_accel},
        {"gas_dtcrit", &d.gas_dtcrit},
        {"solid_mass", &d.solid_mass},
        {"solid_momentum_x", &d.solid_momentum[0]},
        {"solid_momentum_y", &d.solid_momentum[1]},
        {"solid_momentum_z", &d.solid_momentum[2]},
        {"solid_kinetic_energy", &d.solid_kinetic_energy},
        {"solid_internal_energy", &d.solid_internal_energy_total},
        {"solid_max_von_mises", &d.solid_max_von_mises},
        {"solid_plastic_strain_min", &d.solid_min_plastic_strain},
        {"solid_plastic_strain_max", &d.solid_max_plastic_strain},
        {"solid_damage_min", &d.solid_min_damage},
        {"solid_damage_max", &d.solid_max_damage},
        {"solid_softening_min", &d.solid_min_softening},
        {"solid_softening_max", &d.solid_max_softening},
        {"solid_max_strain_rate", &d.solid_max_strain_rate},
        {"solid_max_acceleration", &d.solid_max_acceleration},
        {"solid_internal_force_residual", &d.solid_internal_force_residual},
        {"solid_correction_det_min", &d.solid_correction_det_min},
        {"solid_dt_cfl", &d.solid_dt_cfl},
        {"solid_dt_accel", &d.solid_dt_accel},
        {"solid_dtcrit", &d.solid_dtcrit},
        {"coupling_force_x", &c.coupling_current_force[0]},
        {"coupling_force_y", &c.coupling_current_force[1]},
        {"coupling_force_z", &c.coupling_current_force[2]},
        {"coupling_impulse_x", &c.coupling_current_impulse[0]},
        {"coupling_impulse_y", &c.coupling_current_impulse[1]},
        {"coupling_impulse_z", &c.coupling_current_impulse[2]},
        {"coupling_work", &c.coupling_current_work},
        {"coupling_energy_exchange", &c.coupling_energy_exchange},
        {"coupling_max_pressure", &c.coupling_max_pressure},
        {"coupling_max_traction", &c.coupling_max_traction},
        {"coupling_max_penetration", &c.coupling_max_penetration},
        {"coupling_force_balance_error", &c.coupling_facet_force_error},
        {"coupling_moment_balance_error", &c.coupling_facet_moment_error},
    };
    const std::vector<std::pair<const char*, int32_t*>> integers = {
        {"gas_particles", &d.gas_particle_count},
        {"solid_particles", &d.solid_particle_count},
        {"solid_failed_particles", &d.solid_failed_count},
        {"solid_reference_neighbor_min", &d.solid_reference_neighbor_min},
        {"solid_correction_status", &d.solid_correction_status_max},
        {"coupling_nonfinite_imports", &c.coupling_nonfinite_import_count},
        {"coupling_stale_loads", &c.coupling_stale_load_count},
        {"coupling_active_contacts", &c.coupling_active_contact_count},
        {"coupling_skipped_contacts", &c.coupling_skipped_contact_count},
    };
    for (double* other : {&c.coupling_cumulative_impulse[0], &c.coupling_momentum_exchange[0],
                          &c.coupling_current_moment[0], &c.coupling_cumulative_work, &c.coupling_work,
                          &c.coupling_energy, &d.water_pressure_impulse, &d.gas_center_shift})
        *other = 999.0;
    c.coupling_skipped_particle_count = c.coupling_imported_force_count = c.coupling_repeated_import_count = 999;
    c.coupling_nonfinite_contact_count = c.coupling_invalid_weight_count = 999;
    for (std::size_t k = 0; k < reals.size(); ++k) *reals[k].second = static_cast<double>(k + 1) / 8.0;
    for (std::size_t k = 0; k < integers.size(); ++k) *integers[k].second = static_cast<int32_t>(k) + 11;

    const std::string path = (dir_ / "fields_summary.csv").string();
    ASSERT_EQ(sph_output_write_summary(path, 1, 0.0), 0) << sph_error_message();
    const SummaryFile s(path);
    for (std::size_t k = 0; k < reals.size(); ++k)
        EXPECT_EQ(s.real(reals[k].first), static_cast<double>(k + 1) / 8.0) << reals[k].first;
    for (std::size_t k = 0; k < integers.size(); ++k)
        EXPECT_EQ(s.integer(integers[k].first), static_cast<int64_t>(k) + 11) << integers[k].first;
}

// A directory where the summary should go: code 3, and the step stops there. The particle
// CSV written just before stays; the VTU file and the collection are not attempted.
TEST_F(SummaryTest, UnopenableSummaryStopsTheStepBeforeTheVtu) {
    const std::string out = output_into("blocked");
    fs::create_directories(fs::path(out) / "quorrel_00000002_summary.csv");
    EXPECT_EQ(sph_write_output(2, 1.0), sph_error_io);
    EXPECT_EQ(sph_error_code(), sph_error_io);
    EXPECT_EQ(sph_error_message(), "failed to open summary output file");
    EXPECT_TRUE(fs::is_regular_file(fs::path(out) / "quorrel_00000002.csv"));
    EXPECT_FALSE(fs::exists(fs::path(out) / "quorrel_00000002.vtu"));
    EXPECT_FALSE(fs::exists(fs::path(out) / "quorrel.pvd"));
    EXPECT_EQ(sph_output_vtu.pvd_entry_count, 0);
}

// The same inside a run: summary_wall.inp with step 2's summary blocked. Step 1 is written
// in full; step 2 has advanced the clock, written its particle CSV and nothing after it,
// and the run stops with the failure.
TEST_F(SummaryTest, UnopenableSummaryStopsTheRun) {
    const fs::path run_dir = dir_ / "run";
    fs::create_directories(run_dir / "wall" / "quorrel_00000002_summary.csv");
    fs::current_path(run_dir);
    build(decks + "/summary_wall.inp");
    EXPECT_EQ(sph_run_explicit(), sph_error_io);
    fs::current_path(previous_dir_);
    EXPECT_EQ(sph_error_message(), "failed to open summary output file");
    EXPECT_EQ(sph_control.current_step, 2);
    const fs::path out = run_dir / "wall";
    for (const char* name : {"quorrel_00000001.csv", "quorrel_00000001_summary.csv", "quorrel_00000001.vtu",
                             "quorrel.pvd", "quorrel_00000002.csv"})
        EXPECT_TRUE(fs::is_regular_file(out / name)) << name;
    EXPECT_FALSE(fs::exists(out / "quorrel_00000002.vtu"));
    EXPECT_FALSE(fs::exists(out / "quorrel_00000003.csv"));
    const std::string pvd = read_file(out / "quorrel.pvd");
    EXPECT_NE(pvd.find("quorrel_00000001.vtu"), std::string::npos);
    EXPECT_EQ(pvd.find("quorrel_00000002.vtu"), std::string::npos);
}

// The release balance is gathered before the file is opened, so even a summary that cannot
// be written leaves it recomputed: explosive_one.inp right after its build has burnt
// nothing, so initial = remaining = the particle's initial mass, released 0, error 0.
TEST_F(SummaryTest, ReleaseBalanceIsRecomputedEvenWhenTheFileFails) {
    build(decks + "/explosive_one.inp");
    SphExplosiveState& e = sph_explosive_state;
    ASSERT_EQ(e.explosive_initial_mass.size(), 1u);
    const double initial = e.explosive_initial_mass[0];
    ASSERT_GT(initial, 0.0);
    e.explosive_release_mass_balance = {-1.0, -2.0, -3.0, -4.0};
    e.explosive_release_energy_balance = {-5.0, -6.0};
    EXPECT_EQ(sph_output_write_summary((dir_ / "absent" / "x_summary.csv").string(), 1, 0.0), sph_error_io);
    EXPECT_EQ(sph_error_message(), "failed to open summary output file");
    EXPECT_EQ(e.explosive_release_mass_balance, (std::array<double, 4>{initial, 0.0, initial, 0.0}));
    EXPECT_EQ(e.explosive_release_energy_balance, (std::array<double, 2>{0.0, 0.0}));

    // Written, the rows show the same balance.
    const std::string path = (dir_ / "explosive_summary.csv").string();
    ASSERT_EQ(sph_output_write_summary(path, 1, 0.0), 0);
    const SummaryFile s(path);
    EXPECT_EQ(s.integer("explosive_particles"), 1);
    EXPECT_EQ(s.real("explosive_initial_mass"), initial);
    EXPECT_EQ(s.real("explosive_remaining_mass"), initial);
    EXPECT_EQ(s.real("explosive_release_mass_error"), 0.0);
}

}  // namespace
}  // namespace quorrel::test
