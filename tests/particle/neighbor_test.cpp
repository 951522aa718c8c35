#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "core/sph_simd.h"
#include "database/sph_database.h"
#include "particle/sph_neighbor.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

struct P {
    double x, y, z, h;
};

void make_model(const std::vector<P>& ps) {
    ASSERT_EQ(sph_db_allocate(static_cast<int32_t>(ps.size())), 0);
    for (std::size_t i = 0; i < ps.size(); ++i) {
        const double c[3] = {ps[i].x, ps[i].y, ps[i].z};
        ASSERT_EQ(sph_db_set_node(static_cast<int32_t>(i), static_cast<int32_t>(i + 1), c), 0);
        sph_database.h[i] = ps[i].h;
    }
}

std::vector<int32_t> list_of(int i) {
    const SphDatabase& d = sph_database;
    const auto b = d.neighbor_list.begin() + d.neighbor_offset[i];
    return std::vector<int32_t>(b, b + d.neighbor_count[i]);
}

// The cell-list walk written out literally with 1-based cells and linked chains,
// as an independent statement of the order every pair sum relies on.
std::vector<std::vector<int32_t>> literal_lists() {
    const SphDatabase& d = sph_database;
    const int n = d.npart;
    double lo[3], hi[3], hmax = 0;
    for (int k = 0; k < 3; ++k) lo[k] = hi[k] = d.x[k];
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], d.x[3 * i + k]);
            hi[k] = std::max(hi[k], d.x[3 * i + k]);
        }
        hmax = std::max(hmax, d.h[i]);
    }
    const double cell = 2 * hmax;
    int dim[3];
    for (int k = 0; k < 3; ++k) {
        lo[k] -= cell;
        hi[k] += cell;
        dim[k] = std::max(1, int((hi[k] - lo[k]) / cell) + 1);
    }
    std::vector<int> head(dim[0] * dim[1] * dim[2] + 1, 0), next(n + 1, 0), cellof(n + 1, 0);
    for (int i = 1; i <= n; ++i) {
        int c[3];
        for (int k = 0; k < 3; ++k) c[k] = std::clamp(int((d.x[3 * (i - 1) + k] - lo[k]) / cell) + 1, 1, dim[k]);
        int id = c[0] + dim[0] * ((c[2] - 1) * dim[1] + c[1] - 1);
        cellof[i] = id;
        next[i] = head[id];
        head[id] = i;
    }
    std::vector<std::vector<int32_t>> out(n);
    for (int i = 1; i <= n; ++i) {
        int id = cellof[i];
        int ix = (id - 1) % dim[0] + 1, t = (id - 1) / dim[0], iy = t % dim[1] + 1, iz = t / dim[1] + 1;
        for (int dz = -1; dz <= 1; ++dz)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    int jx = ix + dx, jy = iy + dy, jz = iz + dz;
                    if (jx < 1 || jy < 1 || jz < 1 || jx > dim[0] || jy > dim[1] || jz > dim[2]) continue;
                    for (int j = head[jx + dim[0] * ((jz - 1) * dim[1] + jy - 1)]; j != 0; j = next[j]) {
                        if (j == i) continue;
                        double r2 = 0;
                        for (int k = 0; k < 3; ++k) {
                            double dd = d.x[3 * (i - 1) + k] - d.x[3 * (j - 1) + k];
                            r2 += dd * dd;
                        }
                        if (std::sqrt(r2) <= 2 * std::max(d.h[i - 1], d.h[j - 1])) out[i - 1].push_back(j - 1);
                    }
                }
    }
    return out;
}

// Rebuilds with every vector level; each list must be the literal walk's, and `also`
// checks more after each rebuild.
template <class Also>
void expect_literal_lists_with_every_level(const std::string& trace, Also also) {
    const auto literal = literal_lists();
    for (SphSimd level : {SphSimd::scalar, SphSimd::avx2, SphSimd::avx512}) {
        SCOPED_TRACE(trace + " level " + std::to_string(static_cast<int>(level)));
        sph_simd_set_cap(level);
        ASSERT_EQ(sph_neighbor_rebuild(), 0);
        for (int i = 0; i < sph_database.npart; ++i) EXPECT_EQ(list_of(i), literal[i]) << i;
        also();
    }
}

}  // namespace

