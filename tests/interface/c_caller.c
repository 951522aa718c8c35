/* A C program driving the library through quorrel.h: guards, a water deck read, built,
 * run and queried, one output step, finalise; then a gas deck run and its gas queries;
 * then an explosive deck with ignition points added through the interface; then a solid
 * deck through the solid queries.
 * Usage: c_caller water.inp gas.inp explosive.inp solid.inp
 *
 * The water deck holds four water particles out of each other's reach falling under a
 * body force of 8 downwards, in four steps of 2^-10 (end time 2^-8). Constant acceleration
 * makes the leapfrog exact: v = -8 t = -2^-5, z = -8 t^2 / 2 = -2^-14.
 *
 * The gas deck holds two gas particles one smoothing length (1) apart along x, at
 * (0, 2, 3) with rho 1, p 1 and at (1, 2, 3) with rho 2, p 2; mass 1 and volume 0.5 each,
 * at rest under a body force (1, -2, 2), run for one step of 2^-4. The pair's pressure
 * forces are equal and opposite, so the totals follow from the body force alone:
 * momentum dt (2, -4, 4) = (0.125, -0.25, 0.25), centre (0.5 + 2^-9, 2 - 2^-8, 3 + 2^-8);
 * volume 1, mean pressure (0.5 * 1 + 0.5 * 2) / 1 = 1.5, radius (3 / (4 pi))^(1/3).
 *
 * The explosive deck holds four charge particles of mass 1 at x = 0, 1, 2, 3 (y = z = 0),
 * at rest, ignited from (-1, 0, 0) at time 0 with detonation velocity 2: arrivals
 * t0 + distance / D = 0.5, 1, 1.5, 2. The point (3, 1.5, 2) at time 0.25 lies 2.5 from
 * the last particle (3-4-5 scaled by 1/2), so its arrival becomes 0.25 + 2.5 / 2 = 1.5;
 * the others are nearer the deck's point (from the new one: sqrt(15.25), sqrt(10.25),
 * sqrt(7.25) over 2, plus 0.25, i.e. 2.20, 1.85, 1.60) and keep theirs: the range is
 * 0.5 .. 1.5 instead of 0.5 .. 2. Burn time 1 and energy per mass 4; the run takes eight
 * steps of burn time / 4 = 0.25 to t = 2, where progress clamp(t - arrival, 0, 1) is
 * 1, 1, 0.5, 0.5: released mass 3, energy 12, remaining 1.
 *
 * The solid deck holds four solid particles on the corners of a right tetrahedron of edge
 * 0.5 (O at the origin, A, B, C 0.5 along x, y, z) and one water particle (mass 2) far
 * away, third in the node order; body force g = (0, 3, -4), |g| = 5. Solid mass, volume
 * and h are 1; E = 30, nu = 0.25, density 144 give G = 30 / 2.5 = 12, K = 30 / 1.5 = 20
 * and c = sqrt((20 + 4 * 12 / 3) / 144) = 0.5. Every solid sees the other three (at most
 * sqrt(2) / 2 apart, reach 2), so each has 3 reference neighbours and the moment matrix
 * M = sum V0 r r^T: for O, 0.25 I; for A (r = (-0.5, 0, 0), (-0.5, 0.5, 0), (-0.5, 0, 0.5)),
 * 0.25 [[3, -1, -1], [-1, 1, 0], [-1, 0, 1]], whose bracket has determinant
 * 3 - 1 - 1 = 1; B and C are A with the axes renamed. So det M = 0.25^3 = 1/64 for all
 * four, status 0 and nothing degenerate. Stresses start at zero and the particles move
 * together, so the pair forces stay zero and each acceleration is g:
 * at rest, dt_cfl = h / c = 2, dt_accel = sqrt(h / |g|) = sqrt(1 / 5), the smaller.
 * One step of 0.25 gives v = 0.25 g = (0, 0.75, -1), |v| = 1.25: momentum 4 v = (0, 3, -4),
 * kinetic energy 4 * 0.5 * 1.5625 = 3.125, dt_cfl = 1 / (0.5 + 1.25) = 1 / 1.75. The
 * velocities stay equal, so the velocity gradients, strains and stresses stay zero: the
 * state table holds a softening of 1 for each solid and nothing else. */
