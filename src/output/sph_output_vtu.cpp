#include "output/sph_output_vtu.h"

#include <string>

#include "core/sph_error.h"
#include "core/sph_text.h"
#include "database/sph_database.h"

namespace quorrel {

SphOutputVtu sph_output_vtu;

namespace {

constexpr std::string_view indent8 = "        ";

void open_array(SphOutputFile& file, std::string_view type, std::string_view name, bool vector) {
    file.put(indent8);
    file.put("<DataArray type=\"");
    file.put(type);
    file.put("\" Name=\"");
    file.put(name);
    file.put(vector ? "\" NumberOfComponents=\"3\" format=\"ascii\">" : "\" format=\"ascii\">");
    file.end_line();
}

void close_array(SphOutputFile& file) {
    file.put(indent8);
    file.put("</DataArray>");
    file.end_line();
}

}  // namespace

void sph_vtu_write_int_data(SphOutputFile& file, std::string_view name, const int32_t* values, int32_t count) {
    open_array(file, "Int32", name, false);
    for (int32_t i = 0; i < count; ++i) {
        file.put_int(values[i]);
        file.end_line();
    }
    close_array(file);
}

void sph_vtu_write_real_data(SphOutputFile& file, std::string_view name, const double* values, int32_t count) {
    open_array(file, "Float64", name, false);
    for (int32_t i = 0; i < count; ++i) {
        file.put_real_vtk(values[i]);
        file.end_line();
    }
    close_array(file);
}

void sph_vtu_write_real_vector_data(SphOutputFile& file, std::string_view name, const double* values,
                                    int32_t count) {
    open_array(file, "Float64", name, true);
    for (int32_t i = 0; i < count; ++i) {
        const double* p = values + 3 * static_cast<std::size_t>(i);
        file.put_real_vtk(p[0]);
        file.put_char(' ');
        file.put_real_vtk(p[1]);
        file.put_char(' ');
        file.put_real_vtk(p[2]);
        file.end_line();
    }
    close_array(file);
}

void sph_vtu_write_header(SphOutputFile& file, int32_t count) {
    file.put("<?xml version=\"1.0\"?>");
    file.end_line();
    file.put("<VTKFile type=\"UnstructuredGrid\" version=\"0.1\" byte_order=\"LittleEndian\">");
    file.end_line();
    file.put("  <UnstructuredGrid>");
    file.end_line();
    file.put("    <Piece NumberOfPoints=\"");
    file.put_int(count);
    file.put("\" NumberOfCells=\"");
    file.put_int(count);
    file.put("\">");
    file.end_line();
}

void sph_vtu_write_point_data(SphOutputFile& file) {
    const SphDatabase& db = sph_database;
    const int32_t n = db.npart;
    file.put("      <PointData Scalars=\"pressure\" Vectors=\"velocity\">");
    file.end_line();
    sph_vtu_write_int_data(file, "particle_id", db.particle_id_ext.data(), n);
    sph_vtu_write_int_data(file, "phase", db.particle_phase.data(), n);
    sph_vtu_write_int_data(file, "status", db.particle_status.data(), n);
    sph_vtu_write_int_data(file, "material", db.material_id.data(), n);
    sph_vtu_write_int_data(file, "section", db.section_id.data(), n);
    sph_vtu_write_real_vector_data(file, "velocity", db.v.data(), n);
    sph_vtu_write_real_vector_data(file, "acceleration", db.a.data(), n);
    sph_vtu_write_real_data(file, "density", db.rho.data(), n);
    sph_vtu_write_real_data(file, "pressure", db.pressure.data(), n);
    sph_vtu_write_real_data(file, "temperature", db.temperature.data(), n);
    sph_vtu_write_real_data(file, "smoothing_length", db.h.data(), n);
    file.put("      </PointData>");
    file.end_line();
}

void sph_vtu_write_points(SphOutputFile& file) {
    file.put("      <Points>");
    file.end_line();
    sph_vtu_write_real_vector_data(file, "Points", sph_database.x.data(), sph_database.npart);
    file.put("      </Points>");
    file.end_line();
}

void sph_vtu_write_cells(SphOutputFile& file, int32_t count) {
    file.put("      <Cells>");
    file.end_line();
    file.put(indent8);
    file.put("<DataArray type=\"Int32\" Name=\"connectivity\" format=\"ascii\">");
    file.end_line();
    for (int32_t i = 0; i < count; ++i) {
        file.put_int(i);
        file.end_line();
    }
    close_array(file);
    file.put(indent8);
    file.put("<DataArray type=\"Int32\" Name=\"offsets\" format=\"ascii\">");
    file.end_line();
    for (int32_t i = 1; i <= count; ++i) {
        file.put_int(i);
        file.end_line();
    }
    close_array(file);
    file.put(indent8);
    file.put("<DataArray type=\"UInt8\" Name=\"types\" format=\"ascii\">");
    file.end_line();
    for (int32_t i = 0; i < count; ++i) file.put("1\r\n");
    close_array(file);
    file.put("      </Cells>");
    file.end_line();
}

void sph_vtu_write_footer(SphOutputFile& file) {
    file.put("    </Piece>");
    file.end_line();
    file.put("  </UnstructuredGrid>");
    file.end_line();
    file.put("</VTKFile>");
    file.end_line();
}

int sph_output_write_vtu(std::string_view filename) {
    SphOutputFile file;
    if (int st = sph_output_open_file(file, filename, "failed to open VTU output file")) return st;
    const int32_t n = sph_database.npart;
    sph_vtu_write_header(file, n);
    sph_vtu_write_point_data(file);
    sph_vtu_write_points(file);
    sph_vtu_write_cells(file, n);
    sph_vtu_write_footer(file);
    if (!file.close()) return sph_fail(sph_error_io, "failed to write VTU output file");
    return sph_success;
}

void sph_output_reset_pvd() {
    SphOutputVtu& t = sph_output_vtu;
    t.pvd_entry_count = 0;
    t.pvd_steps.clear();
    t.pvd_times.clear();
    t.pvd_files.clear();
}

int sph_pvd_register_entry(int32_t step, double time, std::string_view vtu_file) {
    SphOutputVtu& t = sph_output_vtu;
    const std::string name = sph_fixed(vtu_file, sph_pvd_file_len);
    for (int32_t e = 0; e < t.pvd_entry_count; ++e) {
        if (t.pvd_steps[static_cast<std::size_t>(e)] != step) continue;
        // A step written again keeps its place with its latest time and file.
        t.pvd_times[static_cast<std::size_t>(e)] = time;
        t.pvd_files[static_cast<std::size_t>(e)] = name;
        return sph_success;
    }
    if (t.pvd_entry_count >= sph_pvd_max_entries)
        return sph_fail(sph_error_io, "PVD output entry capacity exceeded");
    t.pvd_steps.push_back(step);
    t.pvd_times.push_back(time);
    t.pvd_files.push_back(name);
    ++t.pvd_entry_count;
    return sph_success;
}

int sph_pvd_write_file(std::string_view filename) {
    SphOutputFile file;
    if (int st = sph_output_open_file(file, filename, "failed to open PVD output file")) return st;
    const SphOutputVtu& t = sph_output_vtu;
    file.put("<?xml version=\"1.0\"?>");
    file.end_line();
    file.put("<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">");
    file.end_line();
    file.put("  <Collection>");
    file.end_line();
    char field[sph_output_real_width];
    for (int32_t e = 0; e < t.pvd_entry_count; ++e) {
        const std::size_t k = static_cast<std::size_t>(e);
        sph_output_format_real_vtk(t.pvd_times[k], field);
        file.put("    <DataSet timestep=\"");
        file.put(sph_trim(std::string_view(field, sizeof field)));
        file.put("\" group=\"\" part=\"0\" file=\"");
        file.put(t.pvd_files[k]);
        file.put("\"/>");
        file.end_line();
    }
    file.put("  </Collection>");
    file.end_line();
    file.put("</VTKFile>");
    file.end_line();
    if (!file.close()) return sph_fail(sph_error_io, "failed to write PVD output file");
    return sph_success;
}

int sph_output_write_pvd_step(std::string_view directory, int32_t step, double time, std::string_view vtu_file) {
    if (int st = sph_pvd_register_entry(step, time, vtu_file)) return st;
    return sph_pvd_write_file(std::string(sph_trim_right(directory)) + "/quorrel.pvd");
}

}  // namespace quorrel
