#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/sph_output.h"
#include "output_test_support.h"

namespace quorrel::test {
namespace {

constexpr const char* zero_real = "  0.0000000000000000E+00";

// A line of the particle CSV from its 52 fields, in column order.
std::string csv_line(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (k > 0) line += ',';
        line += fields[k];
    }
    return line + "\r\n";
}

class OutputCsvTest : public OutputTest {};

TEST_F(OutputCsvTest, HeaderHasTheFiftyTwoColumnsInOrder) {
    const std::string header(sph_output_csv_header());
    EXPECT_EQ(header.size(), 764u);
    const std::vector<std::string> names = test::csv_fields(header);
    ASSERT_EQ(names.size(), 52u);
    const struct {
        std::size_t column;  // 1-based
        const char* name;
    } spots[] = {{1, "id"},           {5, "section"},
                 {6, "x"},            {15, "h"},
                 {16, "explosive_detonation_time"}, {17, "explosive_lambda"},
                 {27, "solid_stress_zx"},           {32, "solid_acceleration_norm"},
                 {41, "blast_shell_mz"},            {46, "coupling_penetration"},
                 {47, "coupling_contact_flag"},     {51, "coupling_motion_flag"},
                 {52, "coupling_region_id"}};
    for (const auto& s : spots) EXPECT_EQ(names[s.column - 1], s.name) << "column " << s.column;
    EXPECT_EQ(header.find(' '), std::string::npos);
}

TEST_F(OutputCsvTest, NoParticlesGivesTheHeaderAlone) {
    ASSERT_EQ(sph_output_write_csv(path("empty.csv")), 0);
    EXPECT_EQ(read_file(path("empty.csv")), std::string(sph_output_csv_header()) + "\r\n");
}

TEST_F(OutputCsvTest, ParticleLinesCarryTheParticleState) {
    ASSERT_EQ(sph_db_allocate(2), 0);
    const double c0[3] = {1.5, -2.0, 0.25};
    const double c1[3] = {0.0, 0.0, 0.0};
    ASSERT_EQ(sph_db_set_node(0, 41, c0), 0);
    ASSERT_EQ(sph_db_set_node(1, 7, c1), 0);
    SphDatabase& d = sph_database;
    d.particle_phase[0] = 1;
    d.particle_status[0] = 2;
    d.material_id[0] = 3;
    d.section_id[0] = 2;
    d.v[0] = -1.0;
    d.v[1] = 0.5;
    d.v[2] = 4.0;
    d.rho[0] = 998.5;
    d.pressure[0] = -2.5;
    d.h[0] = 0.125;
    d.a[0] = 3.0;  // |(3, -4, 12)| = 13
    d.a[1] = -4.0;
    d.a[2] = 12.0;
    // Scratch path with a trailing blank: the blank is not part of the name.
    ASSERT_EQ(sph_output_write_csv(path("p.csv") + "  "), 0);

    std::vector<std::string> first = {"41", "1", "2", "3", "2",
                                      "  1.5000000000000000E+00", " -2.0000000000000000E+00",
                                      "  2.5000000000000000E-01", " -1.0000000000000000E+00",
                                      "  5.0000000000000000E-01", "  4.0000000000000000E+00",
                                      "  9.9850000000000000E+02", " -2.5000000000000000E+00",
                                      "  2.9314999999999998E+02", "  1.2500000000000000E-01"};
    for (int c = 16; c <= 31; ++c) first.push_back(zero_real);
    first.push_back("  1.3000000000000000E+01");
    for (int c = 33; c <= 46; ++c) first.push_back(zero_real);
    for (int c = 47; c <= 52; ++c) first.push_back("0");
    ASSERT_EQ(first.size(), 52u);

    // The second particle keeps the defaults of a new particle.
    std::vector<std::string> second = {"7", "4", "0", "1", "0"};
    for (int c = 6; c <= 11; ++c) second.push_back(zero_real);
    second.push_back("  1.0000000000000000E+03");
    second.push_back(zero_real);
    second.push_back("  2.9314999999999998E+02");
    second.push_back("  1.0000000000000000E+00");
    for (int c = 16; c <= 46; ++c) second.push_back(zero_real);
    for (int c = 47; c <= 52; ++c) second.push_back("0");

    EXPECT_EQ(read_file(path("p.csv")),
              std::string(sph_output_csv_header()) + "\r\n" + csv_line(first) + csv_line(second));
}

TEST_F(OutputCsvTest, CouplingRegionIdIsTheFirstEnabledRegionHoldingTheParticle) {
    ASSERT_EQ(sph_db_allocate(5), 0);
    struct Region {
        int32_t enabled;
        std::vector<int32_t> particles;  // 0-based
    };
    const std::vector<Region> regions = {
        {0, {0, 1}},     // region 1, disabled: particle 0 is in it alone
        {1, {1, 2}},     // region 2
        {1, {2, 3, 1}},  // region 3: 1 and 2 already belong to region 2
        {1, {99, -1}},   // region 4: indices of no particle are ignored
    };
    for (const Region& r : regions) {
        SphCouplingRegionRecord rec;
        rec.coupling_region_enabled = r.enabled;
        rec.coupling_region_particles = r.particles;
        sph_database.coupling_regions.push_back(rec);
    }
    ASSERT_EQ(sph_output_write_csv(path("r.csv")), 0);
    const std::string text = read_file(path("r.csv"));
    std::vector<std::string> last_fields;
    std::size_t pos = text.find("\r\n") + 2;
    while (pos < text.size()) {
        const std::size_t end = text.find("\r\n", pos);
        const std::string line = text.substr(pos, end - pos);
        last_fields.push_back(line.substr(line.rfind(',') + 1));
        pos = end + 2;
    }
    EXPECT_EQ(last_fields, (std::vector<std::string>{"0", "2", "2", "3", "0"}));
    // The single-particle query gives the same column; 99 sits in region 4's list but is no
    // particle, and neither is -1 or 5.
    for (int32_t i = 0; i < 5; ++i)
        EXPECT_EQ(std::to_string(sph_output_coupling_region_id(i)), last_fields[static_cast<std::size_t>(i)]) << i;
    for (int32_t i : {-1, 5, 99}) EXPECT_EQ(sph_output_coupling_region_id(i), 0) << i;
}

TEST_F(OutputCsvTest, FileThatCannotBeOpenedFails) {
    const std::string cases[] = {path("missing/p.csv"), dir_.string(), ""};
    for (const std::string& p : cases) {
        sph_error_clear();
        EXPECT_EQ(sph_output_write_csv(p), sph_error_io) << p;
        EXPECT_EQ(sph_error_code(), sph_error_io);
        EXPECT_EQ(sph_error_message(), "failed to open CSV output file");
    }
}

TEST_F(OutputCsvTest, OldContentIsReplaced) {
    {
        std::ofstream old(path("p.csv"), std::ios::binary);
        old << std::string(5000, 'x');
    }
    ASSERT_EQ(sph_output_write_csv(path("p.csv")), 0);
    EXPECT_EQ(read_file(path("p.csv")), std::string(sph_output_csv_header()) + "\r\n");
}

}  // namespace
}  // namespace quorrel::test
