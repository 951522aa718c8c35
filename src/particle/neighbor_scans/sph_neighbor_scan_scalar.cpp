// The candidate scan one candidate at a time, for CPUs without the vector sets.
#include "particle/neighbor_scans/sph_neighbor_lanes.h"

namespace quorrel {
namespace {

struct Scalar : DoubleFields {
    static constexpr int width = 1;
    static constexpr unsigned all_lanes = 1;
    using V = double;
    static V set1(double a) { return a; }
    static V load(const double* p) { return *p; }
    static V add(V a, V b) { return a + b; }
    static V sub(V a, V b) { return a - b; }
    static V mul(V a, V b) { return a * b; }
    static V max(V a, V b) { return a < b ? b : a; }
    static unsigned le(V a, V b, unsigned lanes) { return static_cast<unsigned>(a <= b) & lanes; }
    static int compress(int32_t* out, const int32_t* idx, unsigned in) {
        out[0] = idx[0];
        return static_cast<int>(in);
    }
};

}  // namespace

int64_t sph_neighbor_scan_scalar(const SphNeighborCandidates& c, const SphNeighborProbe& p,
                                 const SphNeighborRange* ranges, int nranges, SphNeighborScanMode mode, int32_t* out) {
    return scan_dispatch<Scalar>(c, p, ranges, nranges, mode.own_reach_largest, out);
}

}  // namespace quorrel
