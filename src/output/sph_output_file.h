// One buffered output text file: values are formatted straight into a reused
// buffer and flushed in large blocks, lines end in CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "core/sph_file.h"

namespace quorrel {

// Width of the real field of every step output file.
inline constexpr std::size_t sph_output_real_width = 24;

// Writes `value` as exactly 24 characters into `field` (no terminator): scientific,
// 16 digits after the point, right-justified. A two-digit exponent is written
// E+dd / E-dd, a three-digit one without the letter (+ddd / -ddd). Zero (also
// negative zero) is 0.0000000000000000E+00; non-finite values are the words
// "Infinity", "-Infinity" and "NaN", right-justified.
void sph_output_format_real(double value, char* field);
// The same field in the form VTK's ASCII parser reads back: a three-digit exponent
// keeps its letter (one leading blank fewer, so still 24 characters), and the
// infinities are "inf" and "-inf". Without the letter VTK splits 1.0-300 into two
// values, and "Infinity" makes it drop the whole array.
void sph_output_format_real_vtk(double value, char* field);

class SphOutputFile {
public:
    SphOutputFile() = default;
    SphOutputFile(const SphOutputFile&) = delete;
    SphOutputFile& operator=(const SphOutputFile&) = delete;
    ~SphOutputFile();

    // Opens for writing, replacing any old content, through the one file open: a missing
    // name or a regular file is written, a character device in place, and a link, FIFO
    // or socket at the name is refused. False when it cannot be opened, with the reason
    // in `outcome` when given.
    bool open(const std::string& path, SphFileOutcome* outcome = nullptr);
    // Takes over a stream already open for writing (null: false), as open() leaves it.
    bool adopt(std::FILE* file);
    bool is_open() const { return file_ != nullptr; }
    // Flushes and closes. False when any write since open failed.
    bool close();

    void put(std::string_view text);
    void put_char(char c);
    void put_int(int64_t value);
    // The 24-character real field.
    void put_real(double value);
    // The 24-character real field in its VTK-readable form.
    void put_real_vtk(double value);
    void end_line() { put("\r\n"); }

private:
    static constexpr std::size_t capacity_ = std::size_t{1} << 20;
    void ensure(std::size_t n) {
        if (used_ + n > capacity_) flush();
    }
    void flush();

    std::FILE* file_ = nullptr;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool failed_ = false;
};

// Opens a step output file at `filename` (trailing blanks removed). When it cannot be
// opened, records code 3 with `failure` (naming the file when its kind was refused) and
// returns 3.
[[nodiscard]] int sph_output_open_file(SphOutputFile& file, std::string_view filename, std::string_view failure);

}  // namespace quorrel
