// The bytes are a deck: read and built through the interface, then read and built again
// over the first model, which must give the same outcome (every read starts from the
// defaults, not from the last deck), then, when it is small, run as the deck asks (the
// step the solver finds stable, up to the end time) for at most max_steps steps. After
// every successful step the step counter has moved by one, and every particle value the
// state query shows, every value the console report shows and every value of the summary
// CSV is finite: a quantity out of range fails the call that computes it, it is never
// reported. Every module starts from initialise and ends at finalise, so no input leaves
// anything behind for the next.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core/sph_control.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "fuzz_support.h"
#include "interface/sph_api.h"
#include "output/sph_output.h"

namespace {

// Enough for what builds up over steps (a burn, a plastic return, a source's totals)
// while no input takes long.
constexpr int32_t max_steps = 8;

void expect_finite(const char* what, const double* values, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k)
        if (!std::isfinite(values[k])) {
            std::fprintf(stderr, "fuzz fault: %s[%zu] = %g after a successful call\n", what, k, values[k]);
            std::abort();
        }
}

// The queries of the console report, in its order; a query that fails has recorded its
// failure (checked), and the report would not have been printed.
bool report_is_finite() {
    using namespace quorrel;
    double time = 0.0, dt = 0.0;
    int32_t step = 0, n1 = 0, n2 = 0, n3 = 0;
    if (fuzz::checked(sph_get_current_time(time, step), "current time")) return false;
    expect_finite("time", &time, 1);
    double water[7] = {};  // mass, momentum (3), max pressure, min and max density
    if (fuzz::checked(sph_get_water_summary(water[0], water + 1, water[4], water[5], water[6]), "water summary"))
        return false;
    expect_finite("water summary", water, 7);
    if (fuzz::checked(sph_estimate_stable_dt(dt), "stable dt")) return false;
    expect_finite("dtcrit", &dt, 1);
    double gas[6] = {};  // volume, centre (3), mean and max pressure
    if (fuzz::checked(sph_get_gas_summary(gas[0], gas + 1, gas[4], gas[5]), "gas summary")) return false;
    expect_finite("gas summary", gas, 6);
    double extended[9] = {};  // mass, momentum (3), density range (2), dt limits (3)
    if (fuzz::checked(sph_get_gas_extended_summary(extended[0], extended + 1, extended + 4, extended + 6),
                      "gas extended summary"))
        return false;
    expect_finite("gas extended summary", extended, 9);
    double bubble[5] = {};  // radius, rate, centre (3)
    if (fuzz::checked(sph_get_gas_bubble_metrics(bubble[0], bubble[1], bubble + 2), "bubble metrics")) return false;
    expect_finite("gas bubble metrics", bubble, 5);
    double source[5] = {};  // mass, momentum (3), energy
    if (fuzz::checked(sph_get_gas_source_summary(source[0], source + 1, source[4]), "gas source summary"))
        return false;
    expect_finite("gas source summary", source, 5);
    double explosive[10] = {};  // lambda range (3), released totals (5), detonation times (2)
    if (fuzz::checked(sph_get_explosive_summary(n1, n2, explosive, explosive + 3, explosive + 8), "explosive summary"))
        return false;
    expect_finite("explosive summary", explosive, 10);
    double balance[9] = {};  // mass (4), energy (2), momentum (3)
    if (fuzz::checked(sph_get_explosive_release_balance(balance, balance + 4, balance + 6), "release balance"))
        return false;
    expect_finite("explosive release balance", balance, 9);
    double solid[16] = {};  // mass, momentum (3), energies (2), von Mises, three ranges (6), dt limits (3)
    if (fuzz::checked(sph_get_solid_summary(n1, n2, solid[0], solid + 1, solid + 4, solid[6], solid + 7, solid + 9,
                                            solid + 11, solid + 13),
                      "solid summary"))
        return false;
    expect_finite("solid summary", solid, 16);
    double diagnostics[3] = {};
    if (fuzz::checked(sph_get_solid_diagnostics(3, diagnostics), "solid diagnostics")) return false;
    expect_finite("solid diagnostics", diagnostics, 3);
    double det_min = 0.0;
    if (fuzz::checked(sph_get_solid_reference_quality(n1, det_min, n3), "solid reference quality")) return false;
    expect_finite("solid correction det min", &det_min, 1);
    double coupling[27] = {};
    int32_t counts[12] = {};
    if (fuzz::checked(sph_coupling_get_diagnostic_values(27, coupling, 12, counts), "coupling diagnostics"))
        return false;
    expect_finite("coupling diagnostics", coupling, 27);
    return true;
}