class Neighbors : public test::QuorrelTest {};

TEST_F(Neighbors, PairTestUsesTheLargerSmoothingLength) {
    struct Case {
        double distance;
        bool neighbours;
    };
    for (const Case c : {Case{2.0, true}, Case{2.0001, false}, Case{0.3, true}}) {
        make_model({{0, 0, 0, 0.5}, {c.distance, 0, 0, 1.0}});
        ASSERT_EQ(sph_neighbor_rebuild(), 0);
        EXPECT_EQ(list_of(0), c.neighbours ? std::vector<int32_t>{1} : std::vector<int32_t>{}) << c.distance;
        EXPECT_EQ(list_of(1), c.neighbours ? std::vector<int32_t>{0} : std::vector<int32_t>{}) << c.distance;
    }
}

TEST_F(Neighbors, SingleParticleGrid) {
    make_model({{0, 0, 0, 1.0}});
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    EXPECT_EQ(sph_neighbor.neighbor_cell_size, 2.0);
    EXPECT_EQ(sph_neighbor.neighbor_cell_dims, (std::array<int32_t, 3>{3, 3, 3}));
    EXPECT_EQ(sph_neighbor.neighbor_num_cells, 27);
    EXPECT_EQ(sph_neighbor.neighbor_min_corner[0], -2.0);
    EXPECT_EQ(sph_neighbor.neighbor_max_corner[2], 2.0);
    EXPECT_EQ(sph_database.neighbor_offset[0], 0);
    EXPECT_EQ(sph_database.neighbor_count[0], 0);
    EXPECT_EQ(sph_database.particle_cell_id[0], 13);  // the middle cell (14th, 1-based)
}

TEST_F(Neighbors, ChainAndScanOrder) {
    // Three particles in one cell: chain order, highest index first.
    make_model({{0, 0, 0, 1}, {0.1, 0, 0, 1}, {0.2, 0, 0, 1}});
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    EXPECT_EQ(list_of(0), (std::vector<int32_t>{2, 1}));
    EXPECT_EQ(list_of(1), (std::vector<int32_t>{2, 0}));
    EXPECT_EQ(list_of(2), (std::vector<int32_t>{1, 0}));

    // Cell 2 wide, box padded to x -3.5..3.5 (4 cells), y -2..2, z -2..3.5 (3 cells each).
    // A(0,0,0), C(-1.5,0,0) and D(0,0,1.5) share cell (2,2,2); B(1.5,0,0) is in (3,2,2).
    // A scans its own cell (chain D, C) before the +x cell (B).
    make_model({{0, 0, 0, 1}, {1.5, 0, 0, 1}, {-1.5, 0, 0, 1}, {0, 0, 1.5, 1}});
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    EXPECT_EQ(sph_neighbor.neighbor_cell_dims, (std::array<int32_t, 3>{4, 3, 3}));
    EXPECT_EQ(list_of(0), (std::vector<int32_t>{3, 2, 1}));
    EXPECT_EQ(list_of(1), (std::vector<int32_t>{0}));
    EXPECT_EQ(list_of(2), (std::vector<int32_t>{0}));
    EXPECT_EQ(list_of(3), (std::vector<int32_t>{0}));
    EXPECT_EQ(sph_database.neighbor_offset[3], 5);  // 3 + 1 + 1 links before D
    EXPECT_EQ(sph_neighbor.neighbor_total_links, 6);
}

