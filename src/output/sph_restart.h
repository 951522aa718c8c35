// The restart file: the whole particle model with the settings and phase state needed to
// continue, written in the newest layout and read back from any of nine layouts. The main
// records (time, output settings, water, gas, gas material table, particles, gas sources)
// are followed by the explosive, solid and coupling sections (output/sph_restart_sections.h).
#pragma once

#include <cstdint>
#include <string_view>

namespace quorrel {

// Unit number of the restart file, written and read.
inline constexpr int sph_restart_unit = 43;

class SphRestartWriter;
class SphRestartReader;

// The layouts, oldest first; each holds everything the ones before it hold.
enum class SphRestartVersion : int32_t { v0_2, v0_3, v0_3_1, v0_4, v0_4_1, v0_5, v0_5_1, v0_8, v0_8_1 };
// The layout of a tag (exact, trailing blanks ignored); false for an unknown tag.
bool sph_restart_version_of(std::string_view tag, SphRestartVersion& version);
// True when `version` holds what the layout `since` brought.
inline bool sph_restart_at_least(SphRestartVersion version, SphRestartVersion since) {
    return static_cast<int32_t>(version) >= static_cast<int32_t>(since);
}

[[nodiscard]] int sph_restart_write(std::string_view filename);
// `model_replaced` turns true once the header is accepted: from then on the file replaces
// the model, so a later failure leaves no usable model behind.
[[nodiscard]] int sph_restart_read(std::string_view filename, bool& model_replaced);

// ---- Main records read apart (each returns false on any failure) ----
[[nodiscard]] bool sph_restart_read_gas_material_table(SphRestartReader& in);
[[nodiscard]] bool sph_restart_read_gas_sources(SphRestartReader& in);

}  // namespace quorrel
