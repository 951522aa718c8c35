#include <gtest/gtest.h>

#include <string>

#include "output/sph_output_vtu.h"
#include "output_test_support.h"

namespace quorrel::test {
namespace {

class OutputVtuTest : public OutputTest {};

// The point-data and points blocks of a model without particles.
std::string empty_block(const std::string& opening) {
    return "        " + opening + "\r\n        </DataArray>\r\n";
}

std::string int_open(const char* name) {
    return std::string("<DataArray type=\"Int32\" Name=\"") + name + "\" format=\"ascii\">";
}
std::string real_open(const char* name) {
    return std::string("<DataArray type=\"Float64\" Name=\"") + name + "\" format=\"ascii\">";
}
std::string vector_open(const char* name) {
    return std::string("<DataArray type=\"Float64\" Name=\"") + name + "\" NumberOfComponents=\"3\" format=\"ascii\">";
}

TEST_F(OutputVtuTest, NoParticlesGivesEmptyBlocks) {
    ASSERT_EQ(sph_output_write_vtu(path("e.vtu")), 0);
    const std::string expected =
        "<?xml version=\"1.0\"?>\r\n"
        "<VTKFile type=\"UnstructuredGrid\" version=\"0.1\" byte_order=\"LittleEndian\">\r\n"
        "  <UnstructuredGrid>\r\n"
        "    <Piece NumberOfPoints=\"0\" NumberOfCells=\"0\">\r\n"
        "      <PointData Scalars=\"pressure\" Vectors=\"velocity\">\r\n" +
        empty_block(int_open("particle_id")) + empty_block(int_open("phase")) + empty_block(int_open("status")) +
        empty_block(int_open("material")) + empty_block(int_open("section")) +
        empty_block(vector_open("velocity")) + empty_block(vector_open("acceleration")) +
        empty_block(real_open("density")) + empty_block(real_open("pressure")) +
        empty_block(real_open("temperature")) + empty_block(real_open("smoothing_length")) +
        "      </PointData>\r\n"
        "      <Points>\r\n" +
        empty_block(vector_open("Points")) +
        "      </Points>\r\n"
        "      <Cells>\r\n" +
        empty_block(int_open("connectivity")) + empty_block(int_open("offsets")) +
        empty_block("<DataArray type=\"UInt8\" Name=\"types\" format=\"ascii\">") +
        "      </Cells>\r\n"
        "    </Piece>\r\n"
        "  </UnstructuredGrid>\r\n"
        "</VTKFile>\r\n";
    EXPECT_EQ(read_file(path("e.vtu")), expected);
}

TEST_F(OutputVtuTest, ParticlesGiveValueLinesAndVertexCells) {
    ASSERT_EQ(sph_db_allocate(3), 0);
    const double c[3] = {1.0, -0.5, 2.0};
    ASSERT_EQ(sph_db_set_node(1, 12, c), 0);
    sph_database.v[3] = 0.25;
    sph_database.pressure[2] = -3.0;
    ASSERT_EQ(sph_output_write_vtu(path("p.vtu")), 0);
    const std::string text = read_file(path("p.vtu"));

    EXPECT_NE(text.find("    <Piece NumberOfPoints=\"3\" NumberOfCells=\"3\">\r\n"), std::string::npos);
    const std::string zero = "  0.0000000000000000E+00";
    const struct {
        std::string block;
    } blocks[] = {
        {"        " + int_open("particle_id") + "\r\n1\r\n12\r\n3\r\n        </DataArray>\r\n"},
        {"        " + int_open("phase") + "\r\n4\r\n4\r\n4\r\n        </DataArray>\r\n"},
        {"        " + vector_open("velocity") + "\r\n" + zero + " " + zero + " " + zero + "\r\n" +
         "  2.5000000000000000E-01 " + zero + " " + zero + "\r\n" + zero + " " + zero + " " + zero +
         "\r\n        </DataArray>\r\n"},
        {"        " + real_open("pressure") + "\r\n" + zero + "\r\n" + zero +
         "\r\n -3.0000000000000000E+00\r\n        </DataArray>\r\n"},
        {"        " + vector_open("Points") + "\r\n" + zero + " " + zero + " " + zero + "\r\n" +
         "  1.0000000000000000E+00  -5.0000000000000000E-01   2.0000000000000000E+00\r\n" + zero + " " + zero +
         " " + zero + "\r\n        </DataArray>\r\n"},
        {"        " + int_open("connectivity") + "\r\n0\r\n1\r\n2\r\n        </DataArray>\r\n"},
        {"        " + int_open("offsets") + "\r\n1\r\n2\r\n3\r\n        </DataArray>\r\n"},
        {"        <DataArray type=\"UInt8\" Name=\"types\" format=\"ascii\">\r\n1\r\n1\r\n1\r\n        </DataArray>\r\n"},
    };
    for (const auto& b : blocks) EXPECT_NE(text.find(b.block), std::string::npos) << b.block;
    // A three-component line is three fields and two blanks.
    const std::string vline = "  1.0000000000000000E+00  -5.0000000000000000E-01   2.0000000000000000E+00";
    EXPECT_EQ(vline.size(), 74u);
}

TEST_F(OutputVtuTest, FileThatCannotBeOpenedFails) {
    EXPECT_EQ(sph_output_write_vtu(path("missing/p.vtu")), sph_error_io);
    EXPECT_EQ(sph_error_message(), "failed to open VTU output file");
}

// The DataSet lines of a PVD file, in order, as "time|file".
std::vector<std::string> datasets(const std::string& text) {
    std::vector<std::string> out;
    const std::string ts = "    <DataSet timestep=\"";
    for (std::size_t pos = 0; (pos = text.find(ts, pos)) != std::string::npos;) {
        const std::size_t t0 = pos + ts.size();
        const std::size_t t1 = text.find('"', t0);
        const std::string mid = "\" group=\"\" part=\"0\" file=\"";
        EXPECT_EQ(text.compare(t1, mid.size(), mid), 0);
        const std::size_t f0 = t1 + mid.size();
        const std::size_t f1 = text.find('"', f0);
        EXPECT_EQ(text.compare(f1, 5, "\"/>\r\n"), 0);
        out.push_back(text.substr(t0, t1 - t0) + "|" + text.substr(f0, f1 - f0));
        pos = f1;
    }
    return out;
}

TEST_F(OutputVtuTest, PvdListsStepsInFirstWrittenOrder) {
    struct Write {
        int32_t step;
        double time;
        const char* file;
    };
    const struct {
        const char* what;
        std::vector<Write> writes;
        std::vector<std::string> expected;
    } cases[] = {
        {"rewritten step keeps its place with its new time",
         {{10, 1.0, "a10.vtu"}, {20, 2.0, "a20.vtu"}, {10, 0.5, "b10.vtu"}},
         {"5.0000000000000000E-01|b10.vtu", "2.0000000000000000E+00|a20.vtu"}},
        {"later step first", {{20, 2.0, "s20.vtu"}, {10, 1.0, "s10.vtu"}},
         {"2.0000000000000000E+00|s20.vtu", "1.0000000000000000E+00|s10.vtu"}},
        {"time zero, negative time", {{0, 0.0, "z.vtu"}, {1, -0.25, "n.vtu"}},
         {"0.0000000000000000E+00|z.vtu", "-2.5000000000000000E-01|n.vtu"}},
    };
    for (const auto& c : cases) {
        sph_output_reset_pvd();
        for (const Write& w : c.writes) ASSERT_EQ(sph_output_write_pvd_step(dir_.string() + "  ", w.step, w.time, w.file), 0);
        const std::string text = read_file(path("quorrel.pvd"));
        EXPECT_EQ(datasets(text), c.expected) << c.what;
        const std::string head =
            "<?xml version=\"1.0\"?>\r\n"
            "<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">\r\n"
            "  <Collection>\r\n";
        EXPECT_EQ(text.substr(0, head.size()), head) << c.what;
        const std::string tail = "  </Collection>\r\n</VTKFile>\r\n";
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << c.what;
    }
}

TEST_F(OutputVtuTest, EmptyTableGivesCollectionWithoutDataSets) {
    ASSERT_EQ(sph_pvd_write_file(path("empty.pvd")), 0);
    EXPECT_EQ(read_file(path("empty.pvd")),
              "<?xml version=\"1.0\"?>\r\n"
              "<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">\r\n"
              "  <Collection>\r\n"
              "  </Collection>\r\n"
              "</VTKFile>\r\n");
}

TEST_F(OutputVtuTest, TableCapacityIsTenThousandSteps) {
    for (int32_t s = 0; s < sph_pvd_max_entries; ++s) ASSERT_EQ(sph_pvd_register_entry(s, s * 0.5, "f.vtu"), 0);
    EXPECT_EQ(sph_pvd_register_entry(sph_pvd_max_entries, 1.0, "g.vtu"), sph_error_io);
    EXPECT_EQ(sph_error_message(), "PVD output entry capacity exceeded");
    EXPECT_EQ(sph_output_vtu.pvd_entry_count, sph_pvd_max_entries);
    // The full table refuses the file rewrite too, and leaves any old file alone.
    {
        std::ofstream old(path("quorrel.pvd"), std::ios::binary);
        old << "old";
    }
    EXPECT_EQ(sph_output_write_pvd_step(dir_.string(), -7, 1.0, "h.vtu"), sph_error_io);
    EXPECT_EQ(read_file(path("quorrel.pvd")), "old");
    // A listed step is still accepted.
    sph_error_clear();
    EXPECT_EQ(sph_pvd_register_entry(9999, 7.0, "again.vtu"), 0);
    EXPECT_EQ(sph_output_vtu.pvd_times[9999], 7.0);
    EXPECT_EQ(sph_output_vtu.pvd_files[9999], "again.vtu");
}

TEST_F(OutputVtuTest, PvdThatCannotBeOpenedKeepsTheEntry) {
    EXPECT_EQ(sph_output_write_pvd_step(path("missing"), 3, 1.0, "q.vtu"), sph_error_io);
    EXPECT_EQ(sph_error_message(), "failed to open PVD output file");
    ASSERT_EQ(sph_output_vtu.pvd_entry_count, 1);
    // The next successful rewrite lists it.
    ASSERT_EQ(sph_output_write_pvd_step(dir_.string(), 4, 2.0, "r.vtu"), 0);
    EXPECT_EQ(datasets(read_file(path("quorrel.pvd"))),
              (std::vector<std::string>{"1.0000000000000000E+00|q.vtu", "2.0000000000000000E+00|r.vtu"}));
}

TEST_F(OutputVtuTest, FileNamesAreCutAt128Characters) {
    const std::string long_name(200, 'n');
    ASSERT_EQ(sph_pvd_register_entry(1, 0.0, long_name), 0);
    EXPECT_EQ(sph_output_vtu.pvd_files[0], std::string(128, 'n'));
}

}  // namespace
}  // namespace quorrel::test