TEST_F(Neighbors, LatticeAtTheSupportBoundaryWithEveryVectorLevel) {
    // Spacing equal to 2h: the axis neighbours lie exactly on the boundary and count
    // (distance <= 2h), diagonals (sqrt 2 spacing) do not. With spacing 0.125 every
    // distance is exact, so an interior particle has 6 links, a corner 3, an edge 4, a
    // face 5; with 0.1 the rounded coordinates land on either side, as the literal walk says.
    for (double spacing : {0.125, 0.1}) {
        std::vector<P> ps;
        for (int i = 0; i < 216; ++i) ps.push_back({spacing * (i % 6), spacing * (i / 6 % 6), spacing * (i / 36), spacing / 2});
        make_model(ps);
        const auto literal = literal_lists();
        for (SphSimd level : {SphSimd::scalar, SphSimd::avx2, SphSimd::avx512}) {
            SCOPED_TRACE(std::to_string(spacing) + " level " + std::to_string(static_cast<int>(level)));
            sph_simd_set_cap(level);
            ASSERT_EQ(sph_neighbor_rebuild(), 0);
            for (int i = 0; i < 216; ++i) EXPECT_EQ(list_of(i), literal[i]) << i;
            if (spacing == 0.125) {
                const int interior = 1 + 6 + 36, corner = 0, edge = 1, face = 1 + 6;
                EXPECT_EQ(sph_database.neighbor_count[interior], 6);
                EXPECT_EQ(sph_database.neighbor_count[corner], 3);
                EXPECT_EQ(sph_database.neighbor_count[edge], 4);
                EXPECT_EQ(sph_database.neighbor_count[face], 5);
                EXPECT_EQ(sph_neighbor.neighbor_total_links, 2 * 3 * 5 * 36);  // 3 axes, 5 gaps per line, 36 lines
            }
        }
    }
}

TEST_F(Neighbors, DenseGridsPruneNoNeighbourWithEveryVectorLevel) {
    // Grids with at least as many points as cells, where the rows beside a point are
    // pruned by the extent of the points in them rather than by the cell walls.
    // A 10^3 lattice with h equal to the spacing: the cells (2h) are two spacings wide
    // and start on lattice planes, so the points on a cell's lower wall have the next
    // cell's nearest points exactly 2h away, and those pairs count. A point two spacings
    // or more from every face has the lattice vectors of squared length <= 4: 6 of 1, 12
    // of 2, 8 of 3 and 6 of 4, 32 in all; the corner has those with no negative
    // component: 3 + 3 + 3 + 1 = 10. With spacing 0.1 the rounded coordinates land on
    // either side of 2h, as the literal walk says.
    for (double spacing : {0.125, 0.1}) {
        std::vector<P> ps;
        for (int i = 0; i < 1000; ++i) ps.push_back({spacing * (i % 10), spacing * (i / 10 % 10), spacing * (i / 100), spacing});
        make_model(ps);
        expect_literal_lists_with_every_level(std::to_string(spacing), [&] {
            if (spacing != 0.125) return;
            for (int i = 0; i < 1000; ++i) {
                const int c[3] = {i % 10, i / 10 % 10, i / 100};
                if (std::min({c[0], c[1], c[2]}) >= 2 && std::max({c[0], c[1], c[2]}) <= 7) {
                    EXPECT_EQ(sph_database.neighbor_count[i], 32) << i;
                }
            }
            EXPECT_EQ(sph_database.neighbor_count[0], 10);
        });
    }
    // An irregular cloud of mixed smoothing lengths, about one point per cell.
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> pos(0.0, 1.0), hh(0.02, 0.04);
    std::vector<P> cloud;
    for (int i = 0; i < 5000; ++i) cloud.push_back({pos(rng), pos(rng), pos(rng), hh(rng)});
    make_model(cloud);
    expect_literal_lists_with_every_level("cloud", [] {});
}

