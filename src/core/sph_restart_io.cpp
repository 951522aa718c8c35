#include "core/sph_restart_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

#include "core/sph_file.h"
#include "core/sph_text.h"

namespace quorrel {

namespace {

// Names tried for the temporary file before giving up.
constexpr int max_temporary_names = 100;
// The temporary file's name is the target's and a dot and six characters.
constexpr std::size_t temporary_suffix_length = 7;

// The name the kernel gives an open descriptor: the name links led it to. Empty when
// /proc cannot tell.
std::string name_of(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string name(PATH_MAX, '\0');
    const ssize_t got = ::readlink(link.c_str(), name.data(), name.size());
    if (got <= 0 || static_cast<std::size_t>(got) >= name.size()) return {};
    name.resize(static_cast<std::size_t>(got));
    return name;
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

// What the temporary names beside `path` start with: the whole name, or as much of its
// last part as leaves room for the suffix within the directory's name limit.
std::string temporary_stem(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::string dir = base == 0 ? "." : path.substr(0, base);
    const long limit = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    const std::size_t name_max = limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
    if (path.size() - base + temporary_suffix_length <= name_max || name_max <= temporary_suffix_length) return path;
    return path.substr(0, base + name_max - temporary_suffix_length);
}

// A new file beside `path` that nothing else uses, created exclusively with `mode`
// (before the umask); its name goes to `name`. -1 when none can be made.
int create_temporary(const std::string& path, unsigned mode, std::string& name) {
    const std::string stem = temporary_stem(path);
    for (int attempt = 0; attempt < max_temporary_names; ++attempt) {
        name = stem + "." + unique_suffix(static_cast<unsigned>(attempt));
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    name.clear();
    return -1;
}

// The owner, group and permission bits of `status` given to the new file `fd`. The owner
// and group only where this process may set them; the bits always, after the owner (a
// change of owner may clear the set-id bits).
bool take_over_mode(int fd, const struct stat& status) {
    if (status.st_uid != ::geteuid() || status.st_gid != ::getegid()) (void)::fchown(fd, status.st_uid, status.st_gid);
    return ::fchmod(fd, status.st_mode & 07777) == 0;
}

// What a target name stands for, with links followed by the kernel, so that its own
// refusals (a link another user planted in a sticky directory) apply: the name of the
// file the links finally give and, when it exists, what it is. `created` turns true when
// the name was a link to a file not there yet, which the kernel has now created empty.
bool resolve(const std::string& target, std::string& name, bool& found, struct stat& status, bool& created) {
    found = created = false;
    int fd = ::open(target.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) return false;
        struct stat link {};
        if (::lstat(target.c_str(), &link) != 0) {
            if (errno != ENOENT) return false;
            name = target;  // nothing there: a new file of this name
            return true;
        }
        if (!S_ISLNK(link.st_mode)) return false;
        // A link to a name not there yet: the kernel follows it and makes the file.
        fd = ::open(target.c_str(), O_RDONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0) return false;
        created = true;
    }
    found = ::fstat(fd, &status) == 0;
    name = found ? name_of(fd) : std::string();
    ::close(fd);
    return found && !name.empty();
}

// Writes all of `text` to `fd`; false when the system takes less.
bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

}  // namespace

// ---- Writer ----

SphRestartWriter::~SphRestartWriter() { discard(); }

bool SphRestartWriter::open(const std::string& target) {
    first_ = true;
    temporary_.clear();
    created_.clear();
    if (target.empty()) return false;
    bool found = false, created = false;
    struct stat status {};
    if (!resolve(target, target_, found, status, created)) {
        if (created && !target_.empty()) (void)::unlink(target_.c_str());
        return false;
    }
    if (created) created_ = target_;
    if (found && S_ISCHR(status.st_mode)) {
        // A device is written in place, provided the name still gives that device.
        const int fd = sph_file_open_write(target_, SphWriteOptions{.truncate = false});
        struct stat opened {};
        if (fd >= 0 && (::fstat(fd, &opened) != 0 || opened.st_dev != status.st_dev || opened.st_ino != status.st_ino)) {
            ::close(fd);
            return false;
        }
        return adopt(fd);
    }
    // A directory, FIFO, socket or block device is never opened for writing.
    if (found && !S_ISREG(status.st_mode)) return false;
    // The new file is no more open than the one it replaces while it is written.
    const int fd = create_temporary(target_, found ? 0600 : 0666, temporary_);
    if (fd >= 0 && found && !take_over_mode(fd, status)) {
        ::close(fd);
    } else if (adopt(fd)) {
        return true;
    }
    discard();
    return false;
}

bool SphRestartWriter::adopt(int fd) {
    fd_ = fd;
    failed_ = false;
    used_ = 0;
    if (!block_) block_ = std::make_unique_for_overwrite<char[]>(block_size);
    return fd_ >= 0;
}

void SphRestartWriter::flush() {
    if (!failed_ && !write_all(fd_, std::string_view(block_.get(), used_))) failed_ = true;
    used_ = 0;
}

void SphRestartWriter::emit(std::string_view text) {
    if (text.size() > block_size) {
        flush();
        if (!failed_ && !write_all(fd_, text)) failed_ = true;
        return;
    }
    std::memcpy(room(text.size()), text.data(), text.size());
    used_ += text.size();
}

bool SphRestartWriter::close_stream() {
    if (fd_ < 0) return false;
    flush();
    if (::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    return !failed_;
}

void SphRestartWriter::discard() {
    (void)close_stream();
    if (!temporary_.empty()) (void)::unlink(temporary_.c_str());
    temporary_.clear();
    // An empty file the kernel made at a link's end for this write goes too.
    struct stat status {};
    if (!created_.empty() && ::lstat(created_.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0)
        (void)::unlink(created_.c_str());
    created_.clear();
}

bool SphRestartWriter::commit() {
    const bool written = close_stream();
    if (!written) return false;
    if (temporary_.empty()) return true;  // written in place
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return false;
    temporary_.clear();
    created_.clear();
    return true;
}

void SphRestartWriter::separate() {
    if (!first_) emit_char(' ');
    first_ = false;
}

void SphRestartWriter::put_int(int64_t value) {
    separate();
    char* at = room(20);  // the longest 64-bit integer
    used_ += static_cast<std::size_t>(std::to_chars(at, at + 20, value).ptr - at);
}

void SphRestartWriter::put_real(double value) {
    separate();
    if (std::isnan(value)) {
        emit("NaN");
    } else if (std::isinf(value)) {
        emit(value > 0.0 ? "Infinity" : "-Infinity");
    } else {
        // 17 significant digits: the value read back is the value written. At most 24
        // characters: a sign, 17 digits, the point and a four-character exponent.
        char* at = room(24);
        used_ += static_cast<std::size_t>(std::to_chars(at, at + 24, value, std::chars_format::scientific, 16).ptr - at);
    }
}

void SphRestartWriter::put_bool(bool value) {
    separate();
    emit_char(value ? 'T' : 'F');
}

void SphRestartWriter::put_text(std::string_view text) {
    separate();
    text = sph_trim_right(text);
    emit_char('"');
    for (char c : text) {
        if (c == '"') emit_char('"');
        emit_char(c);
    }
    emit_char('"');
}

void SphRestartWriter::put_line(std::string_view text) {
    emit(text);
    end_record();
}

void SphRestartWriter::end_record() {
    emit("\r\n");
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

bool SphRestartReader::open(const std::string& path, SphFileOutcome* outcome) {
    file_.reset();
    const int fd = sph_file_open_read(path, outcome);
    if (fd < 0) {
        // A socket refuses the open itself; it is still a kind of file that is never read.
        struct stat status {};
        if (outcome != nullptr && *outcome == SphFileOutcome::failed && ::stat(path.c_str(), &status) == 0 &&
            !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
            *outcome = SphFileOutcome::not_regular;
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        if (outcome != nullptr) *outcome = SphFileOutcome::failed;
        return false;
    }
    file_.reset(::fdopen(fd, "rb"));
    if (!file_) {
        ::close(fd);
        if (outcome != nullptr) *outcome = SphFileOutcome::failed;
        return false;
    }
    size_ = status.st_size > 0 ? static_cast<uint64_t>(status.st_size) : 0;
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
