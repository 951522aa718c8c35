/* A C program driving a host's exchange through quorrel.h: the region table, particle
 * forces and a facet pressure applied, two steps advanced, the diagnostics read back, the
 * particles exported, a contact state and a stale load.
 * Usage: c_coupling_caller coupling.inp
 *
 * The deck holds four particles, nodes 11-14 being particles 1-4, eight or more apart and
 * at rest without a body force, so only the imports move them: water at 1 (0, 0, 4) and
 * 3 (0, 8, 0), mass 2; shells at 2 (8, 0, 0) and 4 (8, 8, 0), mass 1, director (0, 0, 1),
 * area 2. Region 1 (Wet) lists particles 3, 2, 1, 4 in that order, region 2 (Skin) the two
 * shells, region 3 (Off) is disabled. Steps of dt = 0.25.
 *
 * Step 1: F = (1, 2, 3) on export index 1 (particle 3), G = (4, 0, -2) on export index 3
 * (particle 1). Force F + G = (5, 2, 1). Moment x3 x F + x1 x G:
 *   (0, 8, 0) x (1, 2, 3) = (8*3 - 0*2, 0*1 - 0*3, 0*2 - 8*1) = (24, 0, -8)
 *   (0, 0, 4) x (4, 0, -2) = (0*-2 - 4*0, 4*4 - 0*-2, 0*0 - 0*4) = (0, 16, 0)
 *   sum (24, 16, -8). Impulse (F + G) dt = (1.25, 0.5, 0.25). Work 0: both start at rest.
 * Largest force |G| = sqrt(20) > |F| = sqrt(14); largest acceleration |G| / 2 = sqrt(5).
 * Leapfrog from rest with a = F / m: v = dt a, x = x0 + dt^2 a / 2 = x0 + a / 32:
 *   particle 3: a = (0.5, 1, 1.5), v = (0.125, 0.25, 0.375), x = (0.015625, 8.03125, 0.046875)
 *   particle 1: a = (2, 0, -1), v = (0.5, 0, -0.25), x = (0.0625, 0, 3.96875)
 *
 * Step 2: a pressure 1.5 on facet 2 for host step 2 puts P = 1.5 * 2 * (0, 0, 1) = (0, 0, 3)
 * on particle 2, moment (8, 0, 0) x (0, 0, 3) = (0, -24, 0), all of it distributed; then
 * H = (8, 0, 0) on export index 1 (particle 3, now at x3 and moving at v3 from step 1).
 * Force P + H = (8, 0, 3); moment (0, -24, 0) + x3 x H with
 *   x3 x H = (8.03125*0 - 0.046875*0, 0.046875*8 - 0.015625*0, 0.015625*0 - 8.03125*8)
 *          = (0, 0.375, -64.25), sum (0, -23.625, -64.25).
 * Impulse (2, 0, 0.75), cumulative (3.25, 0.5, 1). Work v3 . H dt = 0.125 * 8 * 0.25 = 0.25
 * (particle 2 starts at rest). Largest force 8; largest acceleration max(3 / 1, 8 / 2) = 4.
 * The largest pressure 1.5 stays after the step. */
#include <float.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "c_checks.h"
#include "quorrel.h"

/* Every value here is a short binary fraction or a square root, so equal or within one
 * rounding. */
static void expect_real(const char* what, double got, double want) {
    expect_real_within(what, got, want, 1e-15);
}

static void expect_reals(const char* what, const double* got, const double* want, int n) {
    int k;
    for (k = 0; k < n; ++k) {
        char label[128];
        snprintf(label, sizeof label, "%s [%d]", what, k);
        expect_real(label, got[k], want[k]);
    }
}

/* The 27 values and 12 counts after a step. */
static void expect_diagnostics(const char* what, const double* want_values, const int* want_counts) {
    double values[27];
    int counts[12], k;
    for (k = 0; k < 27; ++k) values[k] = -1.0;
    for (k = 0; k < 12; ++k) counts[k] = -1;
    expect_int(what, quorrel_coupling_get_diagnostics(values, 27, counts, 12), 0);
    expect_reals(what, values, want_values, 27);
    for (k = 0; k < 12; ++k) {
        char label[128];
        snprintf(label, sizeof label, "%s, count %d", what, k + 1);
        expect_int(label, counts[k], want_counts[k]);
    }
}

static void expect_contact(const char* what, const int* want_counts, double want_penetration) {
    int counts[7], k;
    double value = -1.0;
    expect_int(what, quorrel_coupling_get_contact_diagnostics(counts, 7, &value, 1), 0);
    for (k = 0; k < 7; ++k) {
        char label[128];
        snprintf(label, sizeof label, "%s, count %d", what, k + 1);
        expect_int(label, counts[k], want_counts[k]);
    }
    expect_real(what, value, want_penetration);
}

