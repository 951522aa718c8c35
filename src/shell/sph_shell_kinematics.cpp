#include <algorithm>
#include <cmath>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "shell/sph_shell.h"
#include "shell/sph_shell_index.h"

namespace quorrel {

namespace {

bool sized(std::size_t size, std::size_t components) {
    const std::size_t n = npart_of();
    return n > 0 && size == components * n;
}

int own_section(std::size_t i) { return sph_database.section_id[i] - 1; }

bool active_own_section(std::size_t i) { return sph_shell_particle_is_active_section(static_cast<int32_t>(i), own_section(i)); }

bool strain_candidate(std::size_t i) {
    const auto& failure = sph_shell_state.shell_failure_status;
    return active_own_section(i) && (!sized(failure.size(), 1) || failure[i] == 0);
}

double dot3(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

double largest_abs(const double* v, std::size_t count) {
    double m = 0.0;
    for (std::size_t k = 0; k < count; ++k) m = std::max(m, std::fabs(v[k]));
    return m;
}

}  // namespace

int sph_shell_update_directors(double dt) {
    SphShellState& st = sph_shell_state;
    if (!sized(st.shell_director.size(), 3)) return sph_success;
    if (!sph_shell_scalar_is_finite(dt) || dt < 0.0)
        return sph_fail(sph_error_argument, "Shell director update dt is invalid");
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (!active_own_section(i)) continue;
        const double* omega = &st.shell_omega[3 * i];
        if (!sph_shell_vector_is_finite(omega, 3))
            return sph_fail(sph_error_input, "Shell angular velocity is not finite");
        const double* d = &st.shell_director[3 * i];
        // One explicit step d + dt (omega x d), not an exact rotation.
        const SphVec3 spin = sph_shell_cross(omega, d);
        const double next[3] = {d[0] + dt * spin[0], d[1] + dt * spin[1], d[2] + dt * spin[2]};
        const int32_t index = static_cast<int32_t>(i);
        if (int e = sph_shell_apply_director(index, next, st.shell_director_status[i])) return e;
        if (int e = sph_shell_initialize_local_frame(index, own_section(i))) return e;
    }
    sph_shell_update_max_angular_velocity();
    return sph_success;
}

int sph_shell_compute_small_strain() {
    SphShellState& st = sph_shell_state;
    if (!sized(st.shell_membrane_strain.size(), 3)) return sph_success;
    for (auto* values : {&st.shell_membrane_strain, &st.shell_bending_strain, &st.shell_shear_strain,
                         &st.shell_membrane_strain_increment, &st.shell_bending_strain_increment,
                         &st.shell_shear_strain_increment})
        std::fill(values->begin(), values->end(), 0.0);
    SphShell& s = sph_shell;
    s.shell_max_membrane_strain = s.shell_max_bending_strain = s.shell_max_shear_strain = 0.0;
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (!strain_candidate(i)) continue;
        const int32_t index = static_cast<int32_t>(i);
        if (!sized(st.shell_local_frame_status.size(), 1) || st.shell_local_frame_status[i] != sph_shell_frame_ok)
            return sph_fail(sph_error_input, "Shell strain requires local frame");
        double displacement_grad[3][2], director_grad[2][2];
        if (int e = sph_shell_compute_local_gradients(index, displacement_grad, director_grad)) return e;
        if (int e = sph_shell_store_strain(index, displacement_grad, director_grad)) return e;
    }
    return sph_shell_update_ip_strain_increment();
}

