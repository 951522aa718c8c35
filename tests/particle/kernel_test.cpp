#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/sph_error.h"
#include "particle/sph_particle.h"

using namespace quorrel;

namespace {
const double pi = 3.141592653589793;
const double s2 = 21.0 / (16.0 * pi);    // Wendland C2, h = 1
const double s4 = 495.0 / (256.0 * pi);  // Wendland C4, h = 1
const double s3 = 1.0 / pi;              // cubic spline, h = 1
}  // namespace

// Values worked out by hand from the kernel polynomials at h = 1
// (and one at h = 2, where sigma scales with 1/h^3 and dW/dr with 1/h^4).
TEST(Kernels, ValuesAndGradients) {
    struct Case {
        int kernel;
        double r, h;
        double w;      // expected W
        double dwdr;   // expected dW/dr (gradient along +x for r along +x)
    };
    const Case cases[] = {
        {1, 0.0, 1.0, s2, 0.0},
        {1, 1.0, 1.0, s2 * 0.0625 * 3.0, -s2 * 5.0 * 0.125},
        {1, 2.0, 2.0, s2 / 8.0 * 0.1875, -s2 / 8.0 * 0.625 / 2.0},
        {1, 2.0, 1.0, 0.0, 0.0},
        {1, 2.5, 1.0, 0.0, 0.0},
        {2, 0.0, 1.0, s4, 0.0},
        // q = 1: (1/2)^6 (35/12 + 4) and (1/2)^5 [(3 + 35/6)/2 - 3 (35/12 + 4)] = -(196/12)/32
        {2, 1.0, 1.0, s4 * (83.0 / 12.0) / 64.0, -s4 * (196.0 / 12.0) / 32.0},
        {2, 2.0, 1.0, 0.0, 0.0},
        {3, 0.0, 1.0, s3, 0.0},
        {3, 0.5, 1.0, s3 * 0.71875, -s3 * 0.9375},
        {3, 1.5, 1.0, s3 * 0.03125, -s3 * 0.1875},
        {3, 2.0, 1.0, 0.0, 0.0},
    };
    for (const Case& c : cases) {
        double w = -1.0;
        ASSERT_EQ(sph_kernel_value(c.kernel, c.r, c.h, w), 0);
        EXPECT_NEAR(w, c.w, 1e-15) << "kernel " << c.kernel << " r " << c.r;
        const double rij[3] = {c.r, 0.0, 0.0};
        double g[3] = {9, 9, 9};
        ASSERT_EQ(sph_kernel_gradient(c.kernel, rij, c.h, g), 0);
        EXPECT_NEAR(g[0], c.dwdr, 1e-15) << "kernel " << c.kernel << " r " << c.r;
        EXPECT_EQ(g[1], 0.0);
        EXPECT_EQ(g[2], 0.0);
    }
    // Just inside the support a kernel is still positive and its slope negative.
    for (int k = 1; k <= 3; ++k) {
        double w = 0.0;
        ASSERT_EQ(sph_kernel_value(k, 1.999, 1.0, w), 0);
        EXPECT_GT(w, 0.0);
        const double rij[3] = {0.0, -1.999, 0.0};
        double g[3];
        ASSERT_EQ(sph_kernel_gradient(k, rij, 1.0, g), 0);
        EXPECT_GT(g[1], 0.0);  // points along rij, and dW/dr < 0
    }
    // The gradient points along rij with magnitude |dW/dr|.
    const double rij[3] = {0.6, 0.0, 0.8};
    double g[3];
    ASSERT_EQ(sph_kernel_gradient(1, rij, 1.0, g), 0);
    EXPECT_NEAR(g[0], -s2 * 5.0 * 0.125 * 0.6, 1e-15);
    EXPECT_NEAR(g[2], -s2 * 5.0 * 0.125 * 0.8, 1e-15);
}

TEST(Kernels, ChecksAndSupport) {
    struct Case {
        int kernel;
        double h;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {1, 0.0, 1, "kernel smoothing length must be positive"},
        {4, -1.0, 1, "kernel smoothing length must be positive"},  // h is checked first
        {1, std::nan(""), 1, "kernel smoothing length must be positive"},
        {2, INFINITY, 1, "kernel smoothing length must be positive"},
        {4, 1.0, 1, "unknown SPH kernel type"},
        {0, 1.0, 1, "unknown SPH kernel type"},
    };
    for (const Case& c : cases) {
        sph_error_clear();
        double w = 7.0, s = 7.0;
        double g[3] = {7, 7, 7};
        const double rij[3] = {0.5, 0, 0};
        EXPECT_EQ(sph_kernel_value(c.kernel, 0.5, c.h, w), c.code);
        EXPECT_EQ(sph_error_message(), c.message);
        EXPECT_EQ(w, 0.0);
        EXPECT_EQ(sph_kernel_gradient(c.kernel, rij, c.h, g), c.code);
        EXPECT_EQ(g[0], 0.0);
        EXPECT_EQ(sph_kernel_support_radius(c.kernel, c.h, s), c.code);
        EXPECT_EQ(s, 0.0);
    }
    const double zero[3] = {0, 0, 0};
    double g[3] = {1, 1, 1};
    EXPECT_EQ(sph_kernel_gradient(1, zero, 1.0, g), 0);
    EXPECT_EQ(g[0], 0.0);
    double s = 0.0;
    for (int k = 1; k <= 3; ++k) {
        ASSERT_EQ(sph_kernel_support_radius(k, 0.75, s), 0);
        EXPECT_EQ(s, 1.5);
        EXPECT_TRUE(sph_kernel_is_supported(k));
    }
    EXPECT_FALSE(sph_kernel_is_supported(4));
}

// Separations whose squares underflow (below about 1.5e-154) are not coincidences: near
// q = 0, dW/dq = -5 sigma q (Wendland C2) and -3 sigma q (cubic spline), so at h = 1 the
// gradient along x is -5 sigma r and -3 sigma r. At h = 1.2e-200 the gradient, of order
// 1 / h^4, is beyond the range: not finite, but not zero either.
TEST(Kernels, GradientAtSeparationsWhoseSquaresUnderflow) {
    struct Case {
        int kernel;
        double r, h;
        double dwdr;  // 0: not finite
    };
    const Case cases[] = {
        {1, 1e-200, 1.0, -5.0 * s2 * 1e-200},
        {3, 1e-200, 1.0, -3.0 * s3 * 1e-200},
        {1, 0x1p-1074, 1.0, -5.0 * s2 * 0x1p-1074},
        {1, 1e-200, 1.2e-200, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("kernel " + std::to_string(c.kernel) + " r " + std::to_string(c.r) + " h " + std::to_string(c.h));
        const double rij[3] = {0.0, -c.r, 0.0};
        double g[3] = {9, 9, 9};
        ASSERT_EQ(sph_kernel_gradient(c.kernel, rij, c.h, g), 0);
        if (c.dwdr == 0.0) {
            EXPECT_FALSE(std::isfinite(g[1])) << g[1];
        } else {
            EXPECT_NEAR(g[1], -c.dwdr, 1e-15 * std::fabs(c.dwdr));
            EXPECT_GT(g[1], 0.0);
        }
    }
}
