#include "output/sph_restart_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/sph_text.h"

namespace quorrel {

namespace {

namespace fs = std::filesystem;

// Links followed at most before a chain counts as a loop (as the system's own limit).
constexpr int max_link_hops = 40;
// Names tried for the temporary file before giving up.
constexpr int max_temporary_names = 100;

// `path` followed through symbolic links to the name they finally give, which may not
// exist yet; `found` tells whether it does, and `status` is what it is then. False for a
// loop or a link that cannot be read.
bool resolve_links(std::string path, std::string& resolved, bool& found, struct stat& status) {
    for (int hop = 0; hop <= max_link_hops; ++hop) {
        found = ::lstat(path.c_str(), &status) == 0;
        if (!found || !S_ISLNK(status.st_mode)) {
            resolved = std::move(path);
            return true;
        }
        std::error_code ec;
        const fs::path link = fs::read_symlink(path, ec);
        if (ec) return false;
        path = link.is_absolute() ? link.string() : (fs::path(path).parent_path() / link).string();
    }
    return false;
}

// Six name characters that differ between processes, times and attempts (the exclusive
// creation, not the name, is what keeps every other file safe).
std::string unique_suffix(unsigned attempt) {
    uint64_t x = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
                 static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 (uint64_t{attempt} + 1) * 0xBF58476D1CE4E5B9ull;
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix(6, 'A');
    for (char& c : suffix) {
        x ^= x >> 31;
        x *= 0x94D049BB133111EBull;
        c = alphabet[static_cast<std::size_t>(x % alphabet.size())];
        x ^= x >> 29;
    }
    return suffix;
}

// A new file beside `path` that nothing else uses (created exclusively, with the mode an
// ordinary new file gets); its name goes to `name`. -1 when none can be made.
int create_temporary(const std::string& path, std::string& name) {
    for (int attempt = 0; attempt < max_temporary_names; ++attempt) {
        name = path + "." + unique_suffix(static_cast<unsigned>(attempt));
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    name.clear();
    return -1;
}

// The file `status` describes, opened for writing without truncation, provided it is
// still that file and still no regular file or directory. -1 otherwise.
int open_in_place(const std::string& path, const struct stat& status) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || opened.st_dev != status.st_dev || opened.st_ino != status.st_ino ||
        S_ISREG(opened.st_mode) || S_ISDIR(opened.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::FILE* stream_of(int fd) {
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) ::close(fd);
    return file;
}

}  // namespace

// ---- Writer ----

SphRestartWriter::~SphRestartWriter() {
    if (file_.is_open()) (void)file_.close();
    if (!temporary_.empty()) (void)::unlink(temporary_.c_str());
}

bool SphRestartWriter::open(const std::string& target) {
    first_ = true;
    temporary_.clear();
    if (target.empty()) return false;
    bool found = false;
    struct stat status {};
    if (!resolve_links(target, target_, found, status)) return false;
    // A directory takes the ordinary way, so its rename fails and nothing is left behind.
    if (found && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
        return file_.adopt(stream_of(open_in_place(target_, status)));
    if (file_.adopt(stream_of(create_temporary(target_, temporary_)))) return true;
    if (!temporary_.empty()) (void)::unlink(temporary_.c_str());
    temporary_.clear();
    return false;
}

bool SphRestartWriter::commit() {
    const bool written = file_.close();
    if (!written) return false;
    if (temporary_.empty()) return true;  // written in place
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return false;
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

namespace {

// What ends a bare value: a separator (blank, comma, tab) or a slash.
enum CharKind : unsigned char { ordinary, separator, slash };

constexpr std::array<unsigned char, 256> char_kinds = [] {
    std::array<unsigned char, 256> kinds{};
    kinds[static_cast<unsigned char>(' ')] = kinds[static_cast<unsigned char>(',')] =
        kinds[static_cast<unsigned char>('\t')] = separator;
    kinds[static_cast<unsigned char>('/')] = slash;
    return kinds;
}();

}  // namespace

bool SphRestartReader::open(const std::string& path) {
    file_.reset();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat status {};
    // A directory opens on Linux and then fails to read: refuse it as unopenable.
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        ::close(fd);
        return false;
    }
    file_.reset(::fdopen(fd, "rb"));
    if (!file_) {
        ::close(fd);
        return false;
    }
    size_ = S_ISREG(status.st_mode) && status.st_size > 0 ? static_cast<uint64_t>(status.st_size) : 0;
    buffer_.resize(std::size_t{1} << 20);
    begin_ = end_ = 0;
    eof_ = stopped_ = false;
    return true;
}

// Moves the unread bytes to the front and reads more behind them; false when nothing
// more came.
bool SphRestartReader::refill() {
    if (eof_) return false;
    if (begin_ > 0) {
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(begin_), buffer_.begin() + static_cast<std::ptrdiff_t>(end_),
                  buffer_.begin());
        end_ -= begin_;
        begin_ = 0;
    }
    const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_.get());
    if (got == 0) eof_ = true;
    end_ += got;
    return got > 0;
}

bool SphRestartReader::read_line(std::string_view& line) {
    static_assert(sph_restart_line_limit + 2 < (std::size_t{1} << 20), "a whole line and its end fit the buffer");
    if (!file_ || stopped_) return false;
    // The line end of an acceptable line is at most this far from its start (CR included).
    constexpr std::size_t reach = sph_restart_line_limit + 1;
    std::size_t scan = begin_;
    bool ended = false;
    for (;;) {
        const std::size_t last = std::min(end_, begin_ + reach + 1);
        const void* found = scan < last ? std::memchr(buffer_.data() + scan, '\n', last - scan) : nullptr;
        if (found != nullptr) {
            scan = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
            ended = true;
            break;
        }
        scan = last;
        if (scan - begin_ > reach) break;  // too long already
        const std::size_t offset = scan - begin_;
        if (!refill()) break;
        scan = begin_ + offset;
    }
    if (!ended && begin_ == end_) return false;  // the end of the file
    std::size_t stop = scan;
    if (stop > begin_ && buffer_[stop - 1] == '\r') --stop;
    if (stop - begin_ > sph_restart_line_limit) {
        stopped_ = true;
        return false;
    }
    line = std::string_view(buffer_.data() + begin_, stop - begin_);
    begin_ = ended ? scan + 1 : end_;
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
    const auto kind = [&line](std::size_t k) { return char_kinds[static_cast<unsigned char>(line[k])]; };
    while (i < line.size()) {
        while (i < line.size() && kind(i) == separator) ++i;
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
        while (i < line.size() && kind(i) == ordinary) ++i;
        record.tokens_.push_back({line.substr(start, i - start), false});
    }
    for (const Quoted& q : quoted)
        record.tokens_[q.token].text = std::string_view(record.unquoted_).substr(q.offset, q.length);
    return true;
}

}  // namespace quorrel