int sph_shell_compute_local_gradients(int32_t index, double displacement_grad[3][2], double director_grad[2][2]) {
    for (int c = 0; c < 3; ++c) displacement_grad[c][0] = displacement_grad[c][1] = 0.0;
    for (int c = 0; c < 2; ++c) director_grad[c][0] = director_grad[c][1] = 0.0;
    if (int e = sph_shell_ensure_index()) return e;
    const SphDatabase& d = sph_database;
    const SphShellState& st = sph_shell_state;
    const std::size_t i = static_cast<std::size_t>(index);
    const int sec = own_section(i);
    const double* e1 = &st.shell_local_e1[3 * i];
    const double* e2 = &st.shell_local_e2[3 * i];
    const double* e3 = &st.shell_local_e3[3 * i];
    const double* x0 = d.x0.data();
    const double* x = d.x.data();
    const double* dir = st.shell_director.data();
    double m11 = 0.0, m12 = 0.0, m22 = 0.0;
    double ru[3][2] = {}, rd[2][2] = {};
    int32_t partners = 0;
    // Every active shell particle of the section is a partner, however far away.
    for (int32_t jj : sph_shell_index.section_particles[static_cast<std::size_t>(sec)]) {
        const std::size_t j = static_cast<std::size_t>(jj);
        if (j == i || !sph_shell_particle_is_active_section(jj, sec)) continue;
        const double r[3] = {x0[3 * j] - x0[3 * i], x0[3 * j + 1] - x0[3 * i + 1], x0[3 * j + 2] - x0[3 * i + 2]};
        const double xi1 = dot3(e1, r), xi2 = dot3(e2, r);
        if (xi1 * xi1 + xi2 * xi2 <= sph_shell_eps) continue;
        double u[3];
        for (std::size_t k = 0; k < 3; ++k) u[k] = (x[3 * j + k] - x0[3 * j + k]) - (x[3 * i + k] - x0[3 * i + k]);
        const double uh[3] = {dot3(e1, u), dot3(e2, u), dot3(e3, u)};
        double delta[3];
        for (std::size_t k = 0; k < 3; ++k) delta[k] = dir[3 * j + k] - dir[3 * i + k];
        const double dh[2] = {dot3(e1, delta), dot3(e2, delta)};
        m11 += xi1 * xi1;
        m12 += xi1 * xi2;
        m22 += xi2 * xi2;
        for (int c = 0; c < 3; ++c) {
            ru[c][0] += uh[c] * xi1;
            ru[c][1] += uh[c] * xi2;
        }
        for (int c = 0; c < 2; ++c) {
            rd[c][0] += dh[c] * xi1;
            rd[c][1] += dh[c] * xi2;
        }
        ++partners;
    }
    if (partners == 0) return sph_fail(sph_error_input, "Shell strain gradient has no neighbors");
    const double moment[2][2] = {{m11, m12}, {m12, m22}};
    if (int e = sph_shell_solve_local_gradient(moment, ru, displacement_grad)) return e;
    return sph_shell_solve_local_gradient_2(moment, rd, director_grad);
}

int sph_shell_solve_local_gradient(const double moment[2][2], const double rhs[3][2], double gradient[3][2]) {
    for (int c = 0; c < 3; ++c)
        if (int e = sph_shell_solve_local_gradient_row(moment, rhs[c], gradient[c])) return e;
    return sph_success;
}

int sph_shell_solve_local_gradient_2(const double moment[2][2], const double rhs[2][2], double gradient[2][2]) {
    for (int c = 0; c < 2; ++c)
        if (int e = sph_shell_solve_local_gradient_row(moment, rhs[c], gradient[c])) return e;
    return sph_success;
}

int sph_shell_solve_local_gradient_row(const double moment[2][2], const double rhs[2], double gradient[2]) {
    const double m11 = moment[0][0], m12 = moment[0][1], m21 = moment[1][0], m22 = moment[1][1];
    const double det = m11 * m22 - m12 * m21;
    if (std::fabs(det) > sph_shell_eps) {
        gradient[0] = (m22 * rhs[0] - m21 * rhs[1]) / det;
        gradient[1] = (m11 * rhs[1] - m12 * rhs[0]) / det;
        return sph_success;
    }
    // Partners all on one local axis: resolve that axis, leave the other 0.
    if (std::fabs(m12) <= sph_shell_eps && m11 > sph_shell_eps) {
        gradient[0] = rhs[0] / m11;
        gradient[1] = 0.0;
        return sph_success;
    }
    if (std::fabs(m12) <= sph_shell_eps && m22 > sph_shell_eps) {
        gradient[0] = 0.0;
        gradient[1] = rhs[1] / m22;
        return sph_success;
    }
    gradient[0] = gradient[1] = 0.0;
    return sph_fail(sph_error_input, "Shell strain gradient is degenerate");
}

int sph_shell_store_strain(int32_t index, const double displacement_grad[3][2], const double director_grad[2][2]) {
    const double* g = &displacement_grad[0][0];
    const double* dg = &director_grad[0][0];
    if (!sph_shell_vector_is_finite(g, 6) || !sph_shell_vector_is_finite(dg, 4))
        return sph_fail(sph_error_input, "Shell strain gradient is not finite");
    SphShellState& st = sph_shell_state;
    const std::size_t i = static_cast<std::size_t>(index);
    double* membrane = &st.shell_membrane_strain[3 * i];
    double* bending = &st.shell_bending_strain[3 * i];
    double* shear = &st.shell_shear_strain[2 * i];
    membrane[0] = displacement_grad[0][0];
    membrane[1] = displacement_grad[1][1];
    membrane[2] = 0.5 * (displacement_grad[1][0] + displacement_grad[0][1]);
    bending[0] = director_grad[0][0];
    bending[1] = director_grad[1][1];
    bending[2] = 0.5 * (director_grad[1][0] + director_grad[0][1]);
    shear[0] = displacement_grad[2][0];
    shear[1] = displacement_grad[2][1];
    // Each call measures from the reference positions, so the increment equals the strain.
    std::copy_n(membrane, 3, &st.shell_membrane_strain_increment[3 * i]);
    std::copy_n(bending, 3, &st.shell_bending_strain_increment[3 * i]);
    std::copy_n(shear, 2, &st.shell_shear_strain_increment[2 * i]);
    sph_shell_update_strain_diagnostics(index);
    return sph_success;
}

