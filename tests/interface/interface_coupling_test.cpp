// The coupling functions of the C layer and the Fortran-callable coupling entries below it:
// what the C layer refuses before calling anything, what it lets through to the coupling
// interface, the entries' region indices, export indices and facet ids counted from 1,
// their export records, their diagnostics buffers, and the missing interface guard.
//
// The deck, tests/decks/iface_coupling.inp, holds four particles (nodes 11-14 are particles
// 1-4): water at 1 (0, 0, 4) and 3 (0, 8, 0), mass 2, volume 0.5, h 0.5, rho 1000,
// pressure 3; shells at 2 (8, 0, 0) and 4 (8, 8, 0) with the particle defaults (mass, volume,
// h 1, rho 1000, pressure 0), director (0, 0, 1) and reference area volume / thickness
// = 1 / 0.5 = 2. Materials WATER 1 and HULL 2; sections 1 (water) and 2 (shell).
// Regions: 1 Wet over the nodes 13, 12, 11, 14 in that order (particles 3, 2, 1, 4), export
// both, contact import; 2 Skin over the two shells, facet export; 3 Off, disabled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "interface/sph_api.h"
#include "quorrel.h"
#include "quorrel_coupling_test.h"
#include "quorrel_interface_test.h"

namespace {

using namespace quorrel;

const std::string coupling_deck = std::string(QUORREL_TEST_DECKS) + "/iface_coupling.inp";

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();
// Finite for the C layer; the coupling interface takes only values below it.
constexpr double largest = std::numeric_limits<double>::max();

using test::LastError;
using test::last_error;

// Everything of the coupling state that an import or a query could change: the epoch, the
// thirteen counters, the load balance and the buffers.
std::vector<double> coupling_state() {
    const SphCouplingInterface& c = sph_coupling;
    std::vector<double> s = {double(c.coupling_epoch),
                             double(c.coupling_step_load_consumed),
                             double(c.coupling_stale_load_count),
                             double(c.coupling_skipped_particle_count),
                             double(c.coupling_nonfinite_import_count),
                             double(c.coupling_imported_force_count),
                             double(c.coupling_repeated_import_count),
                             double(c.coupling_duplicate_facet_count),
                             double(c.coupling_invalid_weight_count),
                             double(c.coupling_active_contact_count),
                             double(c.coupling_skipped_contact_count),
                             double(c.coupling_nonfinite_contact_count),
                             double(c.coupling_bad_facet_area_count),
                             c.coupling_facet_force_error,
                             c.coupling_max_pressure,
                             c.coupling_max_traction,
                             c.coupling_max_penetration,
                             double(c.coupling_external_force.size())};
    s.insert(s.end(), c.coupling_facet_input_force.begin(), c.coupling_facet_input_force.end());
    s.insert(s.end(), c.coupling_external_force.begin(), c.coupling_external_force.end());
    s.insert(s.end(), c.coupling_motion_flag.begin(), c.coupling_motion_flag.end());
    s.insert(s.end(), c.coupling_contact_flag.begin(), c.coupling_contact_flag.end());
    return s;
}

class CouplingBoundary : public test::InterfaceTest {
protected:
    void build() {
        (void)quorrel_finalize();
        InterfaceTest::build(coupling_deck);
    }
};

// ---- The C layer's refusals ----

// Room for every output of one call, all holding a sentinel: a refused call must leave
// every one of them as it was. Exports use capacity 4: counts at i[0], the six integer
// columns at i[8..31], the 28 scalars at d[0..27] and the 36 vector values at d[28..63].
struct Sink {
    static constexpr int room = 64;
    int i[room];
    double d[room];
    char name[16];
    Sink() {
        std::fill_n(i, room, -7);
        std::fill_n(d, room, -7.0);
        std::fill_n(name, 16, 'x');
    }
    bool untouched() const {
        return std::all_of(i, i + room, [](int v) { return v == -7; }) &&
               std::all_of(d, d + room, [](double v) { return v == -7.0; }) &&
               std::all_of(name, name + 16, [](char c) { return c == 'x'; });
    }
};

// Pointer argument `k` of a call, or null when `k` is the one left out.
template <class T>
T* or_null(T* p, int k, int left_out) {
    return k == left_out ? nullptr : p;
}

int region_info(Sink& s, int region, int capacity, int left_out = -1) {
    return quorrel_coupling_get_region_info(region, or_null(s.name, 0, left_out), capacity,
                                            or_null(&s.i[0], 1, left_out), or_null(&s.i[1], 2, left_out),
                                            or_null(&s.i[2], 3, left_out), or_null(&s.i[3], 4, left_out),
                                            or_null(&s.i[4], 5, left_out), or_null(&s.i[5], 6, left_out));
}

int region_modes(Sink& s, int region, int left_out = -1) {
    return quorrel_coupling_get_region_modes(region, or_null(&s.i[0], 0, left_out), or_null(&s.i[1], 1, left_out),
                                             or_null(&s.i[2], 2, left_out));
}

int export_particles(Sink& s, int region, int capacity, int left_out = -1) {
    return quorrel_coupling_export_particles(
        region, capacity, or_null(&s.i[0], 0, left_out), or_null(s.i + 8, 1, left_out), or_null(s.i + 12, 2, left_out),
        or_null(s.i + 16, 3, left_out), or_null(s.i + 20, 4, left_out), or_null(s.i + 24, 5, left_out),
        or_null(s.i + 28, 6, left_out), or_null(s.d, 7, left_out), or_null(s.d + 28, 8, left_out));
}

int export_facets(Sink& s, int region, int capacity, int left_out = -1) {
    return quorrel_coupling_export_facets(region, capacity, or_null(&s.i[0], 0, left_out),
                                          or_null(s.i + 8, 1, left_out), or_null(s.i + 12, 2, left_out),
                                          or_null(s.i + 16, 3, left_out), or_null(s.i + 20, 4, left_out),
                                          or_null(s.d, 5, left_out), or_null(s.d + 36, 6, left_out));
}

int load_balance(Sink& s, int left_out) {
    return quorrel_coupling_get_load_balance(or_null(s.d, 0, left_out), or_null(s.d + 3, 1, left_out),
                                             or_null(s.d + 6, 2, left_out), or_null(s.d + 7, 3, left_out),
                                             or_null(s.d + 10, 4, left_out), or_null(s.d + 13, 5, left_out));
}

// A contact state for facet 2 (a shell of Wet) with one pointer left out, or with a value
// that is not finite in array `bad` (1 normals, 2 gaps, 3 penetrations, 4 pressures).
int contact(int region, int count, int step, int left_out, int bad) {
    const int ids[1] = {2};
    double normal[3] = {0.0, 0.0, 1.0}, gap[1] = {0.125}, penetration[1] = {0.25}, pressure[1] = {1.0};
    if (bad == 1) normal[1] = nan_value;
    if (bad == 2) gap[0] = inf_value;
    if (bad == 3) penetration[0] = nan_value;
    if (bad == 4) pressure[0] = -inf_value;
    return quorrel_coupling_apply_contact_state(region, count, or_null(ids, 0, left_out), or_null(normal, 1, left_out),
                                                or_null(gap, 2, left_out), or_null(penetration, 3, left_out),
                                                or_null(pressure, 4, left_out), step);
}

using ListImport = int (*)(int, int, const int*, const double*);
using StepImport = int (*)(int, int, const int*, const double*, int, int);

struct RefusedCase {
    std::string name;
    std::function<int(Sink&)> call;
};

std::vector<RefusedCase> refused_cases() {
    std::vector<RefusedCase> cases = {
        {"region count, null count", [](Sink&) { return quorrel_coupling_get_region_count(nullptr); }},
        {"region info, index 0", [](Sink& s) { return region_info(s, 0, 16); }},
        {"region info, index -1", [](Sink& s) { return region_info(s, -1, 16); }},
        {"region info, capacity 1", [](Sink& s) { return region_info(s, 1, 1); }},
        {"region info, capacity 0", [](Sink& s) { return region_info(s, 1, 0); }},
        {"region modes, index 0", [](Sink& s) { return region_modes(s, 0); }},
        {"export particles, index 0", [](Sink& s) { return export_particles(s, 0, 4); }},
        {"export particles, capacity -1", [](Sink& s) { return export_particles(s, 1, -1); }},
        {"export facets, index 0", [](Sink& s) { return export_facets(s, 0, 4); }},
        {"export facets, capacity -1", [](Sink& s) { return export_facets(s, 1, -1); }},
        {"motion, region 0",
         [](Sink&) {
             const double target[3] = {1.0, 0.0, 0.0};
             return quorrel_coupling_apply_motion_boundary(0, 1, 1, 1, target);
         }},
        {"motion, export index 0",
         [](Sink&) {
             const double target[3] = {1.0, 0.0, 0.0};
             return quorrel_coupling_apply_motion_boundary(1, 0, 1, 1, target);
         }},
        {"motion, null target", [](Sink&) { return quorrel_coupling_apply_motion_boundary(1, 1, 1, 1, nullptr); }},
        {"motion, NaN target",
         [](Sink&) {
             const double target[3] = {nan_value, 0.0, 0.0};
             return quorrel_coupling_apply_motion_boundary(1, 1, 1, 1, target);
         }},
        {"motion, infinite target",
         [](Sink&) {
             const double target[3] = {0.0, 0.0, -inf_value};
             return quorrel_coupling_apply_motion_boundary(1, 1, 2, 1, target);
         }},
        {"contact, region 0", [](Sink&) { return contact(0, 1, 1, -1, 0); }},
        {"contact, count -1", [](Sink&) { return contact(1, -1, 1, -1, 0); }},
        {"contact, step -1", [](Sink&) { return contact(1, 1, -1, -1, 0); }},
        {"contact, step -1 and count 0", [](Sink&) { return contact(1, 0, -1, -1, 0); }},
        {"contact diagnostics, null counts",
         [](Sink& s) { return quorrel_coupling_get_contact_diagnostics(nullptr, 7, s.d, 1); }},
        {"contact diagnostics, null values",
         [](Sink& s) { return quorrel_coupling_get_contact_diagnostics(s.i, 7, nullptr, 1); }},
        {"contact diagnostics, 6 counts",
         [](Sink& s) { return quorrel_coupling_get_contact_diagnostics(s.i, 6, s.d, 1); }},
        {"contact diagnostics, 0 values",
         [](Sink& s) { return quorrel_coupling_get_contact_diagnostics(s.i, 7, s.d, 0); }},
        {"diagnostics, null values", [](Sink& s) { return quorrel_coupling_get_diagnostics(nullptr, 27, s.i, 12); }},
        {"diagnostics, null counts", [](Sink& s) { return quorrel_coupling_get_diagnostics(s.d, 27, nullptr, 12); }},
        {"diagnostics, 26 values", [](Sink& s) { return quorrel_coupling_get_diagnostics(s.d, 26, s.i, 12); }},
        {"diagnostics, 11 counts", [](Sink& s) { return quorrel_coupling_get_diagnostics(s.d, 27, s.i, 11); }},
    };
    for (int k = 0; k < 7; ++k)
        cases.push_back(
            {"region info, null pointer " + std::to_string(k), [k](Sink& s) { return region_info(s, 1, 16, k); }});
    for (int k = 0; k < 3; ++k)
        cases.push_back(
            {"region modes, null pointer " + std::to_string(k), [k](Sink& s) { return region_modes(s, 1, k); }});
    for (int k = 0; k < 9; ++k)
        cases.push_back({"export particles, null pointer " + std::to_string(k),
                         [k](Sink& s) { return export_particles(s, 1, 4, k); }});
    for (int k = 0; k < 7; ++k)
        cases.push_back(
            {"export facets, null pointer " + std::to_string(k), [k](Sink& s) { return export_facets(s, 1, 4, k); }});
    for (int k = 0; k < 6; ++k)
        cases.push_back(
            {"load balance, null pointer " + std::to_string(k), [k](Sink& s) { return load_balance(s, k); }});
    for (int k = 0; k < 5; ++k)
        cases.push_back({"contact, null pointer " + std::to_string(k), [k](Sink&) { return contact(1, 1, 1, k, 0); }});
    for (int bad = 1; bad <= 4; ++bad)
        cases.push_back({"contact, value not finite in array " + std::to_string(bad),
                         [bad](Sink&) { return contact(1, 1, 1, -1, bad); }});

    // Particle forces (export index 1) and facet loads (facet 2) share their checks.
    const struct {
        const char* name;
        ListImport call;
        int id;
    } lists[] = {{"particle forces", quorrel_coupling_apply_particle_forces, 1},
                 {"facet loads", quorrel_coupling_apply_facet_loads, 2}};
    for (const auto& l : lists) {
        const ListImport call = l.call;
        const int id = l.id;
        const std::string n = l.name;
        cases.push_back({n + ", region 0", [=](Sink&) {
                             const int ids[1] = {id};
                             const double v[3] = {1.0, 2.0, 3.0};
                             return call(0, 1, ids, v);
                         }});
        cases.push_back({n + ", count -1", [=](Sink&) {
                             const int ids[1] = {id};
                             const double v[3] = {1.0, 2.0, 3.0};
                             return call(1, -1, ids, v);
                         }});
        cases.push_back({n + ", null ids", [=](Sink&) {
                             const double v[3] = {1.0, 2.0, 3.0};
                             return call(1, 1, nullptr, v);
                         }});
        cases.push_back({n + ", null values", [=](Sink&) {
                             const int ids[1] = {id};
                             return call(1, 1, ids, nullptr);
                         }});
        // The bad component is the last one the count covers.
        for (const double bad : {nan_value, inf_value, -inf_value})
            cases.push_back({n + ", last component " + std::to_string(bad), [=](Sink&) {
                                 const int ids[2] = {id, id};
                                 const double v[6] = {1.0, 2.0, 3.0, 4.0, 5.0, bad};
                                 return call(1, 2, ids, v);
                             }});
    }

    // Pressures (one value a facet), tractions and resultants (three) share theirs.
    const struct {
        const char* name;
        StepImport call;
        int per_facet;
    } steps[] = {{"pressures", quorrel_coupling_apply_facet_pressures, 1},
                 {"tractions", quorrel_coupling_apply_facet_tractions, 3},
                 {"resultants", quorrel_coupling_apply_facet_resultants, 3}};
    for (const auto& t : steps) {
        const StepImport call = t.call;
        const int per = t.per_facet;
        const std::string n = t.name;
        cases.push_back({n + ", region 0", [=](Sink&) {
                             const int ids[1] = {2};
                             const double v[3] = {1.0, 2.0, 3.0};
                             return call(0, 1, ids, v, 1, 1);
                         }});
        cases.push_back({n + ", count -1", [=](Sink&) {
                             const int ids[1] = {2};
                             const double v[3] = {1.0, 2.0, 3.0};
                             return call(1, -1, ids, v, 1, 1);
                         }});
        cases.push_back({n + ", step -1", [=](Sink&) {
                             const int ids[1] = {2};
                             const double v[3] = {1.0, 2.0, 3.0};
                             return call(1, 1, ids, v, 1, -1);
                         }});
        cases.push_back({n + ", step -1 and count 0", [=](Sink&) { return call(1, 0, nullptr, nullptr, 1, -1); }});
        cases.push_back({n + ", null ids", [=](Sink&) {
                             const double v[3] = {1.0, 2.0, 3.0};
                             return call(1, 1, nullptr, v, 1, 1);
                         }});
        cases.push_back({n + ", null values", [=](Sink&) {
                             const int ids[1] = {2};
                             return call(1, 1, ids, nullptr, 1, 1);
                         }});
        for (const double bad : {nan_value, inf_value, -inf_value})
            cases.push_back({n + ", last value " + std::to_string(bad), [=](Sink&) {
                                 const int ids[2] = {2, 4};
                                 double v[6] = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
                                 v[2 * per - 1] = bad;
                                 return call(1, 2, ids, v, 1, 1);
                             }});
    }
    return cases;
}

// Each refusal would, had it reached the coupling interface, have recorded a message of its
// own, changed the coupling state or written an output: none of that happens.
TEST_F(CouplingBoundary, CLayerRefusalsCallNothingAndKeepTheEarlierError) {
    build();
    const double target[3] = {1.0, 0.0, 0.0};
    ASSERT_EQ(quorrel_coupling_apply_motion_boundary(1, 1, 1, 3, target), 1);  // an error to keep
    const LastError earlier = last_error();
    ASSERT_EQ(earlier, (LastError{1, "coupling motion mode is invalid"}));
    const std::vector<double> state = coupling_state();
    for (const RefusedCase& c : refused_cases()) {
        Sink s;
        EXPECT_EQ(c.call(s), -1) << c.name;
        EXPECT_TRUE(s.untouched()) << c.name;
        EXPECT_EQ(last_error(), earlier) << c.name;
        EXPECT_EQ(coupling_state(), state) << c.name;
    }
}

// What the C layer lets through, each on a freshly built model (epoch 1): a count of 0 with
// null arrays, values it does not judge (distribution mode, motion kind and mode, region
// indices past the table, capacity 0) and the largest double, which the C layer counts as
// finite and the coupling interface does not. The outcome is the coupling interface's.
TEST_F(CouplingBoundary, CallsPassingTheCChecksReachTheCouplingInterface) {
    Sink s;
    const int facet2[1] = {2}, export1[2] = {1, 1};
    const double unit_x[3] = {1.0, 0.0, 0.0};
    const struct {
        const char* name;
        std::function<int()> call;
        int status;
        const char* message;  // recorded below the C layer; nullptr: the status is 0
        int32_t epoch, nonfinite, invalid_weight;
        int exported;  // count returned by an export, -1 when not an export
    } cases[] = {
        {"particle forces, count 0, null arrays",
         [] { return quorrel_coupling_apply_particle_forces(1, 0, nullptr, nullptr); }, 0, nullptr, 1, 0, 0, -1},
        {"particle forces, count 0, null arrays, region 4",
         [] { return quorrel_coupling_apply_particle_forces(4, 0, nullptr, nullptr); }, 1,
         "coupling region index is invalid", 1, 0, 0, -1},
        {"facet loads, count 0, null arrays, region 4",
         [] { return quorrel_coupling_apply_facet_loads(4, 0, nullptr, nullptr); }, 1,
         "coupling region index is invalid", 1, 0, 0, -1},
        // The epoch check comes first in the three facet imports and the contact import.
        {"pressures, count 0, null arrays, host step 5",
         [] { return quorrel_coupling_apply_facet_pressures(1, 0, nullptr, nullptr, 1, 5); }, 0, nullptr, 5, 0, 0, -1},
        {"tractions, count 0, null arrays, region 4, host step 6",
         [] { return quorrel_coupling_apply_facet_tractions(4, 0, nullptr, nullptr, 1, 6); }, 1,
         "coupling region index is invalid", 6, 0, 0, -1},
        {"resultants, count 0, distribution 4, host step 7",
         [] { return quorrel_coupling_apply_facet_resultants(1, 0, nullptr, nullptr, 4, 7); }, 1,
         "coupling distribution mode is invalid", 7, 0, 1, -1},
        {"contact, count 0, null arrays, host step 9",
         [] { return quorrel_coupling_apply_contact_state(1, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 9); }, 0,
         nullptr, 9, 0, 0, -1},
        {"contact, count 0, null arrays, region without contact import",
         [] { return quorrel_coupling_apply_contact_state(2, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 8); }, 1,
         "coupling region does not import contact state", 8, 0, 0, -1},
        {"motion, target kind 3", [&] { return quorrel_coupling_apply_motion_boundary(1, 1, 3, 1, unit_x); }, 1,
         "coupling motion target kind is invalid", 1, 0, 0, -1},
        {"motion, mode 2", [&] { return quorrel_coupling_apply_motion_boundary(1, 1, 1, 2, unit_x); }, 1,
         "coupling penalty motion mode is reserved", 1, 0, 0, -1},
        {"motion, mode 0", [&] { return quorrel_coupling_apply_motion_boundary(1, 1, 2, 0, unit_x); }, 1,
         "coupling motion mode is invalid", 1, 0, 0, -1},
        {"motion, export index 5", [&] { return quorrel_coupling_apply_motion_boundary(1, 5, 1, 1, unit_x); }, 1,
         "coupling motion export index is invalid", 1, 0, 0, -1},
        {"region modes, index 4", [&] { return quorrel_coupling_get_region_modes(4, &s.i[0], &s.i[1], &s.i[2]); }, 1,
         "coupling region index is invalid", 1, 0, 0, -1},
        {"particle force of the largest double",
         [&] {
             const double f[3] = {largest, 0.0, 0.0};
             return quorrel_coupling_apply_particle_forces(1, 1, export1, f);
         },
         1, "coupling force is not finite", 1, 1, 0, -1},
        {"facet load of minus the largest double",
         [&] {
             const double f[3] = {0.0, -largest, 0.0};
             return quorrel_coupling_apply_facet_loads(1, 1, facet2, f);
         },
         1, "coupling force is not finite", 1, 1, 0, -1},
        {"pressure of the largest double",
         [&] {
             const double p[1] = {largest};
             return quorrel_coupling_apply_facet_pressures(1, 1, facet2, p, 1, 1);
         },
         1, "coupling pressure is not finite", 1, 1, 0, -1},
        {"traction of the largest double",
         [&] {
             const double t[3] = {0.0, 0.0, largest};
             return quorrel_coupling_apply_facet_tractions(1, 1, facet2, t, 2, 1);
         },
         1, "coupling traction is not finite", 1, 1, 0, -1},
        {"resultant of the largest double",
         [&] {
             const double r[3] = {-largest, 0.0, 0.0};
             return quorrel_coupling_apply_facet_resultants(1, 1, facet2, r, 3, 1);
         },
         1, "coupling resultant is not finite", 1, 1, 0, -1},
        {"contact gap of the largest double",
         [&] {
             const double n[3] = {0.0, 0.0, 1.0}, gap[1] = {largest}, pen[1] = {0.25}, p[1] = {1.0};
             return quorrel_coupling_apply_contact_state(1, 1, facet2, n, gap, pen, p, 1);
         },
         1, "coupling contact state contains nonfinite values", 1, 1, 0, -1},
        {"motion target of the largest double",
         [&] {
             const double t[3] = {0.0, largest, 0.0};
             return quorrel_coupling_apply_motion_boundary(1, 1, 2, 1, t);
         },
         1, "coupling motion target is not finite", 1, 1, 0, -1},
        // Only the values the count covers are checked.
        {"particle forces, a NaN past the count",
         [&] {
             const double f[6] = {1.0, 2.0, 3.0, nan_value, 0.0, 0.0};
             return quorrel_coupling_apply_particle_forces(1, 1, export1, f);
         },
         0, nullptr, 1, 0, 0, -1},
        {"export particles, capacity 0", [&] { return export_particles(s, 1, 0); }, 1,
         "coupling particle export capacity is too small", 1, 0, 0, 4},
        {"export facets, capacity 0", [&] { return export_facets(s, 1, 0); }, 1,
         "coupling facet export capacity is too small", 1, 0, 0, 2},
        {"diagnostics, 27 values and 12 counts", [&] { return quorrel_coupling_get_diagnostics(s.d, 27, s.i, 12); }, 0,
         nullptr, 1, 0, 0, -1},
        {"contact diagnostics, 7 counts and 1 value",
         [&] { return quorrel_coupling_get_contact_diagnostics(s.i, 7, s.d, 1); }, 0, nullptr, 1, 0, 0, -1},
    };
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(build()) << c.name;
        ASSERT_EQ(sph_coupling.coupling_epoch, 1) << c.name;
        sph_error_clear();
        s = Sink();
        EXPECT_EQ(c.call(), c.status) << c.name;
        const LastError e = last_error();
        if (c.message) {
            EXPECT_EQ(e, (LastError{1, c.message})) << c.name;
        } else {
            EXPECT_EQ(e, (LastError{0, "OK"})) << c.name;
        }
        EXPECT_EQ(sph_coupling.coupling_epoch, c.epoch) << c.name;
        EXPECT_EQ(sph_coupling.coupling_nonfinite_import_count, c.nonfinite) << c.name;
        EXPECT_EQ(sph_coupling.coupling_invalid_weight_count, c.invalid_weight) << c.name;
        if (c.exported >= 0) {
            EXPECT_EQ(s.i[0], c.exported) << c.name;
        }
    }
}

