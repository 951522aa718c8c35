// The per-particle solid material update on a one-particle model read from a short deck:
// what is stored (the softened stress, from which the next trial starts), the energy
// increment, damage and the failure it ends in, the particles it leaves alone, and its
// index, state and material errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "input/sph_input_reader.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_material.h"
#include "solid/sph_solid_state.h"
#include "quorrel_test.h"

namespace quorrel::test {
namespace {

const double sqrt3 = std::sqrt(3.0);
const double sqrt12 = std::sqrt(12.0);

class SolidUpdate : public DeckTest {
protected:
    // One particle at the origin, bound by a solid section to the solid material Steel of
    // density 2, E = 2 and nu = 0 (G = 1, K = 2/3, lambda = 0). The Johnson-Cook values
    // (A, B, n, C, m, epsdot0, troom, tmelt), the damage constants D1..D5 and the options of
    // the solid control card are left out when empty.
    void build(const std::string& plastic = "", const std::string& damage = "", const std::string& control = "") {
        std::vector<std::string> lines = {"*NODE",    "1, 0.0, 0.0, 0.0", "*NSET, NSET=BAR", "1",
                                          "*MATERIAL, NAME=Steel, TYPE=SOLID", "*DENSITY", "2.0", "*ELASTIC",
                                          "2.0, 0.0"};
        if (!plastic.empty()) lines.insert(lines.end(), {"*PLASTIC", plastic});
        if (!damage.empty()) lines.insert(lines.end(), {"*DAMAGE INITIATION", damage});
        lines.insert(lines.end(), {"*SOLID SECTION, NSET=BAR, MATERIAL=Steel",
                                   "*QUORREL, TIME CONTROL, END TIME=1.0, MAX STEPS=1, DT=1.0"});
        if (!control.empty()) lines.push_back("*QUORREL, SOLID CONTROL, MATERIAL=Steel, " + control);
        ASSERT_EQ(sph_input_read(write_deck(lines)), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        ASSERT_EQ(sph_database.npart, 1);
        ASSERT_EQ(sph_database.particle_phase[0], sph_phase_solid);
        ASSERT_TRUE(sph_solid_state_present());
    }

    // The solid and particle values one update may change.
    struct Snapshot {
        SphSymTensor stress, strain;
        double ep, rate, temp, damage, softening, energy;
        int32_t failure, phase, status;
        bool operator==(const Snapshot&) const = default;
    };
    static Snapshot snapshot() {
        const SphSolidState& s = sph_solid_state;
        Snapshot out{};
        for (std::size_t k = 0; k < 6; ++k) {
            out.stress[k] = s.solid_stress[k];
            out.strain[k] = s.solid_strain[k];
        }
        out.ep = s.solid_plastic_strain[0];
        out.rate = s.solid_plastic_strain_rate[0];
        out.temp = s.solid_temperature[0];
        out.damage = s.solid_damage[0];
        out.softening = s.solid_softening[0];
        out.energy = s.solid_internal_energy[0];
        out.failure = s.solid_failure_status[0];
        out.phase = sph_database.particle_phase[0];
        out.status = sph_database.particle_status[0];
        return out;
    }
};

void expect_close(double got, double want, double tolerance = 1e-15) {
    EXPECT_NEAR(got, want, tolerance * std::fmax(1.0, std::fabs(want)));
}

void expect_tensor(const SphSymTensor& got, const SphSymTensor& want) {
    for (std::size_t k = 0; k < 6; ++k) {
        SCOPED_TRACE("component " + std::to_string(k + 1));
        expect_close(got[k], want[k]);
    }
}

void expect_error(int status, int code, const std::string& message) {
    EXPECT_EQ(status, code);
    EXPECT_EQ(sph_error_code(), code);
    EXPECT_EQ(sph_error_message(), message);
}

// A = 1 without hardening, rate or thermal softening at room temperature: flow stress 1.
const char* unit_flow = "1.0, 0.0, 0.0, 0.0, 1.0, 1.0, 293.15, 1793.0";
const SphSymTensor shear{0, 0, 0, 1, 0, 0};

TEST_F(SolidUpdate, BuildLeavesAFreshPoint) {
    ASSERT_NO_FATAL_FAILURE(build(unit_flow, "1.0, 0.0, 0.0, 0.0, 0.0", "SOFTENING=LINEAR, WIDTH=0.5"));
    const SphSolidState& s = sph_solid_state;
    // E = 2, nu = 0: G = 1, K = 2/3, c = sqrt((2/3 + 4/3) / 2) = 1.
    expect_close(s.solid_shear_modulus[0], 1.0);
    expect_close(s.solid_bulk_modulus[0], 2.0 / 3.0);
    expect_close(s.solid_wave_speed[0], 1.0);
    EXPECT_EQ(s.solid_density[0], 2.0);
    EXPECT_EQ(sph_database.rho[0], 2.0);
    EXPECT_EQ(s.solid_temperature_rise_factor[0], 0.0);
    const Snapshot fresh = snapshot();
    EXPECT_EQ(fresh, (Snapshot{{}, {}, 0, 0, 293.15, 0, 1, 0, 0, sph_phase_solid, sph_status_active}));
    const std::vector<double> identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(s.solid_deformation_gradient, identity);
    EXPECT_EQ(s.solid_correction_matrix, identity);

    // A rise factor from elsewhere (a restart) does not survive a rebuild.
    sph_solid_state.solid_temperature_rise_factor[0] = 5.0;
    ASSERT_EQ(sph_solid_build_state(), 0) << sph_error_message();
    EXPECT_EQ(sph_solid_state.solid_temperature_rise_factor[0], 0.0);
}

TEST_F(SolidUpdate, StoredStressIsSoftenedAndCarriedIntoTheNextTrial) {
    // Failure strain D1 = 1 (triaxiality, rate and temperature terms all off), so the
    // damage of an update is its plastic increment.
    ASSERT_NO_FATAL_FAILURE(build(unit_flow, "1.0, 0.0, 0.0, 0.0, 0.0", "SOFTENING=LINEAR, WIDTH=0.5"));

    // First update, tensor shear xy 1 over dt 0.5: trial xy 2G = 2, q = sqrt(12), flow 1,
    // dep = (sqrt(12) - 1) / 3G, returned xy 1 / sqrt(3) (the mean is 0, so triaxiality 0).
    // Damage dep / 1, softening 1 - dep (the width does not enter); stored xy (1 - dep) / sqrt(3).
    // Energy from the old stress 0 and the new one before softening: 1/2 (1/sqrt(3)) * 2 * 1 / rho 2.
    const double dep = (sqrt12 - 1.0) / 3.0;
    const double soft = 1.0 - dep;
    ASSERT_EQ(sph_solid_update_particle_material(0, shear, 0.5), 0) << sph_error_message();
    Snapshot one = snapshot();
    expect_tensor(one.stress, {0, 0, 0, soft / sqrt3, 0, 0});
    EXPECT_EQ(one.strain, shear);
    expect_close(one.ep, dep);
    expect_close(one.rate, dep / 0.5);
    EXPECT_EQ(one.temp, 293.15);  // rise factor 0
    expect_close(one.damage, dep);
    expect_close(one.softening, soft);
    expect_close(one.energy, 1.0 / (2.0 * sqrt3));
    EXPECT_EQ(one.failure, 0);
    EXPECT_EQ(one.phase, sph_phase_solid);
    EXPECT_EQ(one.status, sph_status_active);

    // Second update, xy -0.1: the trial starts from the stored xy s1 = (1 - dep) / sqrt(3),
    // giving s1 - 0.2 (q = sqrt(3) |s1 - 0.2| = 0.17 < 1: elastic), stored times the
    // softening once more. Energy 1/2 (s1 + s1 - 0.2) * 2 * (-0.1) / 2 = -0.1 (s1 - 0.1);
    // no plastic increment, so damage, softening and plastic strain stay, the rate is 0.
    const double s1 = soft / sqrt3;
    ASSERT_EQ(sph_solid_update_particle_material(0, {0, 0, 0, -0.1, 0, 0}, 0.5), 0) << sph_error_message();
    Snapshot two = snapshot();
    expect_tensor(two.stress, {0, 0, 0, (s1 - 0.2) * soft, 0, 0});
    expect_tensor(two.strain, {0, 0, 0, 0.9, 0, 0});
    expect_close(two.ep, dep);
    EXPECT_EQ(two.rate, 0.0);
    expect_close(two.damage, dep);
    expect_close(two.softening, soft);
    expect_close(two.energy, 1.0 / (2.0 * sqrt3) - 0.1 * (s1 - 0.1));
    EXPECT_EQ(two.failure, 0);
}

TEST_F(SolidUpdate, FailureStrainTakesTriaxialityRateAndTheNewTemperature) {
    // A = 2, T* = (400 - 300) / 200 = 0.5 with m = 1: flow 2 * 0.5 = 1. xx increment 1 over
    // dt 0.25 with lambda 0: trial (2, 0, 0), p = 2/3, q = 2, dep = (2 - 1) / 3 = 1/3, rate
    // 4/3; returned scale 1/2: (4/3, 1/3, 1/3), so triaxiality (2/3) / 1. Work 1 * 1/3 with
    // rise factor 300: T_new = 400 + 100 = 500, T* = 1. Failure strain
    //   (0.5 + exp(1.5 * 2/3)) (1 + 1 * ln(4/3)) (1 + 2 * 1) = (0.5 + e) (1 + ln(4/3)) 3;
    // damage (1/3) / that. The old temperature would give the factor 2 instead of 3, the
    // trial triaxiality 1/3 instead of 2/3.
    ASSERT_NO_FATAL_FAILURE(build("2.0, 0.0, 0.0, 0.0, 1.0, 1.0, 300.0, 500.0", "0.5, 1.0, 1.5, 1.0, 2.0"));
    sph_solid_state.solid_temperature[0] = 400.0;
    sph_solid_state.solid_temperature_rise_factor[0] = 300.0;
    sph_solid_state.solid_internal_energy[0] = 5.0;
    ASSERT_EQ(sph_solid_update_particle_material(0, {1, 0, 0, 0, 0, 0}, 0.25), 0) << sph_error_message();
    const double failure_strain = (0.5 + std::exp(1.0)) * (1.0 + std::log(4.0 / 3.0)) * 3.0;
    const double damage = (1.0 / 3.0) / failure_strain;
    const double soft = 1.0 - damage;
    const Snapshot s = snapshot();
    expect_close(s.damage, damage);
    expect_close(s.softening, soft);
    expect_tensor(s.stress, {4.0 / 3.0 * soft, 1.0 / 3.0 * soft, 1.0 / 3.0 * soft, 0, 0, 0});
    expect_tensor(s.strain, {1, 0, 0, 0, 0, 0});
    expect_close(s.ep, 1.0 / 3.0);
    expect_close(s.rate, 4.0 / 3.0);
    expect_close(s.temp, 500.0);
    // 5 + 1/2 (0 + 4/3) * 1 / 2.
    expect_close(s.energy, 5.0 + 1.0 / 3.0);
    EXPECT_EQ(s.failure, 0);
}

TEST_F(SolidUpdate, DamageReachingOneFailsTheParticle) {
    // D1 = 0.5: the shear update's dep = 0.82 gives damage 1.64, clamped to 1. The update
    // still stores everything, with softening 0: stress 0; strain, plastic strain, rate
    // dep / 0.5, temperature 293.15 + 10 * 1 * dep (rise factor 10) and energy
    // 5 + 1 / (2 sqrt(3)) from the unsoftened new stress.
    ASSERT_NO_FATAL_FAILURE(build(unit_flow, "0.5, 0.0, 0.0, 0.0, 0.0"));
    sph_solid_state.solid_temperature_rise_factor[0] = 10.0;
    sph_solid_state.solid_internal_energy[0] = 5.0;
    const double dep = (sqrt12 - 1.0) / 3.0;
    ASSERT_EQ(sph_solid_update_particle_material(0, shear, 0.5), 0) << sph_error_message();
    const Snapshot failed = snapshot();
    EXPECT_EQ(failed.phase, sph_phase_solid_failed);
    EXPECT_EQ(failed.status, sph_status_failed);
    EXPECT_EQ(failed.failure, 2);
    EXPECT_EQ(failed.damage, 1.0);
    EXPECT_EQ(failed.softening, 0.0);
    EXPECT_EQ(failed.stress, SphSymTensor{});
    EXPECT_EQ(failed.strain, shear);
    expect_close(failed.ep, dep);
    expect_close(failed.rate, dep / 0.5);
    expect_close(failed.temp, 293.15 + 10.0 * dep);
    expect_close(failed.energy, 5.0 + 1.0 / (2.0 * sqrt3));

    // A failed particle is never updated again.
    ASSERT_EQ(sph_solid_update_particle_material(0, shear, 0.5), 0) << sph_error_message();
    EXPECT_EQ(snapshot(), failed);
}

TEST_F(SolidUpdate, ElasticStepsDoNotEvaluateDamage) {
    // D1 = -1 gives an invalid failure strain, but only a plastic step asks for it: xy 0.1
    // gives xy 0.2 and q = 0.2 sqrt(3) = 0.35 < 1, so the update succeeds with damage 0,
    // softening 1 and energy 1/2 * 0.2 * 2 * 0.1 / 2 = 0.01.
    ASSERT_NO_FATAL_FAILURE(build(unit_flow, "-1.0, 0.0, 0.0, 0.0, 0.0"));
    ASSERT_EQ(sph_solid_update_particle_material(0, {0, 0, 0, 0.1, 0, 0}, 0.5), 0) << sph_error_message();
    const Snapshot s = snapshot();
    expect_tensor(s.stress, {0, 0, 0, 0.2, 0, 0});
    EXPECT_EQ(s.damage, 0.0);
    EXPECT_EQ(s.softening, 1.0);
    EXPECT_EQ(s.ep, 0.0);
    expect_close(s.energy, 0.01);
    // The first plastic step does, and fails.
    expect_error(sph_solid_update_particle_material(0, shear, 0.5), sph_error_argument,
                 "Solid Johnson-Cook failure strain is invalid");
}

TEST_F(SolidUpdate, WithoutJohnsonCookDataTheUpdateIsElastic) {
    // xy 5: stress 2G * 5 = 10 however far past any yield; no plastic strain, no damage.
    // The energy density is the particle's rho, or the material density 2 when rho <= 0:
    // xx 0.1 gives stress 0.2 and 1/2 * 0.2 * 0.1 / rho = 0.01 / rho.
    ASSERT_NO_FATAL_FAILURE(build());
    ASSERT_EQ(sph_solid_update_particle_material(0, {0, 0, 0, 5, 0, 0}, 0.5), 0) << sph_error_message();
    Snapshot s = snapshot();
    EXPECT_EQ(s.stress, (SphSymTensor{0, 0, 0, 10, 0, 0}));
    EXPECT_EQ(s.ep, 0.0);
    EXPECT_EQ(s.rate, 0.0);
    EXPECT_EQ(s.damage, 0.0);
    EXPECT_EQ(s.softening, 1.0);
    expect_close(s.energy, 0.5 * 10.0 * 2.0 * 5.0 / 2.0);  // 25

    struct Case {
        double rho, used;
    };
    const Case cases[] = {{4.0, 4.0}, {0.0, 2.0}, {-1.0, 2.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rho);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build());
        sph_database.rho[0] = c.rho;
        ASSERT_EQ(sph_solid_update_particle_material(0, {0.1, 0, 0, 0, 0, 0}, 0.5), 0) << sph_error_message();
        expect_close(sph_solid_state.solid_stress[0], 0.2);
        expect_close(sph_solid_state.solid_internal_energy[0], 0.01 / c.used);
    }
}

TEST_F(SolidUpdate, ParticlesThatAreNotActiveSolidsAreLeftAlone) {
    struct Case {
        const char* what;
        int32_t phase, status;
    };
    const Case cases[] = {
        {"failed solid", sph_phase_solid_failed, sph_status_active},
        {"failed solid, failed status", sph_phase_solid_failed, sph_status_failed},
        {"water", sph_phase_water, sph_status_active},
        {"shell", sph_phase_shell, sph_status_active},
        {"inactive solid", sph_phase_solid, sph_status_inactive},
        {"failed-status solid", sph_phase_solid, sph_status_failed},
        {"reserved-status solid", sph_phase_solid, sph_status_reserved},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build(unit_flow, "0.5, 0.0, 0.0, 0.0, 0.0"));
        sph_database.particle_phase[0] = c.phase;
        sph_database.particle_status[0] = c.status;
        const Snapshot before = snapshot();
        sph_error_clear();
        // The shear update would fail an active solid.
        ASSERT_EQ(sph_solid_update_particle_material(0, shear, 0.5), 0) << sph_error_message();
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(sph_error_code(), 0);
    }
}

TEST_F(SolidUpdate, ErrorsChangeNothing) {
    struct Case {
        const char* what;
        int32_t index;
        void (*spoil)();
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"index below the range", -1, [] {}, sph_error_argument, "Solid particle index is out of range"},
        {"index past the range", 1, [] {}, sph_error_argument, "Solid particle index is out of range"},
        {"index is checked before the state", 1, [] { sph_solid_deallocate_state(); }, sph_error_argument,
         "Solid particle index is out of range"},
        {"state not allocated", 0, [] { sph_solid_deallocate_state(); }, sph_error_input,
         "Solid state is not allocated"},
        {"material without a slot", 0, [] { sph_database.material_id[0] = 2; }, sph_error_input,
         "Solid particle material has no state"},
        // A routine's failure ends the update with its own code and message.
        {"bad elastic constants", 0, [] { sph_solid_state.solid_shear_modulus[0] = 0.0; }, sph_error_argument,
         "Solid elastic update requires positive constants"},
        {"bad Johnson-Cook data", 0, [] { sph_solid.solid_materials[0].params.jc_tmelt = 100.0; }, sph_error_argument,
         "Solid Johnson-Cook temperature range is invalid"},
        {"bad damage constants", 0, [] { sph_solid.solid_materials[0].params.failure_d = {-1, 0, 0, 0, 0}; },
         sph_error_argument, "Solid Johnson-Cook failure strain is invalid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build(unit_flow, "0.5, 0.0, 0.0, 0.0, 0.0"));
        sph_solid_state.solid_stress[0] = 0.25;  // so that a store of anything shows
        c.spoil();
        const bool present = sph_solid_state_present();
        const Snapshot before = present ? snapshot() : Snapshot{};
        const int32_t material = sph_database.material_id[0];
        expect_error(sph_solid_update_particle_material(c.index, shear, 0.5), c.code, c.message);
        if (present) {
            EXPECT_EQ(snapshot(), before);
        }
        EXPECT_EQ(sph_database.material_id[0], material);
        EXPECT_EQ(sph_database.particle_phase[0], sph_phase_solid);
        EXPECT_EQ(sph_database.particle_status[0], sph_status_active);
    }
}

TEST_F(SolidUpdate, MarkingAParticleFailed) {
    ASSERT_NO_FATAL_FAILURE(build(unit_flow));
    expect_error(sph_solid_mark_particle_failed(-1), sph_error_argument, "Solid failed particle index is out of range");
    expect_error(sph_solid_mark_particle_failed(1), sph_error_argument, "Solid failed particle index is out of range");
    EXPECT_EQ(snapshot().failure, 0);

    ASSERT_EQ(sph_solid_mark_particle_failed(0), 0) << sph_error_message();
    const Snapshot s = snapshot();
    EXPECT_EQ(s.failure, 2);
    EXPECT_EQ(s.damage, 1.0);
    EXPECT_EQ(s.softening, 0.0);
    EXPECT_EQ(s.status, sph_status_failed);
    EXPECT_EQ(s.phase, sph_phase_solid_failed);

    sph_solid_deallocate_state();
    expect_error(sph_solid_mark_particle_failed(0), sph_error_input, "Solid failure state is not allocated");
    EXPECT_EQ(sph_database.particle_phase[0], sph_phase_solid_failed);
}

}  // namespace
}  // namespace quorrel::test
