// Last recorded failure of the model: one code and one message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorrel {

inline constexpr int sph_success = 0;
inline constexpr int sph_error_argument = 1;
inline constexpr int sph_error_state = 2;
inline constexpr int sph_error_io = 3;
inline constexpr int sph_error_input = 4;
inline constexpr int sph_error_database = 5;
inline constexpr int sph_error_not_implemented = 6;

inline constexpr std::size_t sph_error_message_len = 256;

struct SphError {
    int last_error_code = 0;
    // Held without its blank padding; callers that show it pad to 256.
    std::string last_error_message = "OK";
};

extern SphError sph_error;

// Records code and message (cut after 256 characters). Never fails.
void sph_error_set(int code, std::string_view message);

// Copies the code and the message padded with blanks (or cut) to `message_len` bytes.
void sph_error_get(int& code, char* message, std::size_t message_len);
// The message as stored, without padding.
const std::string& sph_error_message();
int sph_error_code();

void sph_error_clear();

// Record-and-return: the one way a failing operation reports.
[[nodiscard]] inline int sph_fail(int code, std::string_view message) {
    sph_error_set(code, message);
    return code;
}

}  // namespace quorrel