// ---- The Fortran-callable entries ----

// Every diagnostics slot holds its own number: values 1..27, counts 101..112, in the order
// of the diagnostics layout.
void number_the_diagnostics() { test::number_coupling_diagnostics(0.0); }

// The entry takes 22 values and 5 counts, below the C layer's 27 and 12: the first 22 and
// 5 slots are filled; further room up to the capacity is zeroed and filled only from 27 and
// 12 on. Too small a buffer is the entry's own refusal (code 1), with nothing written.
// The interface is closed throughout: the entry has no guard.
TEST_F(CouplingBoundary, EntryDiagnosticsTakeSmallerBuffersThanTheCLayer) {
    const struct {
        bool through_c;
        int32_t value_capacity, count_capacity;
        int status;
        int values_filled, counts_filled;  // slots holding their number; zeros follow up to the capacity
    } cases[] = {
        {false, 22, 5, 0, 22, 5},   {false, 24, 7, 0, 22, 5},  {false, 27, 12, 0, 27, 12},
        {false, 30, 14, 0, 27, 12}, {false, 21, 5, 1, 0, 0},   {false, 22, 4, 1, 0, 0},
        {false, 21, 12, 1, 0, 0},   {true, 27, 12, 0, 27, 12}, {true, 30, 14, 0, 27, 12},
    };
    constexpr int value_room = 30, count_room = 14;
    for (const auto& c : cases) {
        const std::string name = std::string(c.through_c ? "C " : "entry ") + std::to_string(c.value_capacity) + "/" +
                                 std::to_string(c.count_capacity);
        number_the_diagnostics();
        sph_error_clear();
        double values[value_room];
        int32_t counts[count_room];
        std::fill_n(values, value_room, -7.0);
        std::fill_n(counts, count_room, -7);
        int32_t ierr = -1;
        if (c.through_c)
            ierr = quorrel_coupling_get_diagnostics(values, c.value_capacity, counts, c.count_capacity);
        else
            sphft_coupling_get_diagnostics_(&c.value_capacity, values, &c.count_capacity, counts, &ierr);
        EXPECT_EQ(ierr, c.status) << name;
        const LastError want = c.status ? LastError{1, "coupling diagnostics buffer is too small"} : LastError{0, "OK"};
        EXPECT_EQ(last_error(), want) << name;
        const bool written = c.status == 0;
        for (int k = 0; k < value_room; ++k) {
            const double want = k < c.values_filled ? k + 1.0 : written && k < c.value_capacity ? 0.0 : -7.0;
            EXPECT_EQ(values[k], want) << name << ", value " << k + 1;
        }
        for (int k = 0; k < count_room; ++k) {
            const int want = k < c.counts_filled ? 101 + k : written && k < c.count_capacity ? 0 : -7;
            EXPECT_EQ(counts[k], want) << name << ", count " << k + 1;
        }
    }
}

