// The shell phase's input tables (materials, orientations, director sets, rotation sets),
// their deck setters, the build that gives every active shell particle its thickness,
// director, area, inertia, local frame, rotation and through-thickness rule, and the
// per-step kinematic layer (director update, small strains), which nothing in the step
// calls yet. Particle, slot and element indices are 0-based; -1 means none.
//
// The tables outlive a deck read (only initialise and finalise clear them); the
// per-particle state does not: it is freed whenever the particle store is rebuilt.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "material/sph_material_params.h"
#include "shell/sph_shell_state.h"

namespace quorrel {

inline constexpr int32_t sph_shell_max_materials = 32;
inline constexpr int32_t sph_shell_max_orientations = 32;
inline constexpr int32_t sph_shell_max_director_sets = 32;
inline constexpr int32_t sph_shell_max_rotation_sets = 32;
inline constexpr int32_t sph_shell_director_none = 0;
inline constexpr int32_t sph_shell_director_input = 1;
inline constexpr int32_t sph_shell_director_orientation = 2;
inline constexpr int32_t sph_shell_director_geometry = 3;
inline constexpr int32_t sph_shell_director_degenerate = -1;
inline constexpr int32_t sph_shell_frame_none = 0;
inline constexpr int32_t sph_shell_frame_ok = 1;
inline constexpr int32_t sph_shell_frame_degenerate = -1;
inline constexpr double sph_shell_eps = 1e-12;

using SphVec3 = std::array<double, 3>;

struct SphShellMaterial {
    int32_t shell_material_ids = 0;  // database material number (1-based)
    std::string shell_material_names;
    SphMaterialParams params;
};

struct SphShellOrientation {
    std::string shell_orientation_names;
    SphVec3 shell_orientation_director{};  // as supplied
    SphVec3 shell_orientation_tangent{};   // unit, orthogonal to the unit director
    bool shell_orientation_used = false;
};

struct SphShellDirectorSet {
    std::string shell_director_set_names;
    SphVec3 shell_director_set_values{};  // as supplied
    bool shell_director_set_used = false;
};

struct SphShellRotationSet {
    std::string shell_rotation_set_names;
    SphVec3 shell_rotation_set_omega{};
    SphVec3 shell_rotation_set_alpha{};
    bool shell_rotation_set_used = false;
};

struct SphShell {
    bool shell_module_initialized = false;
    bool shell_material_seen = false;
    int32_t shell_material_count = 0;
    std::array<SphShellMaterial, sph_shell_max_materials> shell_materials{};
    int32_t shell_orientation_count = 0;
    std::array<SphShellOrientation, sph_shell_max_orientations> shell_orientations{};
    int32_t shell_director_set_count = 0;
    std::array<SphShellDirectorSet, sph_shell_max_director_sets> shell_director_sets{};
    int32_t shell_rotation_set_count = 0;
    std::array<SphShellRotationSet, sph_shell_max_rotation_sets> shell_rotation_sets{};