int main(int argc, char** argv) {
    int k, count = -1;
    if (argc != 2) {
        fprintf(stderr, "usage: c_coupling_caller coupling.inp\n");
        return 2;
    }

    /* No guard: the clear works before initialise. */
    expect_int("clear before initialise", quorrel_coupling_clear_imports(), 0);

    expect_int("initialise", quorrel_initialize(), 0);
    expect_int("read", quorrel_read_inp(argv[1]), 0);
    expect_int("build", quorrel_build_model(), 0);

    {
        static const char* names[3] = {"Wet", "Skin", "Off"};
        /* type, export, import, enabled, particles, facets, load, distribution, contact */
        static const int want[3][9] = {
            {1, 3, 1, 1, 4, 2, 1, 1, 1}, {1, 2, 2, 1, 0, 2, 2, 1, 0}, {1, 1, 1, 0, 0, 0, 1, 1, 0}};
        expect_int("region count", quorrel_coupling_get_region_count(&count), 0);
        expect_int("regions", count, 3);
        for (k = 0; k < 3; ++k) {
            char name[128];
            int got[9], j;
            expect_int("region info",
                       quorrel_coupling_get_region_info(k + 1, name, (int)sizeof name, &got[0], &got[1], &got[2],
                                                        &got[3], &got[4], &got[5]),
                       0);
            expect_int("region modes", quorrel_coupling_get_region_modes(k + 1, &got[6], &got[7], &got[8]), 0);
            if (strcmp(name, names[k]) != 0) {
                fprintf(stderr, "FAIL region %d name \"%s\", want \"%s\"\n", k + 1, name, names[k]);
                ++failures;
            }
            for (j = 0; j < 9; ++j) {
                char label[64];
                snprintf(label, sizeof label, "region %d field %d", k + 1, j + 1);
                expect_int(label, got[j], want[k][j]);
            }
        }
    }

    /* Refused by the C layer: nothing called, the error state as the build left it. */
    {
        const int indices[2] = {1, 3};
        const double with_nan[6] = {1.0, 2.0, 3.0, 4.0, NAN, -2.0};
        double values[27];
        int counts[12];
        expect_int("NaN force", quorrel_coupling_apply_particle_forces(1, 2, indices, with_nan), -1);
        expect_int("region 0", quorrel_coupling_apply_particle_forces(0, 0, NULL, NULL), -1);
        expect_int("26 values", quorrel_coupling_get_diagnostics(values, 26, counts, 12), -1);
        expect_error("after refused calls", 0, "OK");
    }
    /* The largest double passes the C layer and is refused below it. */
    {
        const int index[1] = {1};
        const double huge[3] = {DBL_MAX, 0.0, 0.0};
        expect_int("largest double force", quorrel_coupling_apply_particle_forces(1, 1, index, huge), 1);
        expect_error("largest double force", 1, "coupling force is not finite");
    }

    /* Step 1. */
    {
        const int indices[2] = {1, 3};
        const double forces[6] = {1.0, 2.0, 3.0, 4.0, 0.0, -2.0};
        const double want[27] = {
            5,    2,   1,    /* force F + G */
            24,   16,  -8,   /* moment */
            1.25, 0.5, 0.25, /* impulse */
            1.25, 0.5, 0.25, /* cumulative impulse */
            1.25, 0.5, 0.25, /* momentum exchange */
            0,    0,   0,    /* work: step, cumulative; energy exchange */
            sqrt(20.0),      /* largest force */
            sqrt(5.0),       /* largest acceleration */
            0,    0,         /* largest velocity and position errors: no motion targets */
            0,    0,         /* facet force and moment errors */
            0,    0,   0,    /* largest pressure, traction, penetration */
        };
        /* The non-finite count keeps the refusal above. */
        const int want_counts[12] = {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
        expect_int("step 1 forces", quorrel_coupling_apply_particle_forces(1, 2, indices, forces), 0);
        expect_int("step 1", quorrel_advance_explicit(0.25), 0);
        expect_diagnostics("after step 1", want, want_counts);
    }
    {
        int ints[6][4], n = -1, i;
        double scalars[28], vectors[36];
        /* In the list order of Wet: particles 3, 2, 1, 4. */
        static const int want_ints[6][4] = {{13, 12, 11, 14}, {3, 2, 1, 4}, {1, 5, 1, 5},
                                            {0, 0, 0, 0},     {1, 2, 1, 2}, {1, 2, 1, 2}};
        static const double want_vectors[36] = {
            0.015625, 8.03125, 0.046875, 0.125, 0.25, 0.375, 0.5, 1.0, 1.5,  /* particle 3 */
            8.0,      0.0,     0.0,      0.0,   0.0,  0.0,   0.0, 0.0, 0.0,  /* particle 2 */
            0.0625,   0.0,     3.96875,  0.5,   0.0,  -0.25, 2.0, 0.0, -1.0, /* particle 1 */
            8.0,      8.0,     0.0,      0.0,   0.0,  0.0,   0.0, 0.0, 0.0,  /* particle 4 */
        };
        static const double water[7] = {2.0, 0.5, 1000.0, 3.0, 0.0, 293.15, 0.5};
        static const double shell[7] = {1.0, 1.0, 1000.0, 0.0, 0.0, 293.15, 1.0};
        expect_int("export particles",
                   quorrel_coupling_export_particles(1, 4, &n, ints[0], ints[1], ints[2], ints[3], ints[4], ints[5],
                                                     scalars, vectors),
                   0);
        expect_int("exported particles", n, 4);
        for (k = 0; k < 6; ++k)
            for (i = 0; i < 4; ++i) {
                char label[64];
                snprintf(label, sizeof label, "export column %d entry %d", k + 1, i + 1);
                expect_int(label, ints[k][i], want_ints[k][i]);
            }
        for (i = 0; i < 4; ++i) expect_reals("export scalars", scalars + 7 * i, i % 2 ? shell : water, 7);
        expect_reals("export vectors", vectors, want_vectors, 36);
    }

    /* Step 2. */
    {
        const int facet[1] = {2}, index[1] = {1};
        const double pressure[1] = {1.5}, force[3] = {8.0, 0.0, 0.0};
        const double want_in_force[3] = {0, 0, 3}, want_in_moment[3] = {0, -24, 0};
        double in_f[3], out_f[3], f_err = -1.0, in_m[3], out_m[3], m_err = -1.0;
        const double want[27] = {
            8,    0,       3,      /* force P + H */
            0,    -23.625, -64.25, /* moment */
            2,    0,       0.75,   /* impulse */
            3.25, 0.5,     1.0,    /* cumulative impulse */
            3.25, 0.5,     1.0,    /* momentum exchange */
            0.25, 0.25,    0.25,   /* work: step, cumulative; energy exchange */
            8.0,                   /* largest force */
            4.0,                   /* largest acceleration */
            0,    0,               /* largest velocity and position errors */
            0,    0,               /* facet force and moment errors */
            1.5,  0,       0,      /* largest pressure, traction, penetration */
        };
        const int want_counts[12] = {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
        expect_int("step 2 pressure", quorrel_coupling_apply_facet_pressures(1, 1, facet, pressure, 2, 2), 0);
        expect_int("load balance", quorrel_coupling_get_load_balance(in_f, out_f, &f_err, in_m, out_m, &m_err), 0);
        expect_reals("input force", in_f, want_in_force, 3);
        expect_reals("distributed force", out_f, want_in_force, 3);
        expect_reals("input moment", in_m, want_in_moment, 3);
        expect_reals("distributed moment", out_m, want_in_moment, 3);
        expect_real("force error", f_err, 0.0);
        expect_real("moment error", m_err, 0.0);
        expect_int("step 2 force", quorrel_coupling_apply_particle_forces(1, 1, index, force), 0);
        expect_int("step 2", quorrel_advance_explicit(0.25), 0);
        expect_diagnostics("after step 2", want, want_counts);
    }

    /* A contact state on facet 4 for host step 3, then a clear before any step took it: a
     * stale load. */
    {
        const int facet[1] = {4};
        const double normal[3] = {0.0, 0.0, 2.0}, gap[1] = {0.125}, penetration[1] = {0.75}, pressure[1] = {2.0};
        const int stored[7] = {1, 0, 0, 0, 0, 0, 0}, cleared[7] = {0, 0, 1, 0, 0, 0, 0};
        expect_int("contact", quorrel_coupling_apply_contact_state(1, 1, facet, normal, gap, penetration, pressure, 3),
                   0);
        expect_contact("after the contact", stored, 0.75);
        expect_int("clear", quorrel_coupling_clear_imports(), 0);
        expect_contact("after the clear", cleared, 0.0);
    }

    /* A refusal below the C layer, then one by it: the first message stays. */
    {
        const int water_facet[1] = {1};
        const double pressure[1] = {1.0};
        double values[27];
        int counts[12];
        expect_int("pressure on water", quorrel_coupling_apply_facet_pressures(1, 1, water_facet, pressure, 1, 4), 1);
        expect_error("pressure on water", 1, "coupling facet proxy requires Shell particles");
        expect_int("11 counts", quorrel_coupling_get_diagnostics(values, 27, counts, 11), -1);
        expect_error("after 11 counts", 1, "coupling facet proxy requires Shell particles");
    }

    expect_int("finalise", quorrel_finalize(), 0);

    return finish_checks("c coupling caller");
}
