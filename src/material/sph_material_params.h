// The elastic, Johnson-Cook flow, Johnson-Cook failure and softening data of one solid or
// shell material slot, and the one set of checks both phases apply to it. Each phase keeps
// its own slot table; a block only knows the phase's name, which opens every message.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace quorrel {

// A cleared block holds the values shown.
struct SphMaterialParams {
    bool elastic_defined = false;
    bool johnson_cook_defined = false;  // selects the return mapping
    bool failure_defined = false;
    bool control_defined = false;
    double elastic_e = 0.0, elastic_nu = 0.0;
    double jc_a = 0.0, jc_b = 0.0, jc_n = 0.0, jc_c = 0.0, jc_m = 0.0;
    double jc_epsdot0 = 1.0;
    double jc_troom = 293.15;
    double jc_tmelt = 1793.0;
    std::array<double, 5> failure_d{};  // D1..D5
    std::string softening_type;         // upper-cased; "LINEAR" when given blank
    double softening_width = 0.0;       // a value <= 0 is read as 1.0 at use
};

// The phase a block belongs to. `prepare` finds or registers the slot of a material and
// hands back its block; it records its own failures.
struct SphMaterialParamsPhase {
    std::string_view name;  // "Solid", "Shell"
    int (*prepare)(std::string_view material_name, SphMaterialParams*& params);
};

// Each setter checks its values, then prepares the slot, then stores; a failing call
// stores nothing, and a value failure comes before an unknown material is reported.
[[nodiscard]] int sph_material_params_set_elastic(const SphMaterialParamsPhase& phase,
                                                  std::string_view material_name, double e_value, double nu_value);
// values: A, B, n, C, m, reference strain rate, room temperature, melt temperature.
[[nodiscard]] int sph_material_params_set_johnson_cook(const SphMaterialParamsPhase& phase,
                                                       std::string_view material_name, const double values[8]);
[[nodiscard]] int sph_material_params_set_failure(const SphMaterialParamsPhase& phase, std::string_view material_name,
                                                  const double d_values[5]);
[[nodiscard]] int sph_material_params_set_control(const SphMaterialParamsPhase& phase, std::string_view material_name,
                                                  std::string_view softening_name, double softening_width_value);

// The build's checks of a material that active particles use: its density card, its
// elastic data, and flow data wherever failure data are given.
[[nodiscard]] int sph_material_params_check_active(const SphMaterialParamsPhase& phase, const SphMaterialParams& params,
                                                   double material_density);

}  // namespace quorrel
