#include "material/sph_material_params.h"

#include <algorithm>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_text.h"

namespace quorrel {

namespace {

bool all_within_half_max(const double* values, std::size_t count) {
    return std::all_of(values, values + count, sph_within_half_max);
}

// `before` + phase name + `after`, e.g. "active " + "Shell" + " material is missing density".
int fail(int code, std::string_view before, const SphMaterialParamsPhase& phase, std::string_view after) {
    std::string message(before);
    message.append(phase.name).append(after);
    return sph_fail(code, message);
}

int fail(int code, const SphMaterialParamsPhase& phase, std::string_view after) { return fail(code, {}, phase, after); }

}  // namespace

int sph_material_params_set_elastic(const SphMaterialParamsPhase& phase, std::string_view material_name, double e_value,
                                    double nu_value) {
    const double values[2] = {e_value, nu_value};
    if (!all_within_half_max(values, 2)) return fail(sph_error_argument, phase, " elastic parameter is not finite");
    if (!(e_value > 0.0)) return fail(sph_error_argument, phase, " elastic modulus must be positive");
    if (!(nu_value > -1.0 && nu_value < 0.5)) return fail(sph_error_argument, phase, " Poisson ratio is invalid");
    SphMaterialParams* p = nullptr;
    if (int st = phase.prepare(material_name, p)) return st;
    p->elastic_defined = true;
    p->elastic_e = e_value;
    p->elastic_nu = nu_value;
    return sph_success;
}

int sph_material_params_set_johnson_cook(const SphMaterialParamsPhase& phase, std::string_view material_name,
                                         const double values[8]) {
    const double a = values[0], b = values[1], n = values[2], c = values[3], m = values[4];
    const double epsdot0 = values[5], troom = values[6], tmelt = values[7];
    if (!all_within_half_max(values, 8))
        return fail(sph_error_argument, phase, " Johnson-Cook flow parameter is not finite");
    if (a < 0.0 || b < 0.0 || n < 0.0) return fail(sph_error_argument, phase, " Johnson-Cook strength is invalid");
    if (c < 0.0 || m < 0.0)
        return fail(sph_error_argument, phase, " Johnson-Cook rate or thermal exponent is invalid");
    if (!(epsdot0 > 0.0))
        return fail(sph_error_argument, phase, " Johnson-Cook reference strain rate must be positive");
    if (!(tmelt > troom))
        return fail(sph_error_argument, phase, " Johnson-Cook melt temperature must exceed room temperature");
    SphMaterialParams* p = nullptr;
    if (int st = phase.prepare(material_name, p)) return st;
    p->johnson_cook_defined = true;
    p->jc_a = a;
    p->jc_b = b;
    p->jc_n = n;
    p->jc_c = c;
    p->jc_m = m;
    p->jc_epsdot0 = epsdot0;
    p->jc_troom = troom;
    p->jc_tmelt = tmelt;
    return sph_success;
}

int sph_material_params_set_failure(const SphMaterialParamsPhase& phase, std::string_view material_name,
                                    const double d_values[5]) {
    if (!all_within_half_max(d_values, 5))
        return fail(sph_error_argument, phase, " Johnson-Cook failure parameter is not finite");
    SphMaterialParams* p = nullptr;
    if (int st = phase.prepare(material_name, p)) return st;
    p->failure_defined = true;
    std::copy(d_values, d_values + 5, p->failure_d.begin());
    return sph_success;
}

int sph_material_params_set_control(const SphMaterialParamsPhase& phase, std::string_view material_name,
                                    std::string_view softening_name, double softening_width_value) {
    // Upper-cased and cut to a name's 64 characters, trailing blanks dropped.
    std::string type = sph_upper(sph_fixed(softening_name, sph_name_len));
    if (type.empty()) type = "LINEAR";
    if (type.find("LINEAR") == std::string::npos) return fail(sph_error_input, phase, " SOFTENING must be LINEAR");
    if (!sph_within_half_max(softening_width_value))
        return fail(sph_error_argument, phase, " softening WIDTH is not finite");
    if (!(softening_width_value > 0.0)) return fail(sph_error_argument, phase, " softening WIDTH must be positive");
    SphMaterialParams* p = nullptr;
    if (int st = phase.prepare(material_name, p)) return st;
    p->control_defined = true;
    p->softening_type = std::move(type);
    p->softening_width = softening_width_value;
    return sph_success;
}

int sph_material_params_check_active(const SphMaterialParamsPhase& phase, const SphMaterialParams& params,
                                     double material_density) {
    if (!(material_density > 0.0)) return fail(sph_error_input, "active ", phase, " material is missing density");
    if (!params.elastic_defined) return fail(sph_error_input, "active ", phase, " material is missing elastic data");
    if (params.failure_defined && !params.johnson_cook_defined)
        return fail(sph_error_input, phase, " failure requires Johnson-Cook flow data");
    return sph_success;
}

}  // namespace quorrel
