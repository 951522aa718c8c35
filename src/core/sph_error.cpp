#include "core/sph_error.h"

#include <algorithm>
#include <cstring>

#include "core/sph_text.h"

namespace quorrel {

SphError sph_error;

void sph_error_set(int code, std::string_view message) {
    sph_error.last_error_code = code;
    // Trailing blanks are padding in the stored form; keep the text without them.
    const std::string_view cut = sph_trim_right(message.substr(0, std::min(message.size(), sph_error_message_len)));
    sph_error.last_error_message.assign(cut.data(), cut.size());
}

void sph_error_get(int& code, char* message, std::size_t message_len) {
    code = sph_error.last_error_code;
    if (message == nullptr || message_len == 0) return;
    const std::string& m = sph_error.last_error_message;
    // The stored message is 256 characters, blank-padded; a longer buffer gets more blanks.
    std::size_t n = std::min(m.size(), message_len);
    std::memcpy(message, m.data(), n);
    std::memset(message + n, ' ', message_len - n);
}

const std::string& sph_error_message() { return sph_error.last_error_message; }
int sph_error_code() { return sph_error.last_error_code; }

void sph_error_clear() {
    sph_error.last_error_code = sph_success;
    sph_error.last_error_message = "OK";
}

}  // namespace quorrel
