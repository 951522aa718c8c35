// The restart file's record forms. A free-format record is one line of values separated
// by blanks: integers in decimal, reals with 17 significant digits (NaN, Infinity and
// -Infinity for the non-finite ones), logicals T or F, texts in double quotes with an inner
// quote doubled. The reader takes values separated by blanks or commas, texts quoted or
// bare (a bare text ends at a blank, comma or slash; a lone slash ends the record). Lines
// end in CR LF.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/sph_error.h"
#include "core/sph_file.h"

namespace quorrel {

// The longest line a restart file may hold, line end excluded. The longest the writer
// produces is a coupling region's member list: 512 particle numbers of up to 10 digits
// with a blank between, 5,631 characters; every other record stays under 700. A longer
// line is refused as soon as the reader has seen that much of it, so a file that never
// ends a line (a device, a damaged file) costs no more than this.
inline constexpr std::size_t sph_restart_line_limit = 8192;

// Writes a restart file so that an earlier file of that name survives any failure.
// Links at the name are followed by the kernel (so its refusals apply), and the name
// they finally give is written; the link stays a link. A target that is missing or a
// regular file is written to a new file of a name nothing else uses, in the same
// directory, which takes the permission bits (and, where this process may set them, the
// owner and group) of the file it replaces; commit() renames it over the target only
// when every write and the close succeeded, and a writer destroyed without a commit
// removes it. A character device (/dev/null) is written in place. A directory, FIFO,
// socket or block device is refused before anything is written.
class SphRestartWriter {
public:
    SphRestartWriter() = default;
    SphRestartWriter(const SphRestartWriter&) = delete;
    SphRestartWriter& operator=(const SphRestartWriter&) = delete;
    ~SphRestartWriter();

    bool open(const std::string& target);
    [[nodiscard]] bool commit();

    void put_int(int64_t value);
    void put_real(double value);
    void put_bool(bool value);
    void put_text(std::string_view text);
    // A whole fixed-layout line, as it stands.
    void put_line(std::string_view text);
    void end_record();

private:
    // The file is written in blocks of this many bytes.
    static constexpr std::size_t block_size = std::size_t{1} << 20;
    void separate();
    bool adopt(int fd);
    // Room for `count` more bytes at block_ + used_ (count at most block_size).
    char* room(std::size_t count) {
        if (used_ + count > block_size) flush();
        return block_.get() + used_;
    }
    void emit(std::string_view text);
    void emit_char(char c) {
        *room(1) = c;
        ++used_;
    }
    void flush();
    // Writes what is left and closes; false when any write since the open failed.
    bool close_stream();
    // Closes without a commit and removes what this write made.
    void discard();
    int fd_ = -1;
    std::unique_ptr<char[]> block_;
    std::size_t used_ = 0;
    bool failed_ = false;
    // created_: an empty file the kernel made at the end of a dangling link for this write.
    std::string target_, temporary_, created_;
    bool first_ = true;
};

// One record's values, valid until the next read.
class SphRestartRecord {
public:
    std::size_t size() const { return tokens_.size(); }
    bool get(std::size_t k, int32_t& value) const;
    bool get(std::size_t k, double& value) const;
    bool get(std::size_t k, bool& value) const;
    bool get(std::size_t k, std::string& value) const;
    // Reads values k, k + 1, ... into `values`; false when one is missing or unreadable.
    template <typename T>
    bool get_all(std::size_t k, T* values, std::size_t count) const {
        for (std::size_t j = 0; j < count; ++j)
            if (!get(k + j, values[j])) return false;
        return true;
    }

private:
    friend class SphRestartReader;
    struct Token {
        std::string_view text;
        bool quoted = false;
    };
    std::vector<Token> tokens_;
    std::string unquoted_;  // the texts of quoted tokens, back to back
};

class SphRestartReader {
public:
    // Regular files only (links to them followed): false when the file cannot be opened
    // or is of another kind, with the reason in `outcome` when given.
    bool open(const std::string& path, SphFileOutcome* outcome = nullptr);
    // Size of the file in bytes.
    uint64_t file_size() const { return size_; }
    // The next line without its line end, valid until the next read; false at the end of
    // the file, on a read error and, from a line longer than sph_restart_line_limit on,
    // for good (as if the file ended there).
    bool read_line(std::string_view& line);
    bool read_record(SphRestartRecord& record);

private:
    struct Closer {
        void operator()(std::FILE* f) const {
            if (f) std::fclose(f);
        }
    };
    bool refill();
    std::unique_ptr<std::FILE, Closer> file_;
    // Fixed at open, well above the line limit: a line never needs more.
    std::vector<char> buffer_;
    std::size_t begin_ = 0, end_ = 0;
    bool eof_ = false, stopped_ = false;
    uint64_t size_ = 0;
};

// ---- Record helpers shared by the main records and the sections ----

// A failed record of the file: code 4 with the record's message.
[[nodiscard]] inline int sph_restart_input_failure(std::string_view message) {
    return sph_fail(sph_error_input, message);
}

template <typename T, std::size_t N>
void put_all(SphRestartWriter& out, const std::array<T, N>& values) {
    for (const T& v : values) {
        if constexpr (std::is_integral_v<T>) out.put_int(v);
        else out.put_real(v);
    }
}

inline void put_reals(SphRestartWriter& out, const double* values, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) out.put_real(values[k]);
}

inline void put_reals(SphRestartWriter& out, std::initializer_list<double> values) {
    for (double v : values) out.put_real(v);
}

// Reads one record of exactly the listed reals (further values ignored).
inline bool read_reals(SphRestartReader& in, SphRestartRecord& r, std::initializer_list<double*> targets) {
    if (!in.read_record(r)) return false;
    std::size_t k = 0;
    for (double* t : targets)
        if (!r.get(k++, *t)) return false;
    return true;
}

inline bool read_real_array(SphRestartReader& in, SphRestartRecord& r, double* values, std::size_t count) {
    return in.read_record(r) && r.get_all(0, values, count);
}

}  // namespace quorrel
