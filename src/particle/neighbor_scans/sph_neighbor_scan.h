// The candidate scans of the neighbour search: for one particle, the sorted candidates
// of a few contiguous ranges that lie within reach, written out in range order. Each
// scan source is compiled for its own instruction set and is called only where the CPU
// has it, so this header holds plain data and declarations only (no inline code that
// another source could pick up).
#pragma once

#include <cstdint>

namespace quorrel {

// Vector loads read up to fifteen entries past a range, and the packed stores write up
// to fifteen past the last link, so the sorted arrays and the list carry this much slack.
inline constexpr int64_t sph_neighbor_scan_slack = 16;

// The sorted candidates: positions and (2h)^2 by sorted position, `h` by particle index.
// The single-precision copies (relative to the box centre) serve the prefilter only.
struct SphNeighborCandidates {
    const double *x, *y, *z, *r2;
    const int32_t* index;
    const double* h;
    const float *fx, *fy, *fz, *fr2;
};

// The particle whose run is being built.
struct SphNeighborProbe {
    double x, y, z;
    double reach2;  // (2h)^2
    double h;
    // Prefilter: the probe in single precision (relative to the box centre), its (2h)^2,
    // and the factors that give, from a pair's (2h)^2, the bounds below which a pair is
    // certainly in and above which it is certainly out.
    float fx, fy, fz, freach2, in_factor, out_factor;
};

// A run of sorted positions [b, e) to test, in scan order.
struct SphNeighborRange {
    int64_t b, e;
};

// How one probe is scanned. `own_reach_largest`: the probe's (2h)^2 is at least every
// candidate's, so the candidates' squares need not be read. `prefilter`: a
// single-precision first test (only the AVX-512 scan has one; the others ignore it).
struct SphNeighborScanMode {
    bool own_reach_largest;
    bool prefilter;
};

// Writes the candidates of `ranges` that are within reach to `out`, in range order, and
// returns how many; every scan gives the same list. `out` needs room for the candidates
// plus the slack; a null `out` only counts them.
int64_t sph_neighbor_scan_scalar(const SphNeighborCandidates& c, const SphNeighborProbe& p,
                                 const SphNeighborRange* ranges, int nranges, SphNeighborScanMode mode, int32_t* out);
int64_t sph_neighbor_scan_avx2(const SphNeighborCandidates& c, const SphNeighborProbe& p,
                               const SphNeighborRange* ranges, int nranges, SphNeighborScanMode mode, int32_t* out);
int64_t sph_neighbor_scan_avx512(const SphNeighborCandidates& c, const SphNeighborProbe& p,
                                 const SphNeighborRange* ranges, int nranges, SphNeighborScanMode mode, int32_t* out);

}  // namespace quorrel