    // Build diagnostics.
    int32_t shell_director_degenerate_count = 0;
    int32_t shell_local_frame_degenerate_count = 0;
    int32_t shell_area_degenerate_count = 0;
    int32_t shell_inertia_degenerate_count = 0;
    double shell_director_max_length_error = 0.0;
    double shell_max_angular_velocity = 0.0;
    // Kinematic diagnostics.
    double shell_max_membrane_strain = 0.0, shell_max_bending_strain = 0.0, shell_max_shear_strain = 0.0;
    double shell_max_ip_strain_increment = 0.0;
    int32_t shell_active_ip_count = 0;
};
extern SphShell sph_shell;

// ---- Helpers ----
std::string sph_shell_upper(std::string_view text);
// Not NaN and of magnitude at most half the largest double.
bool sph_shell_scalar_is_finite(double value);
bool sph_shell_vector_is_finite(const double* values, std::size_t count);
double sph_shell_norm(const double* values);
// normalized = values / |values|; a length <= 1e-12 gives zeros and status 1, no message.
[[nodiscard]] int sph_shell_normalize_vector(const double* values, double* normalized);
SphVec3 sph_shell_cross(const double* left, const double* right);

// ---- Lookups ----
int32_t sph_shell_find_material(std::string_view name);  // database material number, 0 none
int sph_shell_find_shell_material(std::string_view name);
int sph_shell_find_orientation(std::string_view name);
int sph_shell_find_director_set(std::string_view name);
int sph_shell_find_rotation_set(std::string_view name);
int sph_shell_register_material(std::string_view name);
[[nodiscard]] int sph_shell_prepare_material(std::string_view name, int& shell_index);
void sph_shell_note_material(std::string_view name, std::string_view material_type_in);

// ---- Setters ----
// The shell slots' side of the material parameter block.
extern const SphMaterialParamsPhase sph_shell_params;
[[nodiscard]] int sph_shell_set_elastic(std::string_view material_name_in, double e_value, double nu_value);
[[nodiscard]] int sph_shell_set_johnson_cook(std::string_view material_name_in, double a_value, double b_value,
                                             double n_value, double c_value, double m_value, double epsdot0_value,
                                             double troom_value, double tmelt_value);
[[nodiscard]] int sph_shell_set_failure(std::string_view material_name_in, const double d_values[5]);
[[nodiscard]] int sph_shell_set_control(std::string_view material_name_in, std::string_view softening_name,
                                        double softening_width_value);
[[nodiscard]] int sph_shell_add_orientation(std::string_view name, const double director[3], const double tangent[3]);
[[nodiscard]] int sph_shell_set_director_for_set(std::string_view set_name, const double director[3]);
[[nodiscard]] int sph_shell_set_rotation_for_set(std::string_view set_name, const double omega_value[3],
                                                 const double alpha_value[3]);

// ---- Counts ----
bool sph_shell_has_active_particle(int32_t mat_number);
int32_t sph_shell_count_unbound_materials();
int32_t sph_shell_count_unused_orientations();
void sph_shell_update_max_angular_velocity();

// ---- Lifecycle ----
void sph_shell_initialize();
void sph_shell_reset();
void sph_shell_clear_material_table();
void sph_shell_clear_orientation_table();
// A new particle store (a deck read): the per-particle state goes, the tables stay.
void sph_shell_reset_particle_state();

// ---- Build (`sec` is a 0-based section record index) ----
[[nodiscard]] int sph_shell_build_state();
[[nodiscard]] int sph_shell_validate_input();
[[nodiscard]] int sph_shell_validate_particle_sections();
[[nodiscard]] int sph_shell_validate_section_values(int sec);
void sph_shell_reset_build_diagnostics();
[[nodiscard]] int sph_shell_allocate_state();
void sph_shell_deallocate_state();
void sph_shell_clear_particle_state();
[[nodiscard]] int sph_shell_initialize_particle_state();
[[nodiscard]] int sph_shell_initialize_active_particle(int32_t index, int sec);
[[nodiscard]] int sph_shell_initialize_director(int32_t index, int sec);
[[nodiscard]] int sph_shell_apply_director(int32_t index, const double director_value[3], int32_t source_status);
[[nodiscard]] int sph_shell_initialize_reference_measures(int32_t index);
[[nodiscard]] int sph_shell_initialize_local_frame(int32_t index, int sec);
[[nodiscard]] int sph_shell_initialize_rotation(int32_t index);
[[nodiscard]] int sph_shell_set_integration_rule(int32_t point_count, double coords[5], double weights[5]);

// ---- Geometry ----
bool sph_shell_particle_is_active_section(int32_t index, int sec);
bool sph_shell_element_contains_particle(int elem_index, int32_t particle_index);
bool sph_shell_particle_in_named_set(int32_t index, std::string_view set_name);
void sph_shell_find_director_for_particle(int32_t index, SphVec3& director_value, bool& found);
void sph_shell_triangle_area_vector(int32_t node1, int32_t node2, int32_t node3, SphVec3& area_vector,
                                    double& area_value);
[[nodiscard]] int sph_shell_element_area_vector(int elem_index, SphVec3& area_vector, double& area_value);
[[nodiscard]] int sph_shell_compute_element_geometry(int32_t index, int sec, SphVec3& normal_sum, double& area_value,
                                                     bool& has_normal, bool& has_area);
[[nodiscard]] int sph_shell_compute_geometry_for_particle(int32_t index, int sec, SphVec3& director_value,
                                                          double& area_value);
[[nodiscard]] int sph_shell_estimate_reference_area(int32_t index, int sec, double& area_value);
[[nodiscard]] int sph_shell_infer_cloud_director(int sec, SphVec3& director_value);

// ---- Frame ----
void sph_shell_find_frame_tangent(int32_t index, int sec, SphVec3& tangent, bool& found);
void sph_shell_find_element_tangent(int32_t index, int sec, SphVec3& tangent, bool& found);
void sph_shell_find_cloud_tangent(int sec, SphVec3& tangent, bool& found);
void sph_shell_choose_fallback_tangent(const SphVec3& e3, SphVec3& tangent);
[[nodiscard]] int sph_shell_validate_local_frame(const SphVec3& e1, const SphVec3& e2, const SphVec3& e3);
[[nodiscard]] int sph_shell_mark_local_frame_degenerate(int32_t index, std::string_view message);

// ---- Kinematics (not called by the step) ----
[[nodiscard]] int sph_shell_update_directors(double dt);
[[nodiscard]] int sph_shell_compute_small_strain();
// displacement_grad[c][k] = d u_c / d xi_k (c along e1, e2, e3); director_grad[c][k] likewise (c along e1, e2).
[[nodiscard]] int sph_shell_compute_local_gradients(int32_t index, double displacement_grad[3][2],
                                                    double director_grad[2][2]);
[[nodiscard]] int sph_shell_solve_local_gradient(const double moment[2][2], const double rhs[3][2],
                                                 double gradient[3][2]);
[[nodiscard]] int sph_shell_solve_local_gradient_2(const double moment[2][2], const double rhs[2][2],
                                                   double gradient[2][2]);
[[nodiscard]] int sph_shell_solve_local_gradient_row(const double moment[2][2], const double rhs[2],
                                                     double gradient[2]);
[[nodiscard]] int sph_shell_store_strain(int32_t index, const double displacement_grad[3][2],
                                         const double director_grad[2][2]);
void sph_shell_update_strain_diagnostics(int32_t index);
[[nodiscard]] int sph_shell_update_ip_strain_increment();
void sph_shell_get_kinematic_diagnostics(double& max_membrane, double& max_bending, double& max_shear,
                                         double& max_ip_increment, int32_t& active_ip_count);
[[nodiscard]] int sph_shell_set_particle_director(int32_t index, const double director_value[3]);
[[nodiscard]] int sph_shell_set_particle_angular_velocity(int32_t index, const double omega_value[3]);

}  // namespace quorrel