TEST_F(Neighbors, PairsJustInsideAndOutsideTheSupportWithEveryVectorLevel) {
    // Isolated pairs, far from the origin, whose separation is 2h (1 + delta) in a random
    // direction: the pair is linked exactly when delta < 0, down to |delta| = 1e-8, where
    // double rounding (about 1e-12 here) cannot decide it. Delta 0 is left to the literal walk.
    const double h = 0.05, reach = 2 * h;
    const double deltas[] = {-1e-5, -1e-6, -3e-7, -1e-7, -3e-8, -1e-8, 0.0, 1e-8, 3e-8, 1e-7, 3e-7, 1e-6, 1e-5};
    std::mt19937 rng(7);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<P> ps;
    std::vector<double> delta_of;
    for (int k = 0; k < 390; ++k) {
        const double c[3] = {1000.0 + (k % 10), -500.0 + (k / 10 % 10), 20.0 + (k / 100)};
        double dir[3] = {g(rng), g(rng), g(rng)};
        const double len = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
        const double delta = deltas[k % 13], r = reach * (1.0 + delta);
        ps.push_back({c[0], c[1], c[2], h});
        ps.push_back({c[0] + r * dir[0] / len, c[1] + r * dir[1] / len, c[2] + r * dir[2] / len, h});
        delta_of.push_back(delta);
    }
    make_model(ps);
    const auto literal = literal_lists();
    for (SphSimd level : {SphSimd::scalar, SphSimd::avx2, SphSimd::avx512}) {
        SCOPED_TRACE(static_cast<int>(level));
        sph_simd_set_cap(level);
        ASSERT_EQ(sph_neighbor_rebuild(), 0);
        for (int k = 0; k < 390; ++k) {
            const int a = 2 * k, b = 2 * k + 1;
            EXPECT_EQ(list_of(a), literal[a]) << k;
            EXPECT_EQ(list_of(b), literal[b]) << k;
            if (delta_of[k] != 0.0) {
                EXPECT_EQ(list_of(a), delta_of[k] < 0 ? std::vector<int32_t>{b} : std::vector<int32_t>{})
                    << "delta " << delta_of[k];
            }
        }
    }
}

TEST_F(Neighbors, IrregularCloudMatchesBruteForceAndLiteralOrder) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> pos(-1.0, 1.0), hh(0.05, 0.2);
    std::vector<P> ps;
    for (int i = 0; i < 400; ++i) ps.push_back({pos(rng), pos(rng) * 0.5, pos(rng) * 2.0, hh(rng)});
    make_model(ps);
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    // Same sets as all pairs.
    for (int i = 0; i < 400; ++i) {
        std::vector<int32_t> brute;
        for (int j = 0; j < 400; ++j) {
            if (j == i) continue;
            const double dx = ps[i].x - ps[j].x, dy = ps[i].y - ps[j].y, dz = ps[i].z - ps[j].z;
            if (std::sqrt(dx * dx + dy * dy + dz * dz) <= 2 * std::max(ps[i].h, ps[j].h)) brute.push_back(j);
        }
        std::vector<int32_t> got = list_of(i);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, brute) << i;
    }
    // Same order as the chain walk, with every vector level; the runs follow one another
    // without gaps.
    const auto literal = literal_lists();
    for (SphSimd level : {SphSimd::scalar, SphSimd::avx2, SphSimd::avx512}) {
        SCOPED_TRACE(static_cast<int>(level));
        sph_simd_set_cap(level);
        ASSERT_EQ(sph_neighbor_rebuild(), 0);
        int64_t offset = 0;
        for (int i = 0; i < 400; ++i) {
            EXPECT_EQ(list_of(i), literal[i]) << i;
            EXPECT_EQ(sph_database.neighbor_offset[i], offset);
            offset += sph_database.neighbor_count[i];
        }
    }
    sph_simd_set_cap(SphSimd::avx512);
    // A second rebuild after a small move gives the same answer as a fresh one.
    sph_database.x[0] += 0.05;
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    EXPECT_EQ(list_of(7), literal_lists()[7]);
}

