// Writes two output steps of a three-particle model with awkward values into the
// directory given as the only argument, for the VTK reader check.
#include <cstdio>
#include <limits>

#include "database/sph_database.h"
#include "output/sph_output.h"

int main(int argc, char** argv) {
    using namespace quorrel;
    if (argc != 2) {
        std::fprintf(stderr, "usage: vtk_sample_writer directory\n");
        return 2;
    }
    if (sph_db_allocate(3) != 0) return 1;
    const double coords[3][3] = {{0.0, 0.0, 0.0}, {1.0e-300, -2.5, 3.0}, {-1.0e-5, 1.0e200, 0.1}};
    for (int i = 0; i < 3; ++i)
        if (sph_db_set_node(i, 100 + i, coords[i]) != 0) return 1;
    SphDatabase& d = sph_database;
    d.v[3] = std::numeric_limits<double>::denorm_min();
    d.v[7] = -std::numeric_limits<double>::max();
    d.pressure[0] = std::numeric_limits<double>::quiet_NaN();
    d.pressure[1] = std::numeric_limits<double>::infinity();
    d.pressure[2] = -1.0e-120;
    if (sph_output_set_directory(argv[1]) != 0) return 1;
    // Steps out of order: the collection keeps the order they were written in.
    if (sph_output_write_step(30, 3.0e-3) != 0) return 1;
    if (sph_output_write_step(10, 1.0e-103) != 0) return 1;
    return 0;
}
