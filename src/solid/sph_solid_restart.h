// The solid section of the restart file: the material table with its derived values, the
// body force, the diagnostics and, when it exists, the per-particle state.
#pragma once

#include "output/sph_restart.h"

namespace quorrel {

void sph_solid_restart_write(SphRestartWriter& out);
// False on any failure (the caller reports the section as invalid).
[[nodiscard]] bool sph_solid_restart_read(SphRestartReader& in, SphRestartVersion version);
// Zeroes what the older section lacks: the correction and rate summaries and, of the
// allocated arrays, the reference and rate state.
void sph_solid_restart_seed_051_defaults();
// For files that predate the section: an empty table, no per-particle state.
[[nodiscard]] int sph_solid_restart_clear();

}  // namespace quorrel