TEST_F(Neighbors, SearchOverOtherPositionsAndASubset) {
    // Points that are not the database's (reference positions, say), with mixed h; every
    // third takes no part. The database holds an unrelated model whose lists must survive.
    make_model({{0, 0, 0, 1}, {1, 0, 0, 1}, {5, 0, 0, 1}});
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    const std::vector<int32_t> db_list0 = list_of(0);
    const SphNeighborGrid db_grid = sph_neighbor;

    std::mt19937 rng(99);
    std::uniform_real_distribution<double> pos(-1.0, 1.0), hh(0.08, 0.25);
    const int n = 300;
    std::vector<double> x(3 * n), h(n);
    std::vector<uint8_t> part(n);
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) x[3 * i + k] = pos(rng) * (k + 1) * 0.5;
        h[i] = hh(rng);
        part[i] = i % 3 != 2;
    }
    SphNeighborList list;
    const SphNeighborPoints points{x.data(), h.data(), n, part.data(), nullptr};
    ASSERT_EQ(sph_neighbor_search(points, INT64_MAX, list), 0);

    auto run_of = [&](int i) {
        const auto b = list.neighbor_list.begin() + list.neighbor_offset[i];
        return std::vector<int32_t>(b, b + list.neighbor_count[i]);
    };
    // Every pair among the points taking part, and none with the others.
    int64_t offset = 0;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(list.neighbor_offset[i], offset) << i;
        offset += list.neighbor_count[i];
        std::vector<int32_t> brute;
        for (int j = 0; part[i] && j < n; ++j) {
            if (j == i || !part[j]) continue;
            double r2 = 0;
            for (int k = 0; k < 3; ++k) r2 += (x[3 * i + k] - x[3 * j + k]) * (x[3 * i + k] - x[3 * j + k]);
            if (std::sqrt(r2) <= 2 * std::max(h[i], h[j])) brute.push_back(j);
        }
        std::vector<int32_t> got = run_of(i);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, brute) << i;
        if (!part[i]) {
            EXPECT_EQ(list.particle_cell_id[i], -1) << i;
        }
    }
    EXPECT_EQ(list.total_links, offset);
    EXPECT_GT(offset, 2 * n);  // the points do have neighbours

    // The database is untouched.
    EXPECT_EQ(list_of(0), db_list0);
    EXPECT_EQ(sph_neighbor.neighbor_cell_size, db_grid.neighbor_cell_size);
    EXPECT_EQ(sph_neighbor.neighbor_cell_dims, db_grid.neighbor_cell_dims);

    // The order is the one the database's rebuild gives a model of the taking part points
    // alone, in their order.
    std::vector<P> members;
    std::vector<int32_t> index_of;
    for (int i = 0; i < n; ++i)
        if (part[i]) {
            members.push_back({x[3 * i], x[3 * i + 1], x[3 * i + 2], h[i]});
            index_of.push_back(i);
        }
    make_model(members);
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    for (std::size_t m = 0; m < members.size(); ++m) {
        std::vector<int32_t> mapped;
        for (int32_t j : list_of(static_cast<int>(m))) mapped.push_back(index_of[static_cast<std::size_t>(j)]);
        EXPECT_EQ(run_of(index_of[m]), mapped) << m;
    }
    EXPECT_EQ(list.grid.neighbor_cell_dims, sph_neighbor.neighbor_cell_dims);

    // Nothing taking part: empty runs, no failure.
    std::fill(part.begin(), part.end(), 0);
    ASSERT_EQ(sph_neighbor_search(points, INT64_MAX, list), 0);
    EXPECT_EQ(list.total_links, 0);
    for (int i = 0; i < n; ++i) EXPECT_EQ(list.neighbor_count[i], 0);
}

