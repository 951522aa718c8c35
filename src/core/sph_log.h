// Optional append-only text log.
#pragma once

#include <cstdio>
#include <string_view>

namespace quorrel {

inline constexpr int sph_log_unit = 97;

struct SphLog {
    bool sph_log_is_open = false;
    std::FILE* file = nullptr;
};

extern SphLog sph_log;

[[nodiscard]] int sph_log_open(std::string_view filename);
void sph_log_info(std::string_view message);
[[nodiscard]] int sph_log_close();

}  // namespace quorrel