#define _POSIX_C_SOURCE 200809L

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "c_checks.h"
#include "quorrel.h"

static void expect_real(const char* what, double got, double want) {
    expect_real_within(what, got, want, 1e-12);
}

static int file_exists(const char* dir, const char* name) {
    char path[1200];
    struct stat st;
    snprintf(path, sizeof path, "%s/%s", dir, name);
    return stat(path, &st) == 0 && st.st_size > 0;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: c_caller water.inp gas.inp explosive.inp solid.inp\n");
        return 2;
    }
    const char* deck = argv[1];
    double t = -1.0, dtcrit = -1.0;
    int step = -1, count = -1;

    /* Before initialise. */
    expect_int("run before initialise", quorrel_run_explicit(), 2);
    expect_error("run before initialise", 2, "Quorrel API is not initialized");
    expect_int("count before initialise", quorrel_get_particle_count(&count), 2);
    expect_int("count zeroed", count, 0);

    expect_int("initialise", quorrel_initialize(), 0);
    expect_error("after initialise", 0, "OK");

    /* Initialised, nothing built. */
    expect_int("read", quorrel_read_inp(deck), 0);
    expect_int("estimate before build", quorrel_estimate_stable_dt(&dtcrit), 2);
    expect_error("estimate before build", 2, "Quorrel model is not built");
    expect_real("dtcrit zeroed", dtcrit, 0.0);

    /* Rejected arguments leave the error state alone. */
    expect_int("null path", quorrel_read_inp(NULL), -1);
    expect_int("empty path", quorrel_read_inp(""), -1);
    expect_int("null count", quorrel_get_particle_count(NULL), -1);
    expect_error("after rejected calls", 2, "Quorrel model is not built");

    expect_int("build", quorrel_build_model(), 0);
    expect_int("run", quorrel_run_explicit(), 0);

    expect_int("count", quorrel_get_particle_count(&count), 0);
    expect_int("particles", count, 4);
    expect_int("time", quorrel_get_current_time(&t, &step), 0);
    expect_real("time", t, 0.00390625);
    expect_int("step", step, 4);

    {
        int ids[4], phase[4], status[4], mat[4], sec[4], n = 0, i;
        double x[12], v[12], a[12], rho[4], p[4], e[4], temp[4], h[4];
        static const double x0[4] = {0.0, 1.0, 0.0, 1.0}, y0[4] = {0.0, 0.0, 1.0, 1.0};
        expect_int("state", quorrel_get_particle_state(4, ids, phase, status, mat, sec, x, v, a, rho, p, e, temp, h, &n),
                   0);
        expect_int("state count", n, 4);
        for (i = 0; i < 4; ++i) {
            expect_int("external id", ids[i], i + 1);
            expect_int("phase water", phase[i], 1);
            expect_int("material", mat[i], 1);
            expect_real("x", x[3 * i], x0[i]);
            expect_real("y", x[3 * i + 1], y0[i]);
            expect_real("z", x[3 * i + 2], -6.103515625e-05);
            expect_real("vz", v[3 * i + 2], -0.03125);
            expect_real("az", a[3 * i + 2], -8.0);
            expect_real("rho", rho[i], 1000.0);
            expect_real("pressure", p[i], 0.0);
            expect_real("h", h[i], 0.1);
        }
        expect_int("state too small", quorrel_get_particle_state(3, ids, phase, status, mat, sec, x, v, a, rho, p, e,
                                                                 temp, h, &n),
                   1);
        expect_int("state count when too small", n, 4);
        expect_int("state zero capacity", quorrel_get_particle_state(0, ids, phase, status, mat, sec, x, v, a, rho, p,
                                                                     e, temp, h, &n),
                   -1);
    }
    {
        double mass = 0, mom[3] = {0, 0, 0}, pmax = -1, dmin = 0, dmax = 0;
        expect_int("water summary", quorrel_get_water_summary(&mass, mom, &pmax, &dmin, &dmax), 0);
        expect_real("water mass", mass, 8.0);
        expect_real("water momentum z", mom[2], -0.25);
        expect_real("water max pressure", pmax, 0.0);
        expect_real("water min density", dmin, 1000.0);
        expect_real("water max density", dmax, 1000.0);
    }
    /* Every phase limit exceeds the deck's DT, which caps the step. */
    expect_int("estimate", quorrel_estimate_stable_dt(&dtcrit), 0);
    expect_real("dtcrit", dtcrit, 0.0009765625);
    expect_int("advance NaN", quorrel_advance_explicit(NAN), -1);
    expect_int("advance zero", quorrel_advance_explicit(0.0), 1);
    expect_error("advance zero", 1, "time step must be positive");

    {
        char dir[] = "/tmp/quorrel_c_caller_XXXXXX";
        if (!mkdtemp(dir)) {
            perror("mkdtemp");
            return 2;
        }
        expect_int("output directory", quorrel_set_output_directory(dir), 0);
        expect_int("write output", quorrel_write_output(step, t), 0);
        if (!file_exists(dir, "quorrel_00000004.csv") || !file_exists(dir, "quorrel_00000004.vtu") ||
            !file_exists(dir, "quorrel.pvd")) {
            fprintf(stderr, "FAIL output files missing in %s\n", dir);
            ++failures;
        }
        {
            char cmd[1200];
            snprintf(cmd, sizeof cmd, "rm -rf '%s'", dir);
            if (system(cmd) != 0) fprintf(stderr, "note: could not remove %s\n", dir);
        }
    }

    expect_int("finalise", quorrel_finalize(), 0);
    expect_error("after finalise", 0, "OK");
    expect_int("run after finalise", quorrel_run_explicit(), 2);
    expect_int("finalise again", quorrel_finalize(), 0);

    {
        const double pi = 3.141592653589793;
        double vol = -1, c[3] = {-1, -1, -1}, mean = -1, pmax = -1, radius = -1, rate = -1, bc[3];
        double cfl = -1, accel = -1, limit = -1, mass = -1, mom[3], dens[2], lim[3], ms = -1, msrc[3], es = -1;
        /* Closed: the guard's code, every output zero. */
        expect_int("gas summary closed", quorrel_get_gas_summary(&vol, c, &mean, &pmax), 2);
        expect_real("gas summary closed volume", vol, 0.0);
        expect_real("gas summary closed centre z", c[2], 0.0);
        expect_int("gas limits closed", quorrel_get_gas_dt_limits(&cfl, &accel, &limit), 2);
        expect_real("gas limits closed limit", limit, 0.0);

        expect_int("gas initialise", quorrel_initialize(), 0);
        expect_int("gas read", quorrel_read_inp(argv[2]), 0);
        expect_int("gas build", quorrel_build_model(), 0);
        expect_int("gas run", quorrel_run_explicit(), 0);
        expect_int("gas summary", quorrel_get_gas_summary(&vol, c, &mean, &pmax), 0);
        expect_real("gas volume", vol, 1.0);
        expect_real("gas centre x", c[0], 0.501953125);
        expect_real("gas centre y", c[1], 1.99609375);
        expect_real("gas centre z", c[2], 3.00390625);
        expect_real("gas mean pressure", mean, 1.5);
        expect_real("gas max pressure", pmax, 2.0);
        expect_int("gas bubble", quorrel_get_gas_bubble_metrics(&radius, &rate, bc), 0);
        expect_real("gas radius", radius, cbrt(3.0 / (4.0 * pi)));
        expect_real("gas radius rate", rate, 0.0);
        expect_real("gas bubble centre y", bc[1], 1.99609375);
        expect_int("gas limits", quorrel_get_gas_dt_limits(&cfl, &accel, &limit), 0);
        expect_real("gas limit is the smaller", limit, accel < cfl ? accel : cfl);
        expect_int("gas extended", quorrel_get_gas_extended_summary(&mass, mom, dens, lim), 0);
        expect_real("gas mass", mass, 2.0);
        expect_real("gas momentum x", mom[0], 0.125);
        expect_real("gas momentum y", mom[1], -0.25);
        expect_real("gas momentum z", mom[2], 0.25);
        expect_real("gas min density", dens[0], 1.0);
        expect_real("gas max density", dens[1], 2.0);
        expect_real("gas extended cfl", lim[0], cfl);
        expect_real("gas extended accel", lim[1], accel);
        expect_real("gas extended limit", lim[2], limit);
        expect_int("gas sources", quorrel_get_gas_source_summary(&ms, msrc, &es), 0);
        expect_real("gas source mass", ms, 0.0);
        expect_real("gas source energy", es, 0.0);
        expect_int("gas summary null", quorrel_get_gas_summary(&vol, NULL, &mean, &pmax), -1);
        expect_int("gas sources null", quorrel_get_gas_source_summary(&ms, msrc, NULL), -1);
        expect_error("after gas calls", 0, "OK");
        expect_int("gas finalise", quorrel_finalize(), 0);
    }

    {
        const char* water = argv[1];
        const char* explosive = argv[3];
        int n = -1, reacted = -1, k;
        double lambda[3], released[5], detonation[2] = {-1, -1}, mass[4] = {-1, -1, -1, -1}, energy[2], mom[3];

        /* Closed: the guard's code, every output zero. */
        expect_int("ignition closed", quorrel_set_ignition_point(0.0, 0.0, 0.0, 0.0), 2);
        expect_error("ignition closed", 2, "Quorrel API is not initialized");
        expect_int("explosive summary closed",
                   quorrel_get_explosive_summary(&n, &reacted, lambda, released, detonation), 2);
        expect_int("explosive summary closed count", n, 0);
        expect_real("explosive summary closed detonation max", detonation[1], 0.0);
        expect_int("explosive balance closed", quorrel_get_explosive_release_balance(mass, energy, mom), 2);
        expect_real("explosive balance closed initial mass", mass[0], 0.0);

        /* Nothing to ignite without an explosive material. */
        expect_int("explosive initialise", quorrel_initialize(), 0);
        expect_int("ignition without a deck", quorrel_set_ignition_point(0.0, 0.0, 0.0, 0.0), 4);
        expect_error("ignition without a deck", 4, "no Explosive material is available");
        expect_int("water read", quorrel_read_inp(water), 0);
        expect_int("water build", quorrel_build_model(), 0);
        expect_int("ignition of water", quorrel_set_ignition_point(0.0, 0.0, 0.0, 0.0), 4);
        expect_error("ignition of water", 4, "no Explosive material is available");

        expect_int("explosive read", quorrel_read_inp(explosive), 0);
        expect_int("explosive build", quorrel_build_model(), 0);
        expect_int("explosive summary", quorrel_get_explosive_summary(&n, &reacted, lambda, released, detonation), 0);
        expect_int("explosive tracked", n, 4);
        expect_real("arrival min as built", detonation[0], 0.5);
        expect_real("arrival max as built", detonation[1], 2.0);

        /* A second point, after the build: the arrivals are recomputed at once. */
        expect_int("ignition point", quorrel_set_ignition_point(3.0, 1.5, 2.0, 0.25), 0);
        expect_int("summary after ignition", quorrel_get_explosive_summary(&n, &reacted, lambda, released, detonation),
                   0);
        expect_real("arrival min after ignition", detonation[0], 0.5);
        expect_real("arrival max after ignition", detonation[1], 1.5);

        /* The deck's record and the one above are two of the 32; thirty more fill the
         * table and the 33rd fails. */
        for (k = 0; k < 30; ++k)
            expect_int("ignition record filling the table", quorrel_set_ignition_point(3.0, 1.5, 2.0, 0.25), 0);
        expect_int("33rd ignition record", quorrel_set_ignition_point(3.0, 1.5, 2.0, 0.25), 4);
        expect_error("33rd ignition record", 4, "too many Explosive ignition records");

        expect_int("explosive run", quorrel_run_explicit(), 0);
        expect_int("time after the burn", quorrel_get_current_time(&t, &step), 0);
        expect_real("time after the burn", t, 2.0);
        expect_int("steps of the burn", step, 8);
        expect_int("summary after the burn", quorrel_get_explosive_summary(&n, &reacted, lambda, released, detonation),
                   0);
        expect_int("tracked after the burn", n, 4);
        expect_int("reacted after the burn", reacted, 4);
        expect_real("lambda min", lambda[0], 0.5);
        expect_real("lambda max", lambda[1], 1.0);
        expect_real("lambda mean", lambda[2], 0.75);
        expect_real("released mass", released[0], 3.0);
        expect_real("released energy", released[1], 12.0);
        expect_real("released momentum x", released[2], 0.0);
        expect_int("balance after the burn", quorrel_get_explosive_release_balance(mass, energy, mom), 0);
        expect_real("initial mass", mass[0], 4.0);
        expect_real("released mass in the balance", mass[1], 3.0);
        expect_real("remaining mass", mass[2], 1.0);
        expect_real("mass error", mass[3], 0.0);
        expect_real("released energy in the balance", energy[0], 12.0);
        expect_real("energy error", energy[1], 0.0);

        /* A second model never shows the first one's burn: the water deck has four
         * particles too, so stale per-particle arrays would fit it. First initialise again
         * without finalising, then a new read after a burnt explosive model. */
        for (k = 0; k < 2; ++k) {
            const char* how = k == 0 ? "initialise again" : "read again";
            int z;
            if (k == 0) {
                expect_int(how, quorrel_initialize(), 0);
            } else {
                expect_int(how, quorrel_read_inp(explosive), 0);
                expect_int(how, quorrel_build_model(), 0);
                expect_int(how, quorrel_run_explicit(), 0);
            }
            expect_int(how, quorrel_read_inp(water), 0);
            expect_int(how, quorrel_build_model(), 0);
            n = reacted = -1;
            for (z = 0; z < 5; ++z) released[z] = -1.0;
            for (z = 0; z < 4; ++z) mass[z] = -1.0;
            lambda[0] = lambda[1] = lambda[2] = detonation[0] = detonation[1] = energy[0] = energy[1] = -1.0;
            mom[0] = mom[1] = mom[2] = -1.0;
            expect_int(how, quorrel_get_explosive_summary(&n, &reacted, lambda, released, detonation), 0);
            expect_int(how, quorrel_get_explosive_release_balance(mass, energy, mom), 0);
            expect_int(how, n, 0);
            expect_int(how, reacted, 0);
            for (z = 0; z < 3; ++z) expect_real(how, lambda[z], 0.0);
            for (z = 0; z < 5; ++z) expect_real(how, released[z], 0.0);
            for (z = 0; z < 2; ++z) expect_real(how, detonation[z], 0.0);
            for (z = 0; z < 4; ++z) expect_real(how, mass[z], 0.0);
            for (z = 0; z < 2; ++z) expect_real(how, energy[z], 0.0);
            for (z = 0; z < 3; ++z) expect_real(how, mom[z], 0.0);
        }
        expect_int("explosive summary null", quorrel_get_explosive_summary(&n, NULL, lambda, released, detonation), -1);
        expect_int("explosive balance null", quorrel_get_explosive_release_balance(mass, energy, NULL), -1);
        expect_error("after explosive calls", 0, "OK");
        expect_int("explosive finalise", quorrel_finalize(), 0);
    }

    {
        const char* solid = argv[4];
        /* Columns for one particle more than the deck has, and more values beyond them. */
        enum { columns = 6, rows = 22, spare = 7 };
        double values[rows * columns + spare], summary[17], diag[5], det[2];
        int fail[columns], nbrs[columns], degen[columns], corr[columns];
        int active = -1, failed = -1, n = -1, nmin = -1, cstat = -1, k, i;
        const double sqrt_fifth = sqrt(1.0 / 5.0);
        /* At rest, then after one step of 0.25. */
        const double rest[16] = {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 2, sqrt_fifth, sqrt_fifth};
        const double moved[16] = {4, 0, 3, -4, 3.125, 0, 0, 0, 0, 0, 0, 1, 1, 1 / 1.75, sqrt_fifth, sqrt_fifth};
        static const int solid_column[columns] = {1, 1, 0, 1, 1, 0};

        /* Closed: the guard's code; the counts and the reference quality zeroed, the
         * caller's arrays of the summary, state and diagnostics untouched. */
        for (k = 0; k < 17; ++k) summary[k] = -1.0;
        expect_int("solid summary closed", quorrel_get_solid_summary(&active, &failed, summary, 17), 2);
        expect_error("solid summary closed", 2, "Quorrel API is not initialized");
        expect_int("solid summary closed active", active, 0);
        expect_int("solid summary closed failed", failed, 0);
        for (k = 0; k < 17; ++k) expect_real("solid summary closed leaves values", summary[k], -1.0);
        det[0] = -1.0;
        nmin = cstat = -1;
        expect_int("reference quality closed", quorrel_get_solid_reference_quality(&nmin, &cstat, det, 1), 2);
        expect_int("reference quality closed minimum", nmin, 0);
        expect_int("reference quality closed status", cstat, 0);
        expect_real("reference quality closed determinant", det[0], 0.0);
        values[0] = -1.0;
        expect_int("solid state closed", quorrel_get_solid_particle_state(columns, values, rows * columns, fail, nbrs,
                                                                          degen, corr, &n),
                   2);
        expect_int("solid state closed count", n, 0);
        expect_real("solid state closed leaves values", values[0], -1.0);
        diag[0] = -1.0;
        expect_int("solid diagnostics closed", quorrel_get_solid_diagnostics(diag, 5), 2);
        expect_real("solid diagnostics closed leaves values", diag[0], -1.0);

        expect_int("solid initialise", quorrel_initialize(), 0);
        expect_int("solid read", quorrel_read_inp(solid), 0);
        expect_int("solid summary unbuilt", quorrel_get_solid_summary(&active, &failed, summary, 16), 2);
        expect_error("solid summary unbuilt", 2, "Quorrel model is not built");
        expect_int("solid build", quorrel_build_model(), 0);

        for (k = 0; k < 2; ++k) {
            const char* how = k == 0 ? "at rest" : "after one step";
            const double* want = k == 0 ? rest : moved;
            int z;
            if (k == 1) expect_int("solid step", quorrel_advance_explicit(0.25), 0);
            for (z = 0; z < 17; ++z) summary[z] = -1.0;
            active = failed = -1;
            expect_int(how, quorrel_get_solid_summary(&active, &failed, summary, 17), 0);
            expect_int(how, active, 4);
            expect_int(how, failed, 0);
            for (z = 0; z < 16; ++z) {
                char what[64];
                snprintf(what, sizeof what, "%s, summary value %d", how, z + 1);
                expect_real(what, summary[z], want[z]);
            }
            expect_real("summary leaves the 17th value", summary[16], -1.0);

            for (z = 0; z < 5; ++z) diag[z] = -1.0;
            expect_int(how, quorrel_get_solid_diagnostics(diag, 5), 0);
            expect_real("max strain rate", diag[0], 0.0);
            expect_real("max acceleration", diag[1], 5.0);
            expect_real("internal force residual", diag[2], 0.0);
            expect_real("diagnostics zero the 4th value", diag[3], 0.0);
            expect_real("diagnostics zero the 5th value", diag[4], 0.0);

            nmin = cstat = -1;
            det[0] = det[1] = -1.0;
            expect_int(how, quorrel_get_solid_reference_quality(&nmin, &cstat, det, 2), 0);
            expect_int("reference neighbour minimum", nmin, 3);
            expect_int("correction status maximum", cstat, 0);
            expect_real("correction determinant minimum", det[0], 1.0 / 64.0);
            expect_real("reference quality leaves values[1]", det[1], -1.0);

            for (z = 0; z < rows * columns + spare; ++z) values[z] = -1.0;
            for (z = 0; z < columns; ++z) fail[z] = nbrs[z] = degen[z] = corr[z] = -1;
            n = -1;
            expect_int(how, quorrel_get_solid_particle_state(columns, values, rows * columns + spare, fail, nbrs,
                                                             degen, corr, &n),
                       0);
            expect_int("state count", n, 5);
            for (i = 0; i < columns; ++i) {
                for (z = 0; z < rows; ++z) {
                    char what[64];
                    snprintf(what, sizeof what, "%s, particle %d row %d", how, i + 1, z + 1);
                    /* Row 21 is the softening. */
                    expect_real(what, values[rows * i + z], z == 20 && solid_column[i] ? 1.0 : 0.0);
                }
                expect_int("failure status", fail[i], 0);
                expect_int("reference neighbours", nbrs[i], solid_column[i] ? 3 : 0);
                expect_int("degenerate", degen[i], 0);
                expect_int("correction status", corr[i], 0);
            }
            for (z = 0; z < spare; ++z) expect_real("state leaves the spare values", values[rows * columns + z], -1.0);
        }

        {
            /* 220 = 22 * 10 values are enough for ten particles. */
            double wide[220];
            int f10[10], r10[10], d10[10], c10[10];
            expect_int("state capacity 220 for 10",
                       quorrel_get_solid_particle_state(10, wide, 220, f10, r10, d10, c10, &n), 0);
            expect_int("state count for 10", n, 5);
            expect_real("first solid's softening", wide[20], 1.0);
            expect_real("water's softening", wide[2 * 22 + 20], 0.0);
            expect_real("fifth particle's softening", wide[4 * 22 + 20], 1.0);
            expect_real("sixth column", wide[5 * 22 + 20], 0.0);
            /* Fewer columns than particles is the model's refusal, with the buffers zeroed. */
            for (k = 0; k < 88; ++k) wide[k] = -1.0;
            f10[0] = c10[3] = -1;
            expect_int("state for 4 of 5", quorrel_get_solid_particle_state(4, wide, 88, f10, r10, d10, c10, &n), 1);
            expect_error("state for 4 of 5", 1, "Solid state particle buffer is too small");
            expect_int("state for 4 of 5 count", n, 0);
            expect_real("state for 4 of 5 zeroes values", wide[87], 0.0);
            expect_int("state for 4 of 5 zeroes failure status", f10[0], 0);
            expect_int("state for 4 of 5 zeroes correction status", c10[3], 0);

            /* Rejected before anything is called: the outputs and the record above stay. */
            for (k = 0; k < 17; ++k) summary[k] = -1.0;
            active = -1;
            expect_int("summary capacity 15", quorrel_get_solid_summary(&active, &failed, summary, 15), -1);
            expect_int("summary capacity 15 leaves the count", active, -1);
            expect_real("summary capacity 15 leaves values", summary[0], -1.0);
            expect_int("summary null count", quorrel_get_solid_summary(&active, NULL, summary, 16), -1);
            expect_int("summary null values", quorrel_get_solid_summary(&active, &failed, NULL, 16), -1);
            wide[0] = -1.0;
            n = -1;
            expect_int("state capacity 219 for 10",
                       quorrel_get_solid_particle_state(10, wide, 219, f10, r10, d10, c10, &n), -1);
            expect_int("state capacity 219 leaves the count", n, -1);
            expect_real("state capacity 219 leaves values", wide[0], -1.0);
            expect_int("state zero particles", quorrel_get_solid_particle_state(0, wide, 22, f10, r10, d10, c10, &n),
                       -1);
            expect_int("state null count", quorrel_get_solid_particle_state(1, wide, 22, f10, r10, d10, c10, NULL),
                       -1);
            diag[0] = -1.0;
            expect_int("diagnostics capacity 2", quorrel_get_solid_diagnostics(diag, 2), -1);
            expect_real("diagnostics capacity 2 leaves values", diag[0], -1.0);
            nmin = -1;
            expect_int("reference quality capacity 0", quorrel_get_solid_reference_quality(&nmin, &cstat, det, 0), -1);
            expect_int("reference quality capacity 0 leaves the minimum", nmin, -1);
            expect_int("reference quality null status", quorrel_get_solid_reference_quality(&nmin, NULL, det, 1), -1);
            expect_error("after rejected solid calls", 1, "Solid state particle buffer is too small");
        }
        expect_int("solid finalise", quorrel_finalize(), 0);
    }

    return finish_checks("c caller");
}