TEST_F(Neighbors, Failures) {
    make_model({{0, 0, 0, 1}, {1, 0, 0, 0}});
    EXPECT_EQ(sph_neighbor_rebuild(), 1);
    EXPECT_EQ(sph_error_message(), "kernel smoothing length must be positive");
    sph_database.h[1] = std::nan("");
    EXPECT_EQ(sph_neighbor_rebuild(), 1);
    EXPECT_EQ(sph_error_message(), "kernel smoothing length must be positive");

    make_model({{0, 0, 0, 1}, {1, 0, 0, 1}});
    sph_database.particle_id_ext[1] = 77;
    sph_database.x[4] = INFINITY;
    EXPECT_EQ(sph_neighbor_rebuild(), 1);
    EXPECT_EQ(sph_error_message(), "particle position is not finite (node 77)");

    make_model({{0, 0, 0, 1}, {1, 0, 0, 1}, {0.5, 0, 0, 1}});
    EXPECT_EQ(sph_neighbor_rebuild_with_capacity(-1), 1);
    EXPECT_EQ(sph_error_message(), "neighbor capacity must be non-negative");
    EXPECT_EQ(sph_neighbor_rebuild_with_capacity(5), 1);
    EXPECT_EQ(sph_error_message(), "neighbor table capacity is too small");
    EXPECT_EQ(sph_neighbor.neighbor_total_links, 5);
    EXPECT_EQ(sph_neighbor_rebuild_with_capacity(6), 0);

    ASSERT_EQ(sph_db_allocate(0), 0);
    EXPECT_EQ(sph_neighbor_rebuild(), 0);
    int32_t mx = -1;
    double avg = -1;
    ASSERT_EQ(sph_neighbor_get_stats(mx, avg), 0);
    EXPECT_EQ(mx, 0);
    EXPECT_EQ(avg, 0.0);
}

TEST_F(Neighbors, FarAwayParticleDoesNotBlowUpTheGrid) {
    // One particle flung a kilometre away from a small cluster of h = 1 mm.
    std::vector<P> ps;
    for (int i = 0; i < 27; ++i) ps.push_back({0.001 * (i % 3), 0.001 * (i / 3 % 3), 0.001 * (i / 9), 0.001});
    ps.push_back({1000.0, 1000.0, 1000.0, 0.001});
    make_model(ps);
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    EXPECT_LE(sph_neighbor.neighbor_num_cells, 1 << 20);
    EXPECT_EQ(sph_database.neighbor_count[27], 0);
    EXPECT_EQ(sph_database.neighbor_count[13], 26);  // the centre sees the whole 3x3x3 block
    int32_t mx = 0;
    double avg = 0;
    ASSERT_EQ(sph_neighbor_get_stats(mx, avg), 0);
    EXPECT_EQ(mx, 26);
}

// Every pair, in the order of cells of edge 2 max h on the box padded by one cell: for
// each particle the other particles whose cell lies within one cell along every axis,
// ordered by their cell's offset (z, then y, then x) and then from the highest index
// down, that pass the pair test. No grid is held, so a far particle costs nothing here.
std::vector<std::vector<int32_t>> all_pairs_in_cell_order(const std::vector<P>& ps) {
    const std::size_t n = ps.size();
    double lo[3] = {ps[0].x, ps[0].y, ps[0].z}, hmax = 0;
    for (const P& p : ps) {
        lo[0] = std::min(lo[0], p.x);
        lo[1] = std::min(lo[1], p.y);
        lo[2] = std::min(lo[2], p.z);
        hmax = std::max(hmax, p.h);
    }
    const double cell = 2 * hmax;
    std::vector<std::array<long long, 3>> c(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x[3] = {ps[i].x, ps[i].y, ps[i].z};
        for (int k = 0; k < 3; ++k) c[i][k] = static_cast<long long>((x[k] - (lo[k] - cell)) / cell);
    }
    std::vector<std::vector<int32_t>> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::array<long long, 4>> found;  // dz, dy, dx, -j
        for (std::size_t j = 0; j < n; ++j) {
            const long long d[3] = {c[j][0] - c[i][0], c[j][1] - c[i][1], c[j][2] - c[i][2]};
            if (j == i || std::abs(d[0]) > 1 || std::abs(d[1]) > 1 || std::abs(d[2]) > 1) continue;
            const double dx = ps[i].x - ps[j].x, dy = ps[i].y - ps[j].y, dz = ps[i].z - ps[j].z;
            if (std::sqrt(dx * dx + dy * dy + dz * dz) <= 2 * std::max(ps[i].h, ps[j].h))
                found.push_back({d[2], d[1], d[0], -static_cast<long long>(j)});
        }
        std::sort(found.begin(), found.end());
        for (const auto& f : found) out[i].push_back(static_cast<int32_t>(-f[3]));
    }
    return out;
}

