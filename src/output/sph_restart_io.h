// The restart file's record forms. A free-format record is one line of values separated
// by blanks: integers in decimal, reals with 17 significant digits (NaN, Infinity and
// -Infinity for the non-finite ones), logicals T or F, texts in double quotes with an inner
// quote doubled. The reader takes values separated by blanks or commas, texts quoted or
// bare (a bare text ends at a blank, comma or slash; a lone slash ends the record). Lines
// end in CR LF.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "output/sph_output_file.h"

namespace quorrel {

// Writes to a temporary file beside the target; commit() renames it over the target only
// when every write and the close succeeded, so an earlier file of that name survives any
// failure. A writer destroyed without a commit removes its temporary file.
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
    void separate();
    SphOutputFile file_;
    std::string target_, temporary_;
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
    bool open(const std::string& path);
    // Size of the file in bytes (0 when unknown).
    uint64_t file_size() const { return size_; }
    // The next line without its line end; false at the end of the file.
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
    std::vector<char> buffer_;
    std::size_t begin_ = 0, end_ = 0;
    bool eof_ = false;
    std::string line_;
    uint64_t size_ = 0;
};

}  // namespace quorrel
