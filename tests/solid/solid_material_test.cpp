// The solid material-point routines, each family against closed-form cases worked by
// hand: the invariants and small helpers, the elastic constants and trial, the
// Johnson-Cook factors and flow stress, the one-step radial return, the internal-energy
// increment, the failure strain, damage and linear softening. Every failing case checks
// the returned code, the recorded code and message, and the values the outputs keep.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "core/sph_error.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_material.h"
#include "quorrel_test.h"

namespace quorrel::test {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
const double sqrt3 = std::sqrt(3.0);
const double sqrt12 = std::sqrt(12.0);
// A value every output is set to before a call, so that an output left unwritten shows.
const double unset = 99.0;

class SolidMaterial : public QuorrelTest {};

// Success leaves the error state clear; a failure returns code 1 and records code 1 with
// exactly `message`.
void expect_outcome(int status, const char* message) {
    if (message == nullptr) {
        EXPECT_EQ(status, sph_success) << sph_error_message();
        EXPECT_EQ(sph_error_code(), sph_success);
        EXPECT_EQ(sph_error_message(), "OK");
    } else {
        EXPECT_EQ(status, sph_error_argument);
        EXPECT_EQ(sph_error_code(), sph_error_argument);
        EXPECT_EQ(sph_error_message(), message);
    }
}

// Equal to within a few units in the last place of the larger of 1 and |want|; NaN only
// matches NaN and an infinity only itself.
void expect_close(double got, double want, double tolerance = 4e-16) {
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << got;
    } else if (std::isinf(want)) {
        EXPECT_EQ(got, want);
    } else {
        EXPECT_NEAR(got, want, tolerance * std::fmax(1.0, std::fabs(want)));
    }
}

void expect_tensor(const SphSymTensor& got, const SphSymTensor& want, double tolerance = 4e-16) {
    for (std::size_t k = 0; k < 6; ++k) {
        SCOPED_TRACE("component " + std::to_string(k + 1));
        expect_close(got[k], want[k], tolerance);
    }
}

// ---- Small helpers and invariants ----

TEST_F(SolidMaterial, ClampToTheUnitInterval) {
    struct Case {
        double value, want;
    };
    const Case cases[] = {
        {-0.5, 0.0}, {-inf, 0.0}, {0.0, 0.0}, {0.3, 0.3}, {1.0, 1.0}, {2.0, 1.0}, {inf, 1.0},
        {nan, nan},  // left as it is
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        double v = c.value;
        sph_solid_clamp_unit(v);
        if (std::isnan(c.want))
            EXPECT_TRUE(std::isnan(v));
        else
            EXPECT_EQ(v, c.want);
    }
}