// Contact diagnostics: counts active, skipped, stale, repeated, non-finite contacts, bad
// areas, invalid weights; one value, the largest penetration. The C function writes those
// seven counts and one value whatever room it is given beyond them.
TEST_F(CouplingBoundary, ContactDiagnosticsComeInTheirOrder) {
    number_the_diagnostics();
    const int want[7] = {109, 110, 101, 106, 111, 112, 108};
    {
        int32_t counts[8], ierr = -1;
        double values[2];
        std::fill_n(counts, 8, -7);
        std::fill_n(values, 2, -7.0);
        sphft_coupling_get_contact_diagnostics_(counts, values, &ierr);
        EXPECT_EQ(ierr, 0);
        for (int k = 0; k < 7; ++k) EXPECT_EQ(counts[k], want[k]) << "entry, count " << k + 1;
        EXPECT_EQ(counts[7], -7);
        EXPECT_EQ(values[0], 27.0);
        EXPECT_EQ(values[1], -7.0);
    }
    {
        int counts[9];
        double values[3];
        std::fill_n(counts, 9, -7);
        std::fill_n(values, 3, -7.0);
        EXPECT_EQ(quorrel_coupling_get_contact_diagnostics(counts, 9, values, 3), 0);
        for (int k = 0; k < 7; ++k) EXPECT_EQ(counts[k], want[k]) << "C, count " << k + 1;
        EXPECT_EQ(counts[7], -7);
        EXPECT_EQ(counts[8], -7);
        EXPECT_EQ(values[0], 27.0);
        EXPECT_EQ(values[1], -7.0);
    }
}

