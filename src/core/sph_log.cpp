#include "core/sph_log.h"

#include <unistd.h>

#include <string>

#include "core/sph_error.h"
#include "core/sph_file.h"
#include "core/sph_text.h"

namespace quorrel {

SphLog sph_log;

int sph_log_open(std::string_view filename) {
    if (sph_log.sph_log_is_open) {
        if (int st = sph_log_close()) return st;
    }
    const std::string path(sph_trim_right(filename));
    // Extended, never emptied; a link, FIFO or socket at the name is refused.
    SphWriteOptions options;
    options.truncate = false;
    options.append = true;
    SphFileOutcome outcome = SphFileOutcome::ok;
    const int fd = sph_file_open_write(path, options, &outcome);
    std::FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "ab");
    if (fd >= 0 && f == nullptr) ::close(fd);
    if (f == nullptr) return sph_fail(sph_error_io, sph_file_open_message("failed to open log file", path, outcome));
    sph_log.file = f;
    sph_log.sph_log_is_open = true;
    return sph_success;
}

void sph_log_info(std::string_view message) {
    if (!sph_log.sph_log_is_open || sph_log.file == nullptr) return;
    std::string_view m = sph_trim_right(message);
    std::fwrite(m.data(), 1, m.size(), sph_log.file);
    std::fwrite("\r\n", 1, 2, sph_log.file);
}

int sph_log_close() {
    if (!sph_log.sph_log_is_open) return sph_success;
    int rc = std::fclose(sph_log.file);
    sph_log.file = nullptr;
    sph_log.sph_log_is_open = false;
    if (rc != 0) return sph_fail(sph_error_io, "failed to close log file");
    return sph_success;
}

}  // namespace quorrel