TEST_F(Neighbors, FarParticlesKeepTheCellsOfTheSupportWithEveryVectorLevel) {
    // A far particle leaves the cells at twice the largest h, so the lists keep the order
    // of those cells, which only an uncapped grid of the whole box would give.
    std::mt19937 rng(31);
    std::uniform_real_distribution<double> pos(0.0, 0.2), hh(0.01, 0.02);
    std::vector<P> cloud;
    for (int i = 0; i < 300; ++i) cloud.push_back({pos(rng), pos(rng), pos(rng), hh(rng)});
    std::vector<P> cluster;
    for (int i = 0; i < 27; ++i) cluster.push_back({0.001 * (i % 3), 0.001 * (i / 3 % 3), 0.001 * (i / 9), 0.001});
    auto plus = [](std::vector<P> ps, std::initializer_list<P> more) {
        ps.insert(ps.begin() + static_cast<std::ptrdiff_t>(ps.size() / 2), more);
        return ps;
    };
    struct Row {
        const char* what;
        std::vector<P> ps;
    };
    const std::vector<Row> rows = {
        {"cluster, one node a kilometre away", plus(cluster, {{1000.0, 0.0, 0.0, 0.001}})},
        {"cloud, one node at x = 1e6", plus(cloud, {{1e6, 0.1, 0.1, 0.015}})},
        {"cloud, one node far along y and z", plus(cloud, {{0.05, -5e5, 2e5, 0.012}})},
        {"cloud, two neighbouring nodes at x = -1e6", plus(cloud, {{-1e6, 0.0, 0.0, 0.01}, {-1e6 + 0.015, 0.0, 0.0, 0.01}})},
    };
    for (const Row& row : rows) {
        make_model(row.ps);
        const auto expected = all_pairs_in_cell_order(row.ps);
        double hmax = 0;
        for (const P& p : row.ps) hmax = std::max(hmax, p.h);
        for (SphSimd level : {SphSimd::scalar, SphSimd::avx2, SphSimd::avx512}) {
            SCOPED_TRACE(std::string(row.what) + " level " + std::to_string(static_cast<int>(level)));
            sph_simd_set_cap(level);
            ASSERT_EQ(sph_neighbor_rebuild(), 0);
            EXPECT_EQ(sph_neighbor.neighbor_cell_size, 2 * hmax);
            for (std::size_t i = 0; i < row.ps.size(); ++i) EXPECT_EQ(list_of(static_cast<int>(i)), expected[i]) << i;
        }
    }
    // The pair of far nodes does see each other.
    EXPECT_EQ(list_of(151), std::vector<int32_t>{150});

    // Points spread over +-1e300 with h = 1 have no neighbours, but for a pair placed 1.5
    // apart (within 2h) at the origin; such a box needs larger cells, which still find it.
    std::mt19937_64 rng64(5);
    std::uniform_real_distribution<double> spread(-1e300, 1e300);
    std::vector<P> ps;
    for (int i = 0; i < 2000; ++i) ps.push_back({spread(rng64), spread(rng64), spread(rng64), 1.0});
    ps.push_back({0.0, 0.0, 0.0, 1.0});
    ps.push_back({0.0, 1.5, 0.0, 1.0});
    make_model(ps);
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    EXPECT_EQ(sph_neighbor.neighbor_total_links, 2);
    EXPECT_EQ(list_of(2000), std::vector<int32_t>{2001});
    EXPECT_EQ(list_of(2001), std::vector<int32_t>{2000});
}