// Calls through the entries name regions, export indices and facet ids from 1; inside,
// particle p (1-based) is slot p - 1 of the buffers.
TEST_F(CouplingBoundary, EntriesCountRegionsExportIndicesAndFacetIdsFromOne) {
    build();
    const int32_t wet = 1, skin = 2, uniform = 1, host_step = 1;  // the build's epoch
    int32_t ierr = -1;

    // Export indices 1 and 4 of Wet are particles 3 and 4.
    {
        const int32_t count = 2, indices[2] = {1, 4};
        const double forces[6] = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
        sphft_coupling_apply_particle_forces_(&wet, &count, indices, forces, &ierr);
        ASSERT_EQ(ierr, 0) << last_error().message;
    }
    // Facet 4 of Skin is particle 4: its load adds to the force above.
    {
        const int32_t count = 1, ids[1] = {4};
        const double loads[3] = {0.5, 0.5, 0.5};
        sphft_coupling_apply_facet_loads_(&skin, &count, ids, loads, &ierr);
        ASSERT_EQ(ierr, 0) << last_error().message;
    }
    // Facet 2 of Wet is particle 2 at (8, 0, 0): a resultant (0, 0, 7) there has the moment
    // (8, 0, 0) x (0, 0, 7) = (0 * 7 - 0 * 0, 0 * 0 - 8 * 7, 8 * 0 - 0 * 0) = (0, -56, 0).
    {
        const int32_t count = 1, ids[1] = {2};
        const double resultants[3] = {0.0, 0.0, 7.0};
        sphft_coupling_apply_facet_resultants_(&wet, &count, ids, resultants, &uniform, &host_step, &ierr);
        ASSERT_EQ(ierr, 0) << last_error().message;
    }
    // Export index 3 of Wet is particle 1.
    {
        const int32_t index = 3, kind = 1, mode = 1;
        const double target[3] = {0.5, 0.0, 0.0};
        sphft_coupling_apply_motion_boundary_(&wet, &index, &kind, &mode, target, &ierr);
        ASSERT_EQ(ierr, 0) << last_error().message;
    }
    // Facet 4 of Wet takes a contact state; its normal (0, 0, 3) is stored as (0, 0, 1).
    {
        const int32_t count = 1, ids[1] = {4};
        const double normals[3] = {0.0, 0.0, 3.0}, gaps[1] = {0.125}, penetrations[1] = {0.25}, pressures[1] = {2.0};
        sphft_coupling_apply_contact_state_(&wet, &count, ids, normals, gaps, penetrations, pressures, &host_step,
                                            &ierr);
        ASSERT_EQ(ierr, 0) << last_error().message;
    }

    const SphCouplingInterface& c = sph_coupling;
    const std::vector<double> force = {0.0, 0.0, 0.0, 0.0, 0.0, 7.0, 1.0, 2.0, 3.0, 4.5, 5.5, 6.5};
    EXPECT_EQ(c.coupling_external_force, force);
    EXPECT_EQ(c.coupling_motion_flag, (std::vector<int32_t>{1, 0, 0, 0}));
    EXPECT_EQ(c.coupling_motion_velocity, (std::vector<double>{0.5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(c.coupling_contact_flag, (std::vector<int32_t>{0, 0, 0, 1}));
    EXPECT_EQ(c.coupling_contact_normal, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(c.coupling_contact_penetration, (std::vector<double>{0, 0, 0, 0.25}));
    EXPECT_EQ(c.coupling_imported_force_count, 4);
    // The resultant and the contact state came for the host step already buffered.
    EXPECT_EQ(c.coupling_repeated_import_count, 2);

    double in_f[3], out_f[3], f_err = -1, in_m[3], out_m[3], m_err = -1;
    sphft_coupling_get_load_balance_(in_f, out_f, &f_err, in_m, out_m, &m_err, &ierr);
    EXPECT_EQ(ierr, 0);
    EXPECT_EQ(std::vector<double>(in_f, in_f + 3), (std::vector<double>{0, 0, 7}));
    EXPECT_EQ(std::vector<double>(out_f, out_f + 3), (std::vector<double>{0, 0, 7}));
    EXPECT_EQ(std::vector<double>(in_m, in_m + 3), (std::vector<double>{0, -56, 0}));
    EXPECT_EQ(std::vector<double>(out_m, out_m + 3), (std::vector<double>{0, -56, 0}));
    EXPECT_EQ(f_err, 0.0);
    EXPECT_EQ(m_err, 0.0);

    // Numbers one past either end, read as positions or ids counted from 1. Each is refused
    // before it adds anything.
    const auto forces_at = [](int32_t index) {
        const int32_t region = 1, count = 1, indices[1] = {index};
        const double f[3] = {1.0, 1.0, 1.0};
        int32_t st = -1;
        sphft_coupling_apply_particle_forces_(&region, &count, indices, f, &st);
        return st;
    };
    const auto resultant_at = [](int32_t region, int32_t id) {
        const int32_t count = 1, mode = 1, step = 1, ids[1] = {id};
        const double r[3] = {1.0, 1.0, 1.0};
        int32_t st = -1;
        sphft_coupling_apply_facet_resultants_(&region, &count, ids, r, &mode, &step, &st);
        return st;
    };
    const auto motion_at = [](int32_t index) {
        const int32_t region = 1, kind = 1, mode = 1;
        const double t[3] = {1.0, 1.0, 1.0};
        int32_t st = -1;
        sphft_coupling_apply_motion_boundary_(&region, &index, &kind, &mode, t, &st);
        return st;
    };
    const struct {
        const char* name;
        std::function<int32_t()> call;
        const char* message;
    } refusals[] = {
        {"force at export index 0", [&] { return forces_at(0); }, "coupling force export index is invalid"},
        {"force at export index 5", [&] { return forces_at(5); }, "coupling force export index is invalid"},
        {"motion at export index 0", [&] { return motion_at(0); }, "coupling motion export index is invalid"},
        {"motion at export index 5", [&] { return motion_at(5); }, "coupling motion export index is invalid"},
        {"Wet facet 1 (water)", [&] { return resultant_at(1, 1); }, "coupling facet proxy requires Shell particles"},
        {"Wet facet 3 (water)", [&] { return resultant_at(1, 3); }, "coupling facet proxy requires Shell particles"},
        {"Wet facet 0", [&] { return resultant_at(1, 0); }, "coupling facet id is invalid"},
        {"Wet facet 5", [&] { return resultant_at(1, 5); }, "coupling facet id is invalid"},
        {"Skin facet 3 (not a member)", [&] { return resultant_at(2, 3); }, "coupling facet id is invalid"},
        {"region 4", [&] { return resultant_at(4, 2); }, "coupling region index is invalid"},
    };
    for (const auto& r : refusals) {
        sph_error_clear();
        EXPECT_EQ(r.call(), 1) << r.name;
        EXPECT_EQ(last_error(), (LastError{1, r.message})) << r.name;
        EXPECT_EQ(c.coupling_external_force, force) << r.name;
        EXPECT_EQ(c.coupling_motion_flag, (std::vector<int32_t>{1, 0, 0, 0})) << r.name;
    }
}

// The export records of the entries and of the C functions: node numbers, 1-based particle
// indices and facet ids, in the order of the region's list.
TEST_F(CouplingBoundary, ExportRecordsShowParticleIndicesAndFacetIdsFromOne) {
    build();
    const double water_scalars[7] = {2.0, 0.5, 1000.0, 3.0, 0.0, 293.15, 0.5};
    const double shell_scalars[7] = {1.0, 1.0, 1000.0, 0.0, 0.0, 293.15, 1.0};
    const double position[4][3] = {{0, 0, 4}, {8, 0, 0}, {0, 8, 0}, {8, 8, 0}};  // particles 1..4
    for (const bool through_c : {false, true}) {
        const char* how = through_c ? "C" : "entry";
        int ints[6][4], count = -1;
        double scalars[28], vectors[36];
        const int32_t region = 1, capacity = 4;
        if (through_c) {
            ASSERT_EQ(quorrel_coupling_export_particles(region, capacity, &count, ints[0], ints[1], ints[2], ints[3],
                                                        ints[4], ints[5], scalars, vectors),
                      0)
                << last_error().message;
        } else {
            int32_t ierr = -1;
            sphft_coupling_export_particles_(&region, &capacity, &count, ints[0], ints[1], ints[2], ints[3], ints[4],
                                             ints[5], scalars, vectors, &ierr);
            ASSERT_EQ(ierr, 0) << last_error().message;
        }
        ASSERT_EQ(count, 4) << how;
        const int particle[4] = {3, 2, 1, 4};
        const int want[6][4] = {{13, 12, 11, 14}, {3, 2, 1, 4}, {1, 5, 1, 5}, {0, 0, 0, 0}, {1, 2, 1, 2}, {1, 2, 1, 2}};
        for (int col = 0; col < 6; ++col)
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(ints[col][k], want[col][k]) << how << " column " << col << " entry " << k;
        for (int k = 0; k < 4; ++k) {
            const bool shell = k == 1 || k == 3;
            for (int row = 0; row < 7; ++row)
                EXPECT_EQ(scalars[7 * k + row], shell ? shell_scalars[row] : water_scalars[row])
                    << how << " entry " << k << " row " << row;
            for (int j = 0; j < 9; ++j)
                EXPECT_EQ(vectors[9 * k + j], j < 3 ? position[particle[k] - 1][j] : 0.0)
                    << how << " entry " << k << " vector value " << j;
        }

        int facet_ints[4][2], facets = -1;
        double facet_vectors[18], areas[2];
        const int32_t two = 2;
        if (through_c) {
            ASSERT_EQ(quorrel_coupling_export_facets(region, two, &facets, facet_ints[0], facet_ints[1], facet_ints[2],
                                                     facet_ints[3], facet_vectors, areas),
                      0)
                << last_error().message;
        } else {
            int32_t ierr = -1;
            sphft_coupling_export_facets_(&region, &two, &facets, facet_ints[0], facet_ints[1], facet_ints[2],
                                          facet_ints[3], facet_vectors, areas, &ierr);
            ASSERT_EQ(ierr, 0) << last_error().message;
        }
        ASSERT_EQ(facets, 2) << how;
        const int facet_want[4][2] = {{2, 4}, {12, 14}, {2, 2}, {2, 2}};
        for (int col = 0; col < 4; ++col)
            for (int k = 0; k < 2; ++k)
                EXPECT_EQ(facet_ints[col][k], facet_want[col][k]) << how << " facet column " << col << " entry " << k;
        for (int k = 0; k < 2; ++k) {
            const double* centre = position[facet_ints[0][k] - 1];
            const double want_vector[9] = {centre[0], centre[1], centre[2], 0, 0, 0, 0, 0, 1};
            for (int j = 0; j < 9; ++j)
                EXPECT_EQ(facet_vectors[9 * k + j], want_vector[j]) << how << " facet " << k << " value " << j;
            EXPECT_EQ(areas[k], 2.0) << how << " facet " << k;
        }
    }

    // An exported facet id is what the imports take: a pressure of 1.5 on the second
    // exported facet (id 4) puts 1.5 * area 2 * (0, 0, 1) = (0, 0, 3) on node 14.
    const int ids[1] = {4};
    const double pressure[1] = {1.5};
    ASSERT_EQ(quorrel_coupling_apply_facet_pressures(1, 1, ids, pressure, 1, 1), 0) << last_error().message;
    EXPECT_EQ(sph_coupling.coupling_external_force, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}));
}

// Region index 0 through any entry is outside the table: the coupling interface's own
// refusal, code 1.
TEST_F(CouplingBoundary, RegionIndexZeroThroughAnEntryIsInvalid) {
    build();
    const int32_t zero = 0, none = 0, one = 1, four = 4, step = 1;
    int32_t i[8] = {}, ids[4] = {}, chars[8] = {};
    double d[40] = {};
    const struct {
        const char* name;
        std::function<void(int32_t*)> call;
    } cases[] = {
        {"region modes", [&](int32_t* e) { sphft_coupling_get_region_modes_(&zero, &i[0], &i[1], &i[2], e); }},
        {"region info",
         [&](int32_t* e) {
             const int32_t capacity = 8;
             sphft_coupling_get_region_info_(&zero, chars, &capacity, &i[0], &i[1], &i[2], &i[3], &i[4], &i[5], &i[6],
                                             e);
         }},
        {"export particles",
         [&](int32_t* e) {
             int32_t cols[6][4];
             sphft_coupling_export_particles_(&zero, &four, &i[0], cols[0], cols[1], cols[2], cols[3], cols[4], cols[5],
                                              d, d, e);
         }},
        {"export facets",
         [&](int32_t* e) {
             int32_t cols[4][4];
             sphft_coupling_export_facets_(&zero, &four, &i[0], cols[0], cols[1], cols[2], cols[3], d, d, e);
         }},
        {"particle forces", [&](int32_t* e) { sphft_coupling_apply_particle_forces_(&zero, &none, ids, d, e); }},
        {"facet loads", [&](int32_t* e) { sphft_coupling_apply_facet_loads_(&zero, &none, ids, d, e); }},
        {"facet pressures",
         [&](int32_t* e) { sphft_coupling_apply_facet_pressures_(&zero, &none, ids, d, &one, &step, e); }},
        {"facet tractions",
         [&](int32_t* e) { sphft_coupling_apply_facet_tractions_(&zero, &none, ids, d, &one, &step, e); }},
        {"facet resultants",
         [&](int32_t* e) { sphft_coupling_apply_facet_resultants_(&zero, &none, ids, d, &one, &step, e); }},
        {"contact state",
         [&](int32_t* e) { sphft_coupling_apply_contact_state_(&zero, &none, ids, d, d, d, d, &step, e); }},
        {"motion boundary",
         [&](int32_t* e) {
             const double target[3] = {0.0, 0.0, 0.0};
             sphft_coupling_apply_motion_boundary_(&zero, &one, &one, &one, target, e);
         }},
    };
    for (const auto& c : cases) {
        sph_error_clear();
        int32_t ierr = -1;
        c.call(&ierr);
        EXPECT_EQ(ierr, 1) << c.name;
        EXPECT_EQ(last_error(), (LastError{1, "coupling region index is invalid"})) << c.name;
    }
}

// The coupling calls have no interface guard: closed, initialised without a model or with a
// deck read but not built, they act on whatever the coupling state holds and fail only by
// its own checks, never with the guard's code 2.
TEST_F(CouplingBoundary, CouplingCallsWorkWithoutAGuard) {
    int count = -1;
    double dt = -1.0;
    const int export1[1] = {1};
    const double force[3] = {1.0, 0.0, 0.0};

    // Closed: finalising reset the coupling state (epoch 0).
    ASSERT_EQ(quorrel_estimate_stable_dt(&dt), 2);  // a guarded call, for contrast
    EXPECT_EQ(quorrel_coupling_clear_imports(), 0);
    EXPECT_EQ(sph_coupling.coupling_epoch, 1);
    EXPECT_EQ(quorrel_coupling_get_region_count(&count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(quorrel_coupling_apply_particle_forces(1, 1, export1, force), 1);
    EXPECT_EQ(last_error(), (LastError{1, "coupling region index is invalid"}));

    // Initialised, nothing read: initialising resets to epoch 0, the clear starts epoch 1.
    // Without particles every clear starts from 0 again: its allocation step, finding no
    // particles, releases the state, epoch included.
    ASSERT_EQ(quorrel_initialize(), 0);
    EXPECT_EQ(sph_coupling.coupling_epoch, 0);
    EXPECT_EQ(quorrel_coupling_clear_imports(), 0);
    EXPECT_EQ(sph_coupling.coupling_epoch, 1);
    EXPECT_EQ(quorrel_coupling_clear_imports(), 0);
    EXPECT_EQ(sph_coupling.coupling_epoch, 1);
    {
        double values[27];
        int counts[12];
        EXPECT_EQ(quorrel_coupling_get_diagnostics(values, 27, counts, 12), 0);
    }

    // Read, not built: the regions are on record, their particle lists not yet made.
    ASSERT_EQ(quorrel_read_inp(coupling_deck.c_str()), 0) << last_error().message;
    EXPECT_EQ(sph_coupling.coupling_epoch, 0);  // reading a deck resets the coupling state
    ASSERT_EQ(quorrel_estimate_stable_dt(&dt), 2);
    EXPECT_EQ(quorrel_coupling_get_region_count(&count), 0);
    EXPECT_EQ(count, 3);
    char name[16];
    int type = -1, ex = -1, im = -1, en = -1, pc = -1, fc = -1;
    EXPECT_EQ(quorrel_coupling_get_region_info(1, name, 16, &type, &ex, &im, &en, &pc, &fc), 0);
    EXPECT_STREQ(name, "Wet");
    EXPECT_EQ(en, 1);
    EXPECT_EQ(pc, 0);
    EXPECT_EQ(quorrel_coupling_apply_particle_forces(1, 1, export1, force), 1);
    EXPECT_EQ(last_error(), (LastError{1, "coupling force export index is invalid"}));

    // Built: the build ends with a clear, so the model starts at epoch 1 with four members.
    ASSERT_EQ(quorrel_build_model(), 0) << last_error().message;
    EXPECT_EQ(sph_coupling.coupling_epoch, 1);
    EXPECT_EQ(quorrel_coupling_get_region_info(1, name, 16, &type, &ex, &im, &en, &pc, &fc), 0);
    EXPECT_EQ(pc, 4);
    EXPECT_EQ(quorrel_coupling_apply_particle_forces(1, 1, export1, force), 0) << last_error().message;
}

// Only imports allocate the buffers. Queries, exports, the clear and the step treat absent
// buffers as empty and leave them absent; once allocated they stay, emptied by the step.
TEST_F(CouplingBoundary, BuffersAreAllocatedByImportsOnly) {
    build();
    const auto absent = [] { return sph_coupling.coupling_external_force.empty(); };
    ASSERT_TRUE(absent());
    Sink s;
    EXPECT_EQ(region_info(s, 1, 16), 0);
    EXPECT_EQ(export_particles(s, 1, 4), 0);
    EXPECT_EQ(export_facets(s, 1, 4), 0);
    EXPECT_EQ(quorrel_coupling_get_diagnostics(s.d, 27, s.i, 12), 0);
    EXPECT_EQ(quorrel_coupling_get_contact_diagnostics(s.i, 7, s.d, 1), 0);
    EXPECT_EQ(load_balance(s, -1), 0);
    EXPECT_TRUE(absent());
    EXPECT_EQ(quorrel_coupling_clear_imports(), 0);
    EXPECT_EQ(sph_coupling.coupling_epoch, 2);
    EXPECT_EQ(quorrel_advance_explicit(0.25), 0) << last_error().message;
    EXPECT_TRUE(absent());
    EXPECT_EQ(sph_coupling.coupling_step_load_consumed, 0);
    EXPECT_EQ(sph_coupling.coupling_stale_load_count, 0);

    // A force allocates 3 values for each of the four particles; the step consumes it.
    const int export1[1] = {1};
    const double force[3] = {2.0, 0.0, 0.0};
    ASSERT_EQ(quorrel_coupling_apply_particle_forces(1, 1, export1, force), 0) << last_error().message;
    EXPECT_EQ(sph_coupling.coupling_external_force.size(), 12u);
    EXPECT_EQ(quorrel_advance_explicit(0.25), 0) << last_error().message;
    EXPECT_EQ(sph_coupling.coupling_step_load_consumed, 1);
    EXPECT_EQ(sph_coupling.coupling_external_force, std::vector<double>(12, 0.0));
    // Nothing buffered: the clear finds no stale load. A force left unconsumed is one.
    EXPECT_EQ(quorrel_coupling_clear_imports(), 0);
    EXPECT_EQ(sph_coupling.coupling_stale_load_count, 0);
    ASSERT_EQ(quorrel_coupling_apply_particle_forces(1, 1, export1, force), 0) << last_error().message;
    EXPECT_EQ(quorrel_coupling_clear_imports(), 0);
    EXPECT_EQ(sph_coupling.coupling_stale_load_count, 1);
    EXPECT_EQ(sph_coupling.coupling_epoch, 4);
}

}  // namespace
