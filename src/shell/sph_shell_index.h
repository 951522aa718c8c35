// What the shell build and kinematics look up per particle, indexed once instead of
// rescanning sets and element lists per particle: the particles of each section, the
// elements of a particle's own section element set that hold it (in member order), and the
// particles each director and rotation set holds. It depends only on the records, the node
// numbers and the particles' sections, so it is rebuilt at every build and after the
// per-particle state is freed. Indices are 0-based.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "shell/sph_shell.h"

namespace quorrel {

struct SphShellIndex {
    bool built = false;
    int32_t npart = 0;
    std::vector<std::vector<int32_t>> section_particles;  // ascending, whatever their phase and status
    std::vector<int32_t> element_offset;                  // npart + 1
    std::vector<int32_t> element_list;                    // element record indices
    std::vector<std::vector<int32_t>> director_set_particles, rotation_set_particles;  // ascending
    // The cloud normal of each section, found at most once per build.
    std::vector<int8_t> cloud_normal_state;  // 0 not sought, 1 found, -1 none
    std::vector<SphVec3> cloud_normal;
};
extern SphShellIndex sph_shell_index;

void sph_shell_invalidate_index();
// Builds the index when it does not describe the current model; "failed to allocate Shell
// state" (code 4) when storage runs out.
[[nodiscard]] int sph_shell_ensure_index();
// The particles, ascending and without repeats, that a node set or element set of that
// name holds (the node set is tried first; unresolved members are skipped).
std::vector<int32_t> sph_shell_named_set_particles(std::string_view set_name);

}  // namespace quorrel
