#include "output/sph_restart_io.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "core/sph_text.h"

namespace quorrel {

// ---- Writer ----

SphRestartWriter::~SphRestartWriter() {
    if (file_.is_open()) (void)file_.close();
    if (!temporary_.empty()) {
        std::error_code ec;
        std::filesystem::remove(temporary_, ec);
    }
}

bool SphRestartWriter::open(const std::string& target) {
    target_ = target;
    temporary_ = target + ".tmp";
    if (!file_.open(temporary_)) {
        temporary_.clear();
        return false;
    }
    first_ = true;
    return true;
}

bool SphRestartWriter::commit() {
    const bool written = file_.close();
    if (!written) return false;
    std::error_code ec;
    std::filesystem::rename(temporary_, target_, ec);
    if (ec) return false;
    temporary_.clear();
    return true;
}

void SphRestartWriter::separate() {
    if (!first_) file_.put_char(' ');
    first_ = false;
}

void SphRestartWriter::put_int(int64_t value) {
    separate();
    file_.put_int(value);
}

void SphRestartWriter::put_real(double value) {
    separate();
    if (std::isnan(value)) {
        file_.put("NaN");
    } else if (std::isinf(value)) {
        file_.put(value > 0.0 ? "Infinity" : "-Infinity");
    } else {
        char digits[32];
        // 17 significant digits: the value read back is the value written.
        const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::scientific, 16);
        file_.put(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
    }
}

void SphRestartWriter::put_bool(bool value) {
    separate();
    file_.put_char(value ? 'T' : 'F');
}

void SphRestartWriter::put_text(std::string_view text) {
    separate();
    text = sph_trim_right(text);
    file_.put_char('"');
    for (char c : text) {
        if (c == '"') file_.put_char('"');
        file_.put_char(c);
    }
    file_.put_char('"');
}

void SphRestartWriter::put_line(std::string_view text) {
    file_.put(text);
    end_record();
}

void SphRestartWriter::end_record() {
    file_.end_line();
    first_ = true;
}

// ---- Record ----

bool SphRestartRecord::get(std::size_t k, int32_t& value) const {
    if (k >= tokens_.size() || tokens_[k].quoted) return false;
    std::string_view t = tokens_[k].text;
    if (!t.empty() && t.front() == '+') t.remove_prefix(1);
    int32_t v = 0;
    const auto result = std::from_chars(t.data(), t.data() + t.size(), v);
    if (result.ec != std::errc() || result.ptr != t.data() + t.size() || t.empty()) return false;
    value = v;
    return true;
}

bool SphRestartRecord::get(std::size_t k, double& value) const {
    if (k >= tokens_.size() || tokens_[k].quoted) return false;
    std::string_view t = tokens_[k].text;
    if (!t.empty() && t.front() == '+') t.remove_prefix(1);
    if (t.empty()) return false;
    double v = 0.0;
    const auto result = std::from_chars(t.data(), t.data() + t.size(), v);
    if (result.ec != std::errc() || result.ptr != t.data() + t.size()) {
        // Written by this system: NaN, Infinity, -Infinity (any case).
        const std::string up = sph_upper(t);
        if (up == "NAN") v = std::nan("");
        else if (up == "INFINITY" || up == "INF") v = HUGE_VAL;
        else if (up == "-INFINITY" || up == "-INF") v = -HUGE_VAL;
        else return false;
    }
    value = v;
    return true;
}

bool SphRestartRecord::get(std::size_t k, bool& value) const {
    if (k >= tokens_.size() || tokens_[k].quoted) return false;
    std::string_view t = tokens_[k].text;
    if (!t.empty() && t.front() == '.') t.remove_prefix(1);
    if (t.empty()) return false;
    const char c = sph_ascii_upper(t.front());
    if (c != 'T' && c != 'F') return false;
    value = c == 'T';
    return true;
}

bool SphRestartRecord::get(std::size_t k, std::string& value) const {
    if (k >= tokens_.size()) return false;
    value.assign(tokens_[k].text);
    return true;
}

// ---- Reader ----

bool SphRestartReader::open(const std::string& path) {
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (!file_) return false;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    size_ = ec ? 0 : static_cast<uint64_t>(size);
    buffer_.resize(std::size_t{1} << 20);
    begin_ = end_ = 0;
    eof_ = false;
    return true;
}

bool SphRestartReader::refill() {
    if (eof_) return false;
    if (begin_ > 0) {
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(begin_), buffer_.begin() + static_cast<std::ptrdiff_t>(end_),
                  buffer_.begin());
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buffer_.size()) buffer_.resize(2 * buffer_.size());
    const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_.get());
    if (got == 0) eof_ = true;
    end_ += got;
    return got > 0;
}

bool SphRestartReader::read_line(std::string_view& line) {
    if (!file_) return false;
    std::size_t scan = begin_;
    for (;;) {
        for (; scan < end_; ++scan)
            if (buffer_[scan] == '\n') {
                std::size_t stop = scan;
                if (stop > begin_ && buffer_[stop - 1] == '\r') --stop;
                line_.assign(buffer_.data() + begin_, stop - begin_);
                begin_ = scan + 1;
                line = line_;
                return true;
            }
        const std::size_t offset = scan - begin_;
        if (!refill()) break;
        scan = begin_ + offset;
    }
    // A last line without its line end.
    if (begin_ == end_) return false;
    std::size_t stop = end_;
    if (buffer_[stop - 1] == '\r') --stop;
    line_.assign(buffer_.data() + begin_, stop - begin_);
    begin_ = end_;
    line = line_;
    return true;
}

bool SphRestartReader::read_record(SphRestartRecord& record) {
    record.tokens_.clear();
    record.unquoted_.clear();
    std::string_view line;
    if (!read_line(line)) return false;
    struct Quoted {
        std::size_t token, offset, length;
    };
    std::vector<Quoted> quoted;
    std::size_t i = 0;
    const auto separator = [](char c) { return c == ' ' || c == ',' || c == '\t'; };
    while (i < line.size()) {
        while (i < line.size() && separator(line[i])) ++i;
        if (i >= line.size()) break;
        if (line[i] == '/') break;  // the rest of the record is absent
        if (line[i] == '"' || line[i] == '\'') {
            const char q = line[i++];
            const std::size_t offset = record.unquoted_.size();
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == q) {
                    if (i + 1 < line.size() && line[i + 1] == q) {
                        record.unquoted_.push_back(q);
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                record.unquoted_.push_back(line[i++]);
            }
            if (!closed) return true;  // an unterminated text ends the readable values
            quoted.push_back({record.tokens_.size(), offset, record.unquoted_.size() - offset});
            record.tokens_.push_back({std::string_view(), true});
            continue;
        }
        const std::size_t start = i;
        while (i < line.size() && !separator(line[i]) && line[i] != '/') ++i;
        record.tokens_.push_back({line.substr(start, i - start), false});
    }
    for (const Quoted& q : quoted)
        record.tokens_[q.token].text = std::string_view(record.unquoted_).substr(q.offset, q.length);
    return true;
}

}  // namespace quorrel