// The summary CSV of the current step, written into the scratch directory alone (the
// particle and VTU files of an output step would only slow the fuzzer down): every value
// row is a number (an integer or a real), and finite.
void summary_is_finite() {
    using namespace quorrel;
    static const std::string path = fuzz::scratch().path("summary.csv");
    double time = 0.0;
    int32_t step = 0;
    if (fuzz::checked(sph_get_current_time(time, step), "current time") ||
        fuzz::checked(sph_output_write_summary(path, step, time), "write summary"))
        return;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // metric,value
    while (std::getline(in, line)) {
        const std::size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        const double value = std::strtod(line.c_str() + comma + 1, nullptr);
        if (!std::isfinite(value)) {
            std::fprintf(stderr, "fuzz fault: summary row \"%s\" is not finite\n", line.c_str());
            std::abort();
        }
    }
}

// One step of the deck's run and every check after it; false when the run is over or a
// call failed (and recorded why), so that no further step is taken.
bool step_is_finite() {
    using namespace quorrel;
    double time = 0.0;
    int32_t before = 0, after = 0;
    if (fuzz::checked(sph_get_current_time(time, before), "current time") ||
        fuzz::checked(sph_run_explicit(), "run one step") ||
        fuzz::checked(sph_get_current_time(time, after), "current time"))
        return false;
    if (after == before) return false;  // the end time is reached
    if (before == INT32_MAX || after != before + 1) {
        std::fprintf(stderr, "fuzz fault: step %d became %d after a successful step\n", static_cast<int>(before),
                     static_cast<int>(after));
        std::abort();
    }
    fuzz::ParticleSnapshot::take().expect_finite("a successful step");
    if (!report_is_finite()) return false;
    summary_is_finite();
    return true;
}

struct Outcome {
    int read_status = 0, build_status = -1;
    std::string error;
    int32_t count = 0, warnings = 0;
    quorrel::fuzz::ParticleSnapshot particles;
    bool operator==(const Outcome&) const = default;
};

Outcome read_and_build(const std::string& deck) {
    using namespace quorrel;
    Outcome o;
    o.read_status = fuzz::checked(sph_read_inp(deck), "read deck");
    if (o.read_status == 0) {
        o.count = fuzz::particle_count();
        if (o.count <= fuzz::build_particle_limit) o.build_status = fuzz::checked(sph_build_model(), "build model");
    }
    o.error = fuzz::last_error();
    if (sph_get_input_warning_count(o.warnings) != 0) fuzz::fault("no warning count", 0);
    if (o.build_status == 0) o.particles = fuzz::ParticleSnapshot::take();
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorrel;
    fuzz::Scratch& scratch = fuzz::scratch();
    static const std::string deck = scratch.path("deck.inp");
    scratch.write(deck, data, size);
    sph_initialize();
    const Outcome first = read_and_build(deck);
    if (!(read_and_build(deck) == first)) fuzz::fault("a second read of the same deck came out differently", 0);
    if (first.build_status == 0 && first.count <= fuzz::step_particle_limit) {
        fuzz::redirect_output();
        // The deck's run, one step a call, so that every step is checked.
        const int32_t steps = std::min(sph_control.max_steps, max_steps);
        sph_control.max_steps = 1;
        for (int32_t k = 0; k < steps; ++k)
            if (!step_is_finite()) break;
    }
    sph_finalize();
    scratch.clear_output();
    return 0;
}