void sph_shell_update_strain_diagnostics(int32_t index) {
    SphShell& s = sph_shell;
    const SphShellState& st = sph_shell_state;
    const std::size_t i = static_cast<std::size_t>(index);
    s.shell_max_membrane_strain = std::max(s.shell_max_membrane_strain, largest_abs(&st.shell_membrane_strain[3 * i], 3));
    s.shell_max_bending_strain = std::max(s.shell_max_bending_strain, largest_abs(&st.shell_bending_strain[3 * i], 3));
    s.shell_max_shear_strain = std::max(s.shell_max_shear_strain, largest_abs(&st.shell_shear_strain[2 * i], 2));
}

int sph_shell_update_ip_strain_increment() {
    SphShell& s = sph_shell;
    SphShellState& st = sph_shell_state;
    s.shell_max_ip_strain_increment = 0.0;
    s.shell_active_ip_count = 0;
    constexpr std::size_t p = sph_shell_max_integration_points;
    if (!sized(st.shell_ip_strain_increment.size(), 5 * p)) return sph_success;
    std::fill(st.shell_ip_strain_increment.begin(), st.shell_ip_strain_increment.end(), 0.0);
    std::fill(st.shell_ip_strain.begin(), st.shell_ip_strain.end(), 0.0);
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (!strain_candidate(i)) continue;
        const double* membrane = &st.shell_membrane_strain[3 * i];
        const double* bending = &st.shell_bending_strain[3 * i];
        const double* shear = &st.shell_shear_strain[2 * i];
        const std::size_t count = static_cast<std::size_t>(std::clamp(st.shell_ip_count[i], 0, static_cast<int32_t>(p)));
        for (std::size_t k = 0; k < count; ++k) {
            const double z = st.shell_ip_coord[p * i + k] * st.shell_thickness[i];
            double* inc = &st.shell_ip_strain_increment[5 * (p * i + k)];
            for (std::size_t c = 0; c < 3; ++c) inc[c] = membrane[c] + z * bending[c];
            inc[3] = shear[0];
            inc[4] = shear[1];
            if (!sph_shell_vector_is_finite(inc, 5))
                return sph_fail(sph_error_input, "Shell integration point strain increment is not finite");
            std::copy_n(inc, 5, &st.shell_ip_strain[6 * (p * i + k)]);
            s.shell_max_ip_strain_increment = std::max(s.shell_max_ip_strain_increment, largest_abs(inc, 5));
            s.shell_active_ip_count += 1;
        }
    }
    return sph_success;
}

void sph_shell_get_kinematic_diagnostics(double& max_membrane, double& max_bending, double& max_shear,
                                         double& max_ip_increment, int32_t& active_ip_count) {
    const SphShell& s = sph_shell;
    max_membrane = s.shell_max_membrane_strain;
    max_bending = s.shell_max_bending_strain;
    max_shear = s.shell_max_shear_strain;
    max_ip_increment = s.shell_max_ip_strain_increment;
    active_ip_count = s.shell_active_ip_count;
}

int sph_shell_set_particle_director(int32_t index, const double director_value[3]) {
    SphShellState& st = sph_shell_state;
    const SphDatabase& d = sph_database;
    // Only an active shell particle of an existing section has a frame to rebuild.
    if (!sized(st.shell_director.size(), 3) || index < 0 || index >= d.npart)
        return sph_fail(sph_error_argument, "Shell director index is invalid");
    const std::size_t i = static_cast<std::size_t>(index);
    const int sec = own_section(i);
    if (sec < 0 || sec >= static_cast<int>(d.sections.size()) || !sph_shell_particle_is_active_section(index, sec))
        return sph_fail(sph_error_argument, "Shell director index is invalid");
    int32_t status = st.shell_director_status[i];
    if (status == sph_shell_director_none) status = sph_shell_director_input;
    if (int e = sph_shell_apply_director(index, director_value, status)) return e;
    return sph_shell_initialize_local_frame(index, sec);
}

int sph_shell_set_particle_angular_velocity(int32_t index, const double omega_value[3]) {
    SphShellState& st = sph_shell_state;
    if (!sized(st.shell_omega.size(), 3) || index < 0 || index >= sph_database.npart)
        return sph_fail(sph_error_argument, "Shell angular velocity index is invalid");
    if (!sph_shell_vector_is_finite(omega_value, 3))
        return sph_fail(sph_error_argument, "Shell angular velocity is not finite");
    std::copy_n(omega_value, 3, &st.shell_omega[3 * static_cast<std::size_t>(index)]);
    sph_shell_update_max_angular_velocity();
    return sph_success;
}

}  // namespace quorrel
