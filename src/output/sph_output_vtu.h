// VTU file of one output step (ASCII VTK XML unstructured grid of vertex cells)
// and the PVD collection listing every written step with its time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "output/sph_output_file.h"

namespace quorrel {

inline constexpr int32_t sph_pvd_max_entries = 10000;
inline constexpr std::size_t sph_pvd_file_len = 128;

// The PVD table: entries in registration order, no two sharing a step.
struct SphOutputVtu {
    int32_t pvd_entry_count = 0;
    std::vector<int32_t> pvd_steps;
    std::vector<double> pvd_times;
    std::vector<std::string> pvd_files;  // relative VTU names, without blank padding
};
extern SphOutputVtu sph_output_vtu;

// Writes the VTU file of the current particle model at `filename` (trailing blanks removed).
[[nodiscard]] int sph_output_write_vtu(std::string_view filename);
// Registers the step and rewrites `directory`/quorrel.pvd.
[[nodiscard]] int sph_output_write_pvd_step(std::string_view directory, int32_t step, double time,
                                            std::string_view vtu_file);
[[nodiscard]] int sph_pvd_register_entry(int32_t step, double time, std::string_view vtu_file);
[[nodiscard]] int sph_pvd_write_file(std::string_view filename);
void sph_output_reset_pvd();

// Sections and blocks of the VTU file, written onto an open file; `count` values
// (or triples) are read from the arrays.
void sph_vtu_write_header(SphOutputFile& file, int32_t count);
void sph_vtu_write_point_data(SphOutputFile& file);
void sph_vtu_write_points(SphOutputFile& file);
void sph_vtu_write_cells(SphOutputFile& file, int32_t count);
void sph_vtu_write_footer(SphOutputFile& file);
void sph_vtu_write_int_data(SphOutputFile& file, std::string_view name, const int32_t* values, int32_t count);
void sph_vtu_write_real_data(SphOutputFile& file, std::string_view name, const double* values, int32_t count);
void sph_vtu_write_real_vector_data(SphOutputFile& file, std::string_view name, const double* values,
                                    int32_t count);

}  // namespace quorrel
