#include "output/sph_output_file.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>

#include "core/sph_error.h"
#include "core/sph_real_digits.h"
#include "core/sph_text.h"

namespace quorrel {

namespace {

void right_justify(const char* text, std::size_t len, char* field) {
    const std::size_t pad = sph_output_real_width - len;
    std::memset(field, ' ', pad);
    std::memcpy(field + pad, text, len);
}

}  // namespace

namespace {

void format_real(double value, char* field, bool vtk) {
    if (std::isnan(value)) {
        right_justify("NaN", 3, field);
        return;
    }
    if (std::isinf(value)) {
        if (vtk)
            right_justify(value > 0.0 ? "inf" : "-inf", value > 0.0 ? 3 : 4, field);
        else if (value > 0.0)
            right_justify("Infinity", 8, field);
        else
            right_justify("-Infinity", 9, field);
        return;
    }
    if (value == 0.0) {
        // Negative zero too: files diff cleanly whatever sign the arithmetic left.
        std::memcpy(field, "  0.0000000000000000E+00", sph_output_real_width);
        return;
    }
    uint64_t digits = 0;
    int exponent = 0;
    if (sph_real_digits17(std::fabs(value), digits, exponent)) {
        // [blank][-|blank]d.dddddddddddddddd E(+|-)dd : always 24 characters.
        char* p = field;
        *p++ = ' ';
        *p++ = value < 0.0 ? '-' : ' ';
        p = sph_write_digits17(p, digits);
        *p++ = 'E';
        *p++ = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        *p++ = static_cast<char>('0' + magnitude / 10);
        *p = static_cast<char>('0' + magnitude % 10);
        return;
    }
    // to_chars gives [-]d.dddddddddddddddde(+|-)dd[d], correctly rounded.
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 16);
    const char* end = result.ptr;
    const char* e = static_cast<const char*>(std::memchr(text, 'e', static_cast<std::size_t>(end - text)));
    const std::size_t mantissa_len = static_cast<std::size_t>(e - text);
    const std::size_t exponent_digits = static_cast<std::size_t>(end - e) - 2;
    char out[32];
    std::memcpy(out, text, mantissa_len);
    std::size_t len = mantissa_len;
    if (vtk || exponent_digits <= 2) out[len++] = 'E';
    out[len++] = e[1];
    std::memcpy(out + len, e + 2, exponent_digits);
    len += exponent_digits;
    right_justify(out, len, field);
}

}  // namespace

void sph_output_format_real(double value, char* field) { format_real(value, field, false); }

void sph_output_format_real_vtk(double value, char* field) { format_real(value, field, true); }

SphOutputFile::~SphOutputFile() {
    if (file_ != nullptr) (void)close();
}

bool SphOutputFile::open(const std::string& path, SphFileOutcome* outcome) {
    const int fd = sph_file_open_write(path, SphWriteOptions{}, outcome);
    std::FILE* stream = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (fd >= 0 && stream == nullptr) {
        ::close(fd);
        if (outcome != nullptr) *outcome = SphFileOutcome::failed;
    }
    return adopt(stream);
}

int sph_output_open_file(SphOutputFile& file, std::string_view filename, std::string_view failure) {
    const std::string path(sph_trim_right(filename));
    SphFileOutcome outcome = SphFileOutcome::ok;
    if (file.open(path, &outcome)) return sph_success;
    return sph_fail(sph_error_io, sph_file_open_message(failure, path, outcome));
}

bool SphOutputFile::adopt(std::FILE* file) {
    if (file_ != nullptr) (void)close();
    failed_ = false;
    used_ = 0;
    file_ = file;
    if (file_ == nullptr) return false;
    if (!buffer_) buffer_ = std::make_unique<char[]>(capacity_);
    return true;
}

void SphOutputFile::flush() {
    if (file_ != nullptr && used_ > 0) {
        if (std::fwrite(buffer_.get(), 1, used_, file_) != used_) failed_ = true;
    }
    used_ = 0;
}

bool SphOutputFile::close() {
    if (file_ == nullptr) return false;
    flush();
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
}

void SphOutputFile::put(std::string_view text) {
    if (text.size() > capacity_) {
        flush();
        if (file_ != nullptr && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) failed_ = true;
        return;
    }
    ensure(text.size());
    std::memcpy(buffer_.get() + used_, text.data(), text.size());
    used_ += text.size();
}

void SphOutputFile::put_char(char c) {
    ensure(1);
    buffer_[used_++] = c;
}

void SphOutputFile::put_int(int64_t value) {
    ensure(24);
    char* p = buffer_.get() + used_;
    const auto result = std::to_chars(p, p + 24, value);
    used_ += static_cast<std::size_t>(result.ptr - p);
}

void SphOutputFile::put_real(double value) {
    ensure(sph_output_real_width);
    format_real(value, buffer_.get() + used_, false);
    used_ += sph_output_real_width;
}

void SphOutputFile::put_real_vtk(double value) {
    ensure(sph_output_real_width);
    format_real(value, buffer_.get() + used_, true);
    used_ += sph_output_real_width;
}

}  // namespace quorrel