TEST_F(SolidMaterial, ContractionMeanAndVonMises) {
    // Shear terms count twice: (1,2,3,4,5,6) : (6,5,4,3,2,1) = 6 + 10 + 12 + 2 (12 + 10 + 6) = 84.
    EXPECT_EQ(sph_solid_voigt_dot({1, 2, 3, 4, 5, 6}, {6, 5, 4, 3, 2, 1}), 84.0);
    EXPECT_EQ(sph_solid_voigt_dot({0, 0, 0, 1, 0, 0}, {0, 0, 0, 1, 0, 0}), 2.0);
    EXPECT_EQ(sph_solid_mean_stress({1, 2, 3, 40, 50, 60}), 2.0);  // shears do not enter

    struct Case {
        const char* what;
        SphSymTensor stress;
        double want;
    };
    const Case cases[] = {
        // p = 1, deviator (2, -1, -1): 1.5 (4 + 1 + 1) = 9.
        {"uniaxial", {3, 0, 0, 0, 0, 0}, 3.0},
        // 1.5 * 2 * t^2 = 3 t^2 for t = 2.
        {"pure shear xy", {0, 0, 0, 2, 0, 0}, 2.0 * sqrt3},
        {"pure shear yz", {0, 0, 0, 0, -2, 0}, 2.0 * sqrt3},
        {"pure shear xz", {0, 0, 0, 0, 0, 2}, 2.0 * sqrt3},
        {"hydrostatic", {-5, -5, -5, 0, 0, 0}, 0.0},
        // p = 2, deviator (-1, 0, 1): 1.5 (2 + 2 (16 + 25 + 36)) = 1.5 * 156 = 234.
        {"general", {1, 2, 3, 4, 5, 6}, std::sqrt(234.0)},
        // The mean does not enter: the same deviator on p = 102.
        {"general shifted", {101, 102, 103, 4, 5, 6}, std::sqrt(234.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expect_close(sph_solid_von_mises(c.stress), c.want);
    }
}

TEST_F(SolidMaterial, DeviatoricScalingKeepsTheMean) {
    struct Case {
        double scale;
        SphSymTensor want;
    };
    // In (4, 1, 1, 2, 3, -1): p = 2, deviator (2, -1, -1, 2, 3, -1).
    const SphSymTensor in{4, 1, 1, 2, 3, -1};
    const Case cases[] = {
        {0.5, {3, 1.5, 1.5, 1, 1.5, -0.5}},  // 2 + 1, 2 - 0.5; shears halved
        {0.0, {2, 2, 2, 0, 0, 0}},           // only the mean is left
        {1.0, {4, 1, 1, 2, 3, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scale);
        SphSymTensor out{unset, unset, unset, unset, unset, unset};
        sph_solid_scale_deviatoric(in, c.scale, out);
        expect_tensor(out, c.want);
    }
}

TEST_F(SolidMaterial, PlasticStrainRateNeedsPositiveIncrementAndStep) {
    struct Case {
        double delta, dt, want;
    };
    const Case cases[] = {
        {0.2, 0.1, 2.0}, {0.2, 0.0, 0.0}, {0.2, -1.0, 0.0}, {0.0, 1.0, 0.0}, {-0.1, 1.0, 0.0}, {-0.1, -1.0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.delta) + " over " + std::to_string(c.dt));
        expect_close(sph_solid_equiv_plastic_strain_rate(c.delta, c.dt), c.want);
    }
}

TEST_F(SolidMaterial, FiniteVectorsAndUpperCase) {
    const double half_max = 8.988465674311579e307;
    const double cases[][2] = {{1.0, -2.0}, {half_max, -half_max}};
    for (const auto& v : cases) EXPECT_TRUE(sph_solid_vector_is_finite(v, 2));
    const double bad[][2] = {{1.0, nan}, {inf, 0.0}, {0.0, -inf}, {std::nextafter(half_max, inf), 0.0}};
    for (const auto& v : bad) EXPECT_FALSE(sph_solid_vector_is_finite(v, 2));
    EXPECT_TRUE(sph_solid_vector_is_finite(nullptr, 0));  // empty
    EXPECT_EQ(sph_solid_upper("Steel-4 z_a {q}"), "STEEL-4 Z_A {Q}");
}

// ---- Elastic constants and trial ----

TEST_F(SolidMaterial, ElasticConstants) {
    const char* positive = "Solid elastic constants require positive E and density";
    const char* poisson = "Solid elastic constants require valid Poisson ratio";
    struct Case {
        const char* what;
        double e, nu, rho;
        const char* message;
        double g, k, c;
    };
    const Case cases[] = {
        // G = 3 / 2, K = 3 / 3, c = sqrt((1 + 4 * 1.5 / 3) / 1).
        {"nu = 0", 3.0, 0.0, 1.0, nullptr, 1.5, 1.0, 1.7320508075688772},
        // G = 5 / 2.5, K = 5 / 1.5, c = sqrt((10/3 + 8/3) / 2) = sqrt(3).
        {"nu = 0.25", 5.0, 0.25, 2.0, nullptr, 2.0, 10.0 / 3.0, sqrt3},
        // G = 3 / (2 * 0.5), K = 3 / (3 * 2), c = sqrt((0.5 + 4) / 4).
        {"nu = -0.5", 3.0, -0.5, 4.0, nullptr, 3.0, 0.5, std::sqrt(1.125)},
        {"E = 0", 0.0, 0.25, 1.0, positive, 0, 0, 0},
        {"negative E", -3.0, 0.25, 1.0, positive, 0, 0, 0},
        {"density 0", 3.0, 0.25, 0.0, positive, 0, 0, 0},
        {"negative density", 3.0, 0.25, -1.0, positive, 0, 0, 0},
        {"nu = 0.5", 3.0, 0.5, 1.0, poisson, 0, 0, 0},
        {"nu above 0.5", 3.0, 0.7, 1.0, poisson, 0, 0, 0},
        {"nu = -1", 3.0, -1.0, 1.0, poisson, 0, 0, 0},
        {"nu below -1", 3.0, -1.5, 1.0, poisson, 0, 0, 0},
        {"E is checked before nu", 0.0, 0.5, 1.0, positive, 0, 0, 0},
        {"density is checked before nu", 3.0, -1.0, 0.0, positive, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_error_clear();
        double g = unset, k = unset, speed = unset;
        expect_outcome(sph_solid_elastic_constants(c.e, c.nu, c.rho, g, k, speed), c.message);
        expect_close(g, c.g);
        expect_close(k, c.k);
        expect_close(speed, c.c);
    }
}

TEST_F(SolidMaterial, ElasticTrial) {
    const char* constants = "Solid elastic update requires positive constants";
    const SphSymTensor old{1, 2, 3, 4, 5, 6};
    const SphSymTensor general{0.1, 0.2, 0.3, 0.01, 0.02, 0.03};
    struct Case {
        const char* what;
        SphSymTensor inc;
        double g, k;
        const char* message;
        SphSymTensor want;
    };
    const Case cases[] = {
        // G = 1, K = 2: lambda = 2 - 2/3 = 4/3, trace 0.6, lambda * trace = 0.8.
        // xx 1 + 0.2 + 0.8, yy 2 + 0.4 + 0.8, zz 3 + 0.6 + 0.8; shears + 2G * inc.
        {"general", general, 1.0, 2.0, nullptr, {2.0, 3.2, 4.4, 4.02, 5.04, 6.06}},
        // A volume change alone adds 3K e to each normal component: 3 * 2 * 0.1.
        {"volumetric", {0.1, 0.1, 0.1, 0, 0, 0}, 1.0, 2.0, nullptr, {1.6, 2.6, 3.6, 4, 5, 6}},
        // Tensor shear: 2G * 0.5 with G = 3.
        {"shear", {0, 0, 0, 0, 0.5, 0}, 3.0, 2.0, nullptr, {1, 2, 3, 4, 8, 6}},
        // With nu = 0 (G = 1.5, K = 1) lambda = 0: xx alone moves, by 2G e = 0.3.
        {"uniaxial with lambda 0", {0.1, 0, 0, 0, 0, 0}, 1.5, 1.0, nullptr, {1.3, 2, 3, 4, 5, 6}},
        {"G = 0", general, 0.0, 2.0, constants, old},
        {"negative G", general, -1.0, 2.0, constants, old},
        {"K = 0", general, 1.0, 0.0, constants, old},
        {"negative K", general, 1.0, -2.0, constants, old},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_error_clear();
        SphSymTensor out{unset, unset, unset, unset, unset, unset};
        expect_outcome(sph_solid_elastic_trial(old, c.inc, c.g, c.k, out), c.message);
        expect_tensor(out, c.want, 1e-15);
    }
}

// ---- Johnson-Cook factors and flow stress ----

TEST_F(SolidMaterial, JohnsonCookHardening) {
    const char* invalid = "Solid Johnson-Cook hardening parameters are invalid";
    struct Case {
        const char* what;
        double a, b, n, ep;
        const char* message;
        double want;
    };
    const Case cases[] = {
        {"n = 0 at ep = 0 gives A + B", 1.0, 2.0, 0.0, 0.0, nullptr, 3.0},
        {"n = 0 at ep > 0", 1.0, 2.0, 0.0, 0.7, nullptr, 3.0},
        {"square root", 1.0, 2.0, 0.5, 0.25, nullptr, 2.0},  // 1 + 2 * 0.5
        {"square", 1.0, 2.0, 2.0, 3.0, nullptr, 19.0},       // 1 + 2 * 9
        {"negative ep counts as 0", 1.0, 2.0, 1.0, -0.3, nullptr, 1.0},
        {"zero strength", 0.0, 0.0, 1.0, 0.5, nullptr, 0.0},
        {"negative A", -1.0, 2.0, 1.0, 0.5, invalid, 0.0},
        {"negative B", 1.0, -2.0, 1.0, 0.5, invalid, 0.0},
        {"negative n", 1.0, 2.0, -1.0, 0.5, invalid, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_error_clear();
        double h = unset;
        expect_outcome(sph_solid_jc_hardening(c.a, c.b, c.n, c.ep, h), c.message);
        expect_close(h, c.want);
    }
}

TEST_F(SolidMaterial, JohnsonCookRateFactor) {
    const char* invalid = "Solid Johnson-Cook rate parameters are invalid";
    const double e = std::exp(1.0);
    struct Case {
        const char* what;
        double rate, epsdot0, c;
        const char* message;
        double want;
    };
    const Case cases[] = {
        {"at the reference rate", 2.0, 2.0, 0.5, nullptr, 1.0},
        {"below the reference rate", 0.5, 1.0, 0.5, nullptr, 1.0},  // not 1 + 0.5 ln 0.5
        {"zero rate", 0.0, 1.0, 0.5, nullptr, 1.0},
        {"negative rate", -3.0, 1.0, 0.5, nullptr, 1.0},
        {"e times the reference", e, 1.0, 0.1, nullptr, 1.1},  // 1 + 0.1 ln e
        // rate / epsdot0 = e^2: 1 + 0.5 * 2; the rate is divided by the reference.
        {"e squared times the reference", 2.0 * e * e, 2.0, 0.5, nullptr, 2.0},
        {"C = 0", 1e6, 1.0, 0.0, nullptr, 1.0},
        {"epsdot0 = 0", 2.0, 0.0, 0.5, invalid, 1.0},
        {"negative epsdot0", 2.0, -1.0, 0.5, invalid, 1.0},
        {"negative C", 2.0, 1.0, -0.5, invalid, 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_error_clear();
        double f = unset;
        expect_outcome(sph_solid_jc_rate_factor(c.rate, c.epsdot0, c.c, f), c.message);
        expect_close(f, c.want);
    }
}

TEST_F(SolidMaterial, HomologousTemperature) {
    const char* invalid = "Solid Johnson-Cook temperature range is invalid";
    struct Case {
        double temp, troom, tmelt;
        const char* message;
        double want;
    };
    const Case cases[] = {
        {400.0, 300.0, 500.0, nullptr, 0.5},   // 100 / 200
        {350.0, 300.0, 500.0, nullptr, 0.25},  // 50 / 200
        {300.0, 300.0, 500.0, nullptr, 0.0},
        {200.0, 300.0, 500.0, nullptr, 0.0},  // clamped up from -0.5
        {500.0, 300.0, 500.0, nullptr, 1.0},
        {700.0, 300.0, 500.0, nullptr, 1.0},  // clamped down from 2
        {400.0, 500.0, 500.0, invalid, 0.0},
        {400.0, 600.0, 500.0, invalid, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.temp) + " in " + std::to_string(c.troom) + ".." + std::to_string(c.tmelt));
        sph_error_clear();
        double t = unset;
        expect_outcome(sph_solid_jc_temperature_star(c.temp, c.troom, c.tmelt, t), c.message);
        expect_close(t, c.want);
    }
}

TEST_F(SolidMaterial, JohnsonCookFlowStress) {
    const double e = std::exp(1.0);
    struct Case {
        const char* what;
        double a, b, n, c, m, epsdot0, troom, tmelt, ep, rate, temp;
        const char* message;
        double want;
    };
    const Case cases[] = {
        // (1 + 2 * 0.5) (1 + 0.1 ln e) (1 - 0.5) = 2 * 1.1 * 0.5.
        {"all three factors", 1, 2, 1, 0.1, 1, 1, 300, 500, 0.5, e, 400, nullptr, 1.1},
        // T* = 0.5, m = 2: 1 - 0.25; hardening 2, rate factor 1.
        {"m = 2", 1, 2, 1, 0.1, 2, 1, 300, 500, 0.5, 0.5, 400, nullptr, 1.5},
        {"at room temperature", 1, 2, 1, 0.1, 1, 1, 300, 500, 0.5, 0.5, 300, nullptr, 2.0},
        {"below room temperature", 1, 2, 1, 0.1, 1, 1, 300, 500, 0.5, 0.5, 250, nullptr, 2.0},
        {"at the melt temperature", 1, 2, 1, 0.1, 1, 1, 300, 500, 0.5, e, 500, nullptr, 0.0},
        {"above the melt temperature", 1, 2, 1, 0.1, 1, 1, 300, 500, 0.5, e, 900, nullptr, 0.0},
        // T*^0 = 1 at every T*, 0 included: no strength at any temperature.
        {"m = 0 at room temperature", 1, 2, 1, 0.1, 0, 1, 300, 500, 0.5, e, 300, nullptr, 0.0},
        {"m = 0 above room temperature", 1, 2, 1, 0.1, 0, 1, 300, 500, 0.5, e, 400, nullptr, 0.0},
        // Checks in order: hardening, thermal exponent, rate, temperature range.
        {"negative A before negative m", -1, 2, 1, 0.1, -1, 1, 300, 500, 0.5, e, 400,
         "Solid Johnson-Cook hardening parameters are invalid", 0.0},
        {"negative m before a bad reference rate", 1, 2, 1, 0.1, -1, 0, 300, 500, 0.5, e, 400,
         "Solid Johnson-Cook thermal exponent is invalid", 0.0},
        {"bad reference rate before a bad range", 1, 2, 1, 0.1, 1, 0, 500, 300, 0.5, e, 400,
         "Solid Johnson-Cook rate parameters are invalid", 0.0},
        {"negative C", 1, 2, 1, -0.1, 1, 1, 300, 500, 0.5, e, 400, "Solid Johnson-Cook rate parameters are invalid",
         0.0},
        {"bad temperature range", 1, 2, 1, 0.1, 1, 1, 500, 300, 0.5, e, 400,
         "Solid Johnson-Cook temperature range is invalid", 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_error_clear();
        double flow = unset;
        expect_outcome(sph_solid_jc_flow_stress(c.a, c.b, c.n, c.c, c.m, c.epsdot0, c.troom, c.tmelt, c.ep, c.rate,
                                                c.temp, flow),
                       c.message);
        expect_close(flow, c.want);
    }
}

// ---- Radial return ----

struct ReturnCase {
    const char* what;
    SphSymTensor old, inc;
    double g, k, dt;
    SphJcParams jc;
    SphJcRefs refs;
    double temp, ep_old, temp_factor;
    const char* message;
    // Expected outputs.
    SphSymTensor stress;
    double ep, rate, work, temp_new, delta;
};

void check_return(const ReturnCase& c) {
    SCOPED_TRACE(c.what);
    sph_error_clear();
    SphSymTensor stress{unset, unset, unset, unset, unset, unset};
    double ep = unset, rate = unset, work = unset, temp = unset, delta = unset;
    expect_outcome(sph_solid_jc_return_mapping(c.old, c.inc, c.g, c.k, c.dt, c.jc, c.refs, c.temp, c.ep_old,
                                               c.temp_factor, stress, ep, rate, work, temp, delta),
                   c.message);
    expect_tensor(stress, c.stress, 1e-15);
    expect_close(ep, c.ep, 1e-15);
    expect_close(rate, c.rate, 1e-15);
    expect_close(work, c.work, 1e-15);
    expect_close(temp, c.temp_new, 1e-15);
    expect_close(delta, c.delta, 1e-15);
}

TEST_F(SolidMaterial, RadialReturn) {
    // The shear case: G = K = 1, A = 1, B = 0, n = 0, C = 0, m = 1, troom 293.15,
    // tmelt 1793, temperature 293.15 (T* = 0, thermal factor 1), zero old stress and the
    // tensor shear increment xy = 1. Trial s4 = 2G = 2, q = sqrt(1.5 * 2 * 4) = sqrt(12);
    // flow0 = 1, so dep = (sqrt(12) - 1) / 3G = 0.8213672050459181; flow1 = 1, scale
    // 1 / sqrt(12), returned s4 = 2 / sqrt(12) = 1 / sqrt(3) (von Mises 1); work = 1 * dep.
    const SphSymTensor zero{};
    const SphSymTensor shear{0, 0, 0, 1, 0, 0};
    const SphJcParams plain{1, 0, 0, 0, 1};
    const SphJcRefs refs{1.0, 293.15, 1793.0};
    const double t0 = 293.15;
    const double dep = (sqrt12 - 1.0) / 3.0;
    ASSERT_NEAR(dep, 0.8213672050459181, 1e-16);
    const SphSymTensor returned{0, 0, 0, 1.0 / sqrt3, 0, 0};
    ASSERT_NEAR(returned[3], 0.5773502691896258, 1e-16);

    // With C = 1, epsdot0 = 0.1, dt = 1: flow0 keeps rate factor 1, so dep is as above;
    // the rate dep / dt enters flow1 only: flow1 = 1 + ln(dep / 0.1), s4 = 2 flow1 / sqrt(12).
    const double flow1_rate = 1.0 + std::log(dep / 0.1);
    // With C = 10 flow1 = 1 + 10 ln(8.21) = 22.06 exceeds q = 3.46: the scale is clamped to 1.
    const double flow1_fast = 1.0 + 10.0 * std::log(dep / 0.1);
    // B = 1, n = 1, ep_old = 0.5: flow0 = 1.5, dep = (sqrt(12) - 1.5) / 3, flow1 = 1 + 0.5 + dep.
    const double dep_hard = (sqrt12 - 1.5) / 3.0;
    // B = 1, n = 1, ep_old = -0.5 read as 0: flow0 = 1, dep as in the shear case, flow1 = 1 + dep.
    // T* = (400 - 300) / 200 = 0.5 with m = 2: flow0 = flow1 = 1 - 0.25 = 0.75.
    const double dep_warm = (sqrt12 - 0.75) / 3.0;
    // G = K = 1, xx increment 1: lambda = 1/3, trial (7/3, 1/3, 1/3), p = 1, q = 7/3 - 1/3 = 2.
    const SphSymTensor pull{1, 0, 0, 0, 0, 0};
    // Zero strength (m = 0): flow0 = 0, dep = 2 / 3, flow1 = 0: the deviator goes, p stays.
    const SphSymTensor on_surface{2, -1, -1, 0, 0, 0};  // p = 0, q = sqrt(1.5 * 6) = 3
    // Just below 3: plastic by one rounding step, dep = (3 - a) / 3, scale a / 3.
    const double a_low = std::nextafter(3.0, 0.0);
    const double dep_low = (3.0 - a_low) / 3.0;

    const ReturnCase cases[] = {
        {"shear case", zero, shear, 1, 1, 1.0, plain, refs, t0, 0.0, 0.0, nullptr, returned, dep, dep, dep, t0, dep},
        {"shear case, dt = 0: no rate, still returned", zero, shear, 1, 1, 0.0, {1, 0, 0, 0.5, 1}, {1e-3, 293.15, 1793},
         t0, 0.0, 0.0, nullptr, returned, dep, 0.0, dep, t0, dep},
        {"shear case, dt < 0: no rate, still returned", zero, shear, 1, 1, -1.0, {1, 0, 0, 0.5, 1},
         {1e-3, 293.15, 1793}, t0, 0.0, 0.0, nullptr, returned, dep, 0.0, dep, t0, dep},
        {"rate above the reference enters the end point only", zero, shear, 1, 1, 1.0, {1, 0, 0, 1, 1},
         {0.1, 293.15, 1793}, t0, 0.0, 0.0, nullptr, {0, 0, 0, 2.0 * flow1_rate / sqrt12, 0, 0}, dep, dep,
         flow1_rate * dep, t0, dep},
        {"rate below the reference changes nothing", zero, shear, 1, 1, 1.0, {1, 0, 0, 5, 1}, refs, t0, 0.0, 0.0,
         nullptr, returned, dep, dep, dep, t0, dep},
        {"end point above the trial: scale clamped to 1", zero, shear, 1, 1, 1.0, {1, 0, 0, 10, 1},
         {0.1, 293.15, 1793}, t0, 0.0, 0.0, nullptr, {0, 0, 0, 2, 0, 0}, dep, dep, flow1_fast * dep, t0, dep},
        {"hardening from the old plastic strain, end point at the new", zero, shear, 1, 1, 1.0, {1, 1, 1, 0, 1}, refs,
         t0, 0.5, 0.0, nullptr, {0, 0, 0, 2.0 * (1.5 + dep_hard) / sqrt12, 0, 0}, 0.5 + dep_hard, dep_hard,
         (1.5 + dep_hard) * dep_hard, t0, dep_hard},
        {"negative old plastic strain counts as 0", zero, shear, 1, 1, 1.0, {1, 1, 1, 0, 1}, refs, t0, -0.5, 0.0,
         nullptr, {0, 0, 0, 2.0 * (1.0 + dep) / sqrt12, 0, 0}, dep, dep, (1.0 + dep) * dep, t0, dep},
        {"negative old plastic strain, elastic step", zero, zero, 1, 1, 1.0, {1, 1, 1, 0, 1}, refs, t0, -0.5, 0.0,
         nullptr, zero, 0.0, 0.0, 0.0, t0, 0.0},
        {"old plastic strain kept on an elastic step", zero, {0, 0, 0, 0.1, 0, 0}, 1, 1, 1.0, plain, refs, t0, 0.25,
         0.0, nullptr, {0, 0, 0, 0.2, 0, 0}, 0.25, 0.0, 0.0, t0, 0.0},  // q = 0.2 sqrt(3) < 1
        // temp_new = T + 100 dep; flow1 still at the old temperature, so s4 is unchanged.
        {"temperature rise from the plastic work", zero, shear, 1, 1, 1.0, plain, refs, t0, 0.0, 100.0, nullptr,
         returned, dep, dep, dep, t0 + 100.0 * dep, dep},
        {"old temperature enters both flow values", zero, shear, 1, 1, 1.0, {1, 0, 0, 0, 2}, {1, 300, 500}, 400.0,
         0.0, 0.0, nullptr, {0, 0, 0, 2.0 * 0.75 / sqrt12, 0, 0}, dep_warm, dep_warm, 0.75 * dep_warm, 400.0,
         dep_warm},
        {"trial exactly on the surface is elastic", on_surface, zero, 1, 1, 1.0, {3, 0, 0, 0, 1}, refs, t0, 0.0, 0.0,
         nullptr, on_surface, 0.0, 0.0, 0.0, t0, 0.0},
        {"trial one rounding step outside is plastic", on_surface, zero, 1, 1, 1.0, {a_low, 0, 0, 0, 1}, refs, t0, 0.0,
         0.0, nullptr, {2.0 * a_low / 3.0, -a_low / 3.0, -a_low / 3.0, 0, 0, 0}, dep_low, dep_low, a_low * dep_low, t0,
         dep_low},
        // q = 0 with zero strength (m = 0): elastic, the hydrostatic stress unchanged.
        {"zero trial deviator", {2, 2, 2, 0, 0, 0}, zero, 1, 1, 1.0, {1, 0, 0, 0, 0}, refs, t0, 0.0, 0.0, nullptr,
         {2, 2, 2, 0, 0, 0}, 0.0, 0.0, 0.0, t0, 0.0},
        {"m = 0 removes the whole deviator", zero, pull, 1, 1, 1.0, {1, 0, 0, 0, 0}, refs, t0, 0.0, 0.0, nullptr,
         {1, 1, 1, 0, 0, 0}, 2.0 / 3.0, 2.0 / 3.0, 0.0, t0, 2.0 / 3.0},
        // At tmelt with m = 1 the strength is 0: dep = sqrt(12) / 3, the shear goes.
        {"at the melt temperature", zero, shear, 1, 1, 1.0, plain, refs, 1793.0, 0.0, 0.0, nullptr, zero,
         sqrt12 / 3.0, sqrt12 / 3.0, 0.0, 1793.0, sqrt12 / 3.0},
    };
    for (const ReturnCase& c : cases) check_return(c);

    // The returned stress of the shear case lies on the surface.
    SphSymTensor s{};
    double ep = 0, rate = 0, work = 0, temp = 0, delta = 0;
    ASSERT_EQ(sph_solid_jc_return_mapping(zero, shear, 1, 1, 1.0, plain, refs, t0, 0.0, 0.0, s, ep, rate, work, temp,
                                          delta),
              0);
    expect_close(sph_solid_von_mises(s), 1.0);

    // The two sides of the surface, closer than the tolerance above can tell: on it
    // nothing flows, one rounding step outside it does.
    ASSERT_EQ(sph_solid_jc_return_mapping(on_surface, zero, 1, 1, 1.0, {3, 0, 0, 0, 1}, refs, t0, 0.0, 0.0, s, ep,
                                          rate, work, temp, delta),
              0);
    EXPECT_EQ(delta, 0.0);
    EXPECT_EQ(ep, 0.0);
    EXPECT_EQ(s, on_surface);
    ASSERT_EQ(sph_solid_jc_return_mapping(on_surface, zero, 1, 1, 1.0, {a_low, 0, 0, 0, 1}, refs, t0, 0.0, 0.0, s, ep,
                                          rate, work, temp, delta),
              0);
    EXPECT_GT(delta, 0.0);
    EXPECT_EQ(ep, delta);
    EXPECT_LT(s[0], 2.0);
}

TEST_F(SolidMaterial, RadialReturnFailuresKeepTheEntryValues) {
    // On entry: ep_new = max(0, ep_old), rate, work and delta 0, temp_new = temp_old; the
    // stress is the old one when the trial fails, else the trial (xy 2G * 1 = 2).
    const SphSymTensor old{1, 2, 3, 0, 0, 0};
    const SphSymTensor shear{0, 0, 0, 1, 0, 0};
    const SphSymTensor trial{1, 2, 3, 2, 0, 0};
    const SphJcRefs refs{1.0, 293.15, 1793.0};
    const ReturnCase cases[] = {
        {"G = 0", old, shear, 0, 1, 1.0, {1, 0, 0, 0, 1}, refs, 300, -1.0, 5.0,
         "Solid elastic update requires positive constants", old, 0.0, 0, 0, 300, 0},
        {"K = 0", old, shear, 1, 0, 1.0, {1, 0, 0, 0, 1}, refs, 300, 0.3, 5.0,
         "Solid elastic update requires positive constants", old, 0.3, 0, 0, 300, 0},
        {"negative A", old, shear, 1, 1, 1.0, {-1, 0, 0, 0, 1}, refs, 300, 0.3, 5.0,
         "Solid Johnson-Cook hardening parameters are invalid", trial, 0.3, 0, 0, 300, 0},
        {"negative m", old, shear, 1, 1, 1.0, {1, 0, 0, 0, -1}, refs, 300, -1.0, 5.0,
         "Solid Johnson-Cook thermal exponent is invalid", trial, 0.0, 0, 0, 300, 0},
        {"epsdot0 = 0", old, shear, 1, 1, 1.0, {1, 0, 0, 0, 1}, {0.0, 293.15, 1793}, 300, 0.3, 5.0,
         "Solid Johnson-Cook rate parameters are invalid", trial, 0.3, 0, 0, 300, 0},
        {"troom above tmelt", old, shear, 1, 1, 1.0, {1, 0, 0, 0, 1}, {1.0, 1793, 293.15}, 300, 0.3, 5.0,
         "Solid Johnson-Cook temperature range is invalid", trial, 0.3, 0, 0, 300, 0},
    };
    for (const ReturnCase& c : cases) check_return(c);
}

// ---- Internal energy ----

TEST_F(SolidMaterial, InternalEnergyIncrement) {
    const char* invalid = "Solid internal energy requires positive density";
    struct Case {
        const char* what;
        SphSymTensor old, now, inc;
        double rho;
        const char* message;
        double want;
    };
    const Case cases[] = {
        // Mean (2, 2, 2, 2, 3, 4) : (0.1 .. 0.6) = 1.2 + 2 (0.8 + 1.5 + 2.4) = 10.6, over 2.
        {"general", {1, 2, 3, 4, 5, 6}, {3, 2, 1, 0, 1, 2}, {0.1, 0.2, 0.3, 0.4, 0.5, 0.6}, 2.0, nullptr, 5.3},
        // Shear counts twice: mean xy 1, increment 1: 2 * 1 * 1 / 4.
        {"shear", {}, {0, 0, 0, 2, 0, 0}, {0, 0, 0, 1, 0, 0}, 4.0, nullptr, 0.5},
        // Mean (-1, 0, 0), increment (0.5, 0, 0): -0.5 over 1; compression gives negative work.
        {"negative work", {-2, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, {0.5, 0, 0, 0, 0, 0}, 1.0, nullptr, -0.5},
        {"density 0", {1, 2, 3, 4, 5, 6}, {3, 2, 1, 0, 1, 2}, {0.1, 0.2, 0.3, 0.4, 0.5, 0.6}, 0.0, invalid, 0.0},
        {"negative density", {1, 2, 3, 4, 5, 6}, {3, 2, 1, 0, 1, 2}, {0.1, 0.2, 0.3, 0.4, 0.5, 0.6}, -2.0, invalid,
         0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_error_clear();
        double de = unset;
        expect_outcome(sph_solid_internal_energy_increment(c.old, c.now, c.inc, c.rho, de), c.message);
        expect_close(de, c.want, 1e-15);
    }
}

// ---- Failure strain, damage and softening ----

TEST_F(SolidMaterial, JohnsonCookFailureStrain) {
    const char* invalid = "Solid Johnson-Cook failure strain is invalid";
    const double e = std::exp(1.0);
    struct Case {
        const char* what;
        SphJcDamage d;
        double triaxiality, rate, epsdot0, temp, troom, tmelt;
        const char* message;
        double want;
    };
    const Case cases[] = {
        // (0.1 + 0.2 exp(-1.5 * 0.5)) (1 + 0.01 ln(10 / 1)) (1 + 0.5 * 0.5), T* = 100 / 200.
        {"all three terms", {0.1, 0.2, -1.5, 0.01, 0.5}, 0.5, 10.0, 1.0, 400, 300, 500, nullptr,
         (0.1 + 0.2 * std::exp(-0.75)) * (1.0 + 0.01 * std::log(10.0)) * 1.25},
        // ln(max(0.5, 1)) = 0: not 1 - 3 ln 0.5 = 3.08.
        {"rate below the reference", {0.4, 0, 0, -3, 0}, 0.0, 0.5, 1.0, 300, 300, 500, nullptr, 0.4},
        {"rate over the reference", {1, 0, 0, 1, 0}, 0.0, 20.0, 2.0, 300, 300, 500, nullptr, 1.0 + std::log(10.0)},
        {"temperature below room clamped", {0.5, 0, 0, 0, 1}, 0.0, 1.0, 1.0, 200, 300, 500, nullptr, 0.5},
        {"temperature above melt clamped", {0.5, 0, 0, 0, 1}, 0.0, 1.0, 1.0, 900, 300, 500, nullptr, 1.0},
        // exp(1000) overflows; with D2 = 0 the term is 0, not 0 * inf = NaN.
        {"D2 = 0 with an overflowing exponential", {0.3, 0, 1000, 0, 0}, 1.0, 1.0, 1.0, 300, 300, 500, nullptr, 0.3},
        {"D2 = 0 with a NaN triaxiality", {0.3, 0, 1, 0, 0}, nan, 1.0, 1.0, 300, 300, 500, nullptr, 0.3},
        {"D2 > 0 with an overflowing exponential", {0.3, 1, 1000, 0, 0}, 1.0, 1.0, 1.0, 300, 300, 500, nullptr, inf},
        // Not clamped: (-0.5) (1 - 2 ln e) = 0.5.
        {"two negative terms", {-0.5, 0, 0, -2, 0}, 0.0, e, 1.0, 300, 300, 500, nullptr, 0.5},
        // The product is kept in the output.
        {"negative D1", {-1, 0, 0, 0, 0}, 0.0, 1.0, 1.0, 300, 300, 500, invalid, -1.0},
        {"negative D2 term", {0.1, -0.5, 0, 0, 0}, 0.0, 1.0, 1.0, 300, 300, 500, invalid, -0.4},
        {"negative D4 term", {1, 0, 0, -1, 0}, 0.0, e * e, 1.0, 300, 300, 500, invalid, -1.0},  // 1 - 2
        {"zero at the melt temperature", {1, 0, 0, 0, -1}, 0.0, 1.0, 1.0, 500, 300, 500, invalid, 0.0},
        {"all zero", {0, 0, 0, 0, 0}, 0.0, 1.0, 1.0, 300, 300, 500, invalid, 0.0},
        {"NaN D1", {nan, 0, 0, 0, 0}, 0.0, 1.0, 1.0, 300, 300, 500, invalid, nan},
        {"NaN triaxiality with D2 > 0", {0.3, 1, 1, 0, 0}, nan, 1.0, 1.0, 300, 300, 500, invalid, nan},
        // Failures before the product leave 0; the reference rate is checked first.
        {"epsdot0 = 0", {1, 0, 0, 0, 0}, 0.0, 1.0, 0.0, 300, 300, 500, "Solid failure strain rate reference is invalid",
         0.0},
        {"negative epsdot0 before a bad range", {1, 0, 0, 0, 0}, 0.0, 1.0, -1.0, 300, 500, 300,
         "Solid failure strain rate reference is invalid", 0.0},
        {"troom = tmelt", {1, 0, 0, 0, 0}, 0.0, 1.0, 1.0, 300, 500, 500,
         "Solid Johnson-Cook temperature range is invalid", 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_error_clear();
        double fs = unset;
        expect_outcome(sph_solid_jc_failure_strain(c.d, c.triaxiality, c.rate, c.epsdot0, c.temp, c.troom, c.tmelt, fs),
                       c.message);
        expect_close(fs, c.want, 1e-15);
    }
}

TEST_F(SolidMaterial, DamageUpdate) {
    const char* invalid = "Solid damage update requires positive failure strain";
    struct Case {
        const char* what;
        double old, delta, failure_strain;
        const char* message;
        double want;
        int32_t status;
    };
    const Case cases[] = {
        {"growth", 0.2, 0.3, 1.5, nullptr, 0.4, 0},          // 0.2 + 0.3 / 1.5
        {"reaching 1 exactly", 0.5, 0.5, 1.0, nullptr, 1.0, 2},
        {"past 1 is clamped", 0.9, 1.0, 1.0, nullptr, 1.0, 2},
        {"negative old damage clamped first", -0.3, 0.2, 1.0, nullptr, 0.2, 0},  // not -0.1 -> 0
        {"old damage above 1, no increment", 1.4, 0.0, 1.0, nullptr, 1.0, 2},
        {"no increment", 0.6, 0.0, 1.0, nullptr, 0.6, 0},
        {"negative increment ignored", 0.6, -0.5, 1.0, nullptr, 0.6, 0},
        {"infinite failure strain adds nothing", 0.3, 0.4, inf, nullptr, 0.3, 0},
        // The clamped old damage stays and the flag is not raised.
        {"zero failure strain", 1.4, 0.2, 0.0, invalid, 1.0, 0},
        {"negative failure strain", 0.3, 0.2, -1.0, invalid, 0.3, 0},
        {"NaN failure strain", -0.2, 0.2, nan, invalid, 0.0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_error_clear();
        double damage = unset;
        int32_t status = 7;
        expect_outcome(sph_solid_damage_update(c.old, c.delta, c.failure_strain, damage, status), c.message);
        expect_close(damage, c.want);
        EXPECT_EQ(status, c.status);
    }
}

TEST_F(SolidMaterial, LinearSoftening) {
    const char* invalid = "Solid softening width must be positive";
    struct Case {
        double damage, width;
        const char* message;
        double want;
    };
    const Case cases[] = {
        {0.25, 1.0, nullptr, 0.75}, {0.25, 0.01, nullptr, 0.75},  // the width does not enter
        {0.25, 100.0, nullptr, 0.75}, {0.0, 1.0, nullptr, 1.0},   {1.0, 1.0, nullptr, 0.0},
        {-0.5, 1.0, nullptr, 1.0},  // damage clamped to 0
        {1.5, 1.0, nullptr, 0.0},   // damage clamped to 1
        {0.25, 0.0, invalid, 1.0},  {0.25, -1.0, invalid, 1.0}, {0.25, nan, invalid, 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.damage) + " width " + std::to_string(c.width));
        sph_error_clear();
        double s = unset;
        expect_outcome(sph_solid_linear_softening(c.damage, c.width, s), c.message);
        expect_close(s, c.want);
    }
}

}  // namespace
}  // namespace quorrel::test