TEST_F(Neighbors, ExtremeMagnitudesFailInsteadOfOverflowingTheGrid) {
    // Finite inputs whose box or support overflows once doubled or padded fail; the grid may
    // need four times the larger of box and support beyond the coordinates. The passing rows:
    // support 4e307 gives 1.6e308; a box of 1e307 gives 5e307; a box of width 1 at 1.7e308
    // adds nothing that rounds past the largest double (1.797e308).
    const char* too_large = "particle coordinates or smoothing lengths are too large for the neighbor search";
    struct Row {
        const char* what;
        std::vector<P> ps;
        int status;
        int32_t neighbors_of_first;  // when it builds: 1 within support, 0 apart
    };
    const std::vector<Row> rows = {
        {"h whose support 2h is infinite", {{0, 0, 0, 1e308}, {1, 0, 0, 1}}, 1, 0},
        {"coordinates 1.8e308 apart", {{-0.9e308, 0, 0, 1}, {0.9e308, 0, 0, 1}}, 1, 0},
        {"small box near the largest double", {{1.7e308, 0, 0, 1}, {1.7e308, 1, 0, 1}}, 0, 1},
        {"large but representable support", {{0, 0, 0, 2e307}, {1, 0, 0, 1}}, 0, 1},
        {"large but representable box", {{0, 0, 0, 1}, {1e307, 0, 0, 1}}, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        make_model(row.ps);
        ASSERT_EQ(sph_neighbor_rebuild(), row.status);
        if (row.status != 0) {
            EXPECT_EQ(sph_error_message(), too_large);
        } else {
            EXPECT_EQ(sph_database.neighbor_count[0], row.neighbors_of_first);
        }
    }
}

TEST_F(Neighbors, LinksBeyondTheMemoryLimitFailBeforeTheyAreStored) {
    // The links are counted before they are stored, and a count past the memory limit
    // (4 bytes a link) fails with code 5. Coincident points: n (n - 1) links, every pair.
    // The 10 x 10 x 10 lattice of spacing 1 and h 0.5 has only its axis neighbours (at 2h
    // exactly; diagonals at sqrt 2 are out): 2 directions x 3 axes x 9 gaps x 100 lines
    // = 5400 links, 21,600 bytes.
    auto coincident = [](int n) { return std::vector<P>(static_cast<std::size_t>(n), P{0.5, -2.0, 3.0, 0.1}); };
    std::vector<P> lattice;
    for (int i = 0; i < 1000; ++i) lattice.push_back({1.0 * (i % 10), 1.0 * (i / 10 % 10), 1.0 * (i / 100), 0.5});
    struct Row {
        const char* what;
        std::vector<P> ps;
        uint64_t limit;
        int status;
        int64_t links;
    };
    const std::vector<Row> rows = {
        {"20000 points at one point, 4e8 links (1.6 GB), 1 MB", coincident(20000), 1 << 20, 5, 0},
        {"3 points at one point, 6 links, 1 MB", coincident(3), 1 << 20, 0, 6},
        {"lattice, 21,600 bytes, 16 KB", lattice, 16 << 10, 5, 0},
        {"lattice, 21,600 bytes, 1 MB", lattice, 1 << 20, 0, 5400},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        make_model(row.ps);
        sph_neighbor.neighbor_memory_limit = row.limit;
        ASSERT_EQ(sph_neighbor_rebuild(), row.status);
        EXPECT_EQ(sph_neighbor.neighbor_total_links, row.links);
        if (row.status != 0) {
            EXPECT_EQ(sph_error_message(), "failed to allocate neighbor storage");
            EXPECT_LT(sph_database.neighbor_list.size(), std::size_t{1} << 18);  // nothing near the count was stored
        }
    }
    // Within the limit the same lists as without one, also once the limit is lifted and
    // the storage grows.
    make_model(lattice);
    sph_neighbor.neighbor_memory_limit = 1 << 20;
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    const auto literal = literal_lists();
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(list_of(i), literal[i]) << i;
    sph_neighbor.neighbor_memory_limit = 0;
    // Now the face diagonals too (sqrt 2 <= 1.5): the storage runs out part way.
    for (int i = 0; i < 1000; ++i) sph_database.h[i] = 0.75;
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    const auto wider = literal_lists();
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(list_of(i), wider[i]) << i;
}
