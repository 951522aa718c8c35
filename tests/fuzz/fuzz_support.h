// What the fuzz harnesses share: a scratch directory of their own, the input written to
// a file in it, and the checks every failing call must pass.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "core/sph_control.h"
#include "interface/sph_api.h"

namespace quorrel::fuzz {

// Larger models are read but not built, or built but not stepped: the neighbour search of
// thousands of particles packed into one cell is quadratic, and no single input may take
// a second.
inline constexpr int32_t build_particle_limit = 1024;
inline constexpr int32_t step_particle_limit = 256;


// Prints what went wrong and aborts, so that the fuzzer keeps the input.
[[noreturn]] inline void fault(const char* what, int status) {
    int32_t code = 0;
    char message[257] = {};
    quorrel::sph_get_last_error(code, message, 256);
    std::fprintf(stderr, "fuzz fault: %s (status %d, code %d, message \"%.256s\")\n", what, status, code, message);
    std::abort();
}

// A failure must be recorded: the error state holds the returned code and a message.
inline int checked(int status, const char* what) {
    if (status == 0) return 0;
    int32_t code = 0;
    char message[257] = {};
    quorrel::sph_get_last_error(code, message, 256);
    if (code != status) fault(what, status);
    bool blank = true;
    for (std::size_t k = 0; k < 256 && message[k] != '\0'; ++k)
        if (message[k] != ' ') blank = false;
    if (blank) fault(what, status);
    return status;
}

inline int32_t particle_count() {
    int32_t count = 0;
    if (quorrel::sph_get_particle_count(count) != 0) fault("no particle count", 0);
    return count;
}

// One directory per process under TMPDIR (else /tmp), named for the process and removed at
// exit. Parallel fuzzing jobs each get their own. A fault aborts before the removal, so
// each new process first removes the directories of processes that are gone.
class Scratch {
public:
    Scratch() {
        const char* base = std::getenv("TMPDIR");
        const std::string parent = base != nullptr && *base != '\0' ? base : "/tmp";
        remove_abandoned(parent);
        std::string pattern = parent + "/" + prefix + std::to_string(getpid()) + "_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir_ = pattern;
        output_ = dir_ + "/out";
        std::filesystem::create_directory(output_);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string path(const char* name) const { return dir_ + "/" + name; }
    const std::string& output() const { return output_; }

    // Writes the bytes as they are; aborts when the disk refuses, which no input causes.
    void write(const std::string& file, const uint8_t* data, std::size_t size) const {
        std::FILE* f = std::fopen(file.c_str(), "wb");
        if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
            std::perror(file.c_str());
            std::abort();
        }
    }

    // Empties the output directory between inputs, so step files cannot pile up.
    void clear_output() const {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(output_, ec))
            std::filesystem::remove_all(entry.path(), ec);
    }

private:
    static constexpr const char* prefix = "quorrel_fuzz_";

    // Directories "quorrel_fuzz_<pid>_..." whose process no longer runs.
    static void remove_abandoned(const std::string& parent) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) != 0) continue;
            const std::size_t start = std::strlen(prefix), end = name.find('_', start);
            if (end == std::string::npos || end == start) continue;
            const std::string digits = name.substr(start, end - start);
            if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) continue;
            const pid_t pid = static_cast<pid_t>(std::stol(digits));
            if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) std::filesystem::remove_all(entry.path(), ec);
        }
    }

    std::string dir_, output_;
};

inline Scratch& scratch() {
    static Scratch s;
    return s;
}

// Step output goes wherever the input says; send it to the scratch directory instead.
inline void redirect_output() {
    if (quorrel::sph_control.output_enabled)
        if (checked(quorrel::sph_set_output_directory(scratch().output()), "set output directory") != 0)
            fault("the scratch output directory was refused", 0);
}

// What the queries show of the particles, compared bit for bit (a NaN equals itself).
struct ParticleSnapshot {
    int32_t count = 0;
    std::vector<int32_t> ints;
    std::vector<double> reals;

    static ParticleSnapshot take() {
        ParticleSnapshot s;
        int32_t capacity = 0, ndim = 0;
        if (quorrel::sph_get_particle_state_capacity(capacity, ndim) != 0) fault("no particle state capacity", 0);
        const std::size_t n = static_cast<std::size_t>(std::max(capacity, 1));
        s.ints.assign(5 * n, 0);
        s.reals.assign(14 * n, 0.0);
        int32_t* i = s.ints.data();
        double* r = s.reals.data();
        if (quorrel::sph_get_particle_state(capacity, i, i + n, i + 2 * n, i + 3 * n, i + 4 * n, r, r + 3 * n,
                                            r + 6 * n, r + 9 * n, r + 10 * n, r + 11 * n, r + 12 * n, r + 13 * n,
                                            s.count) != 0)
            fault("no particle state", 0);
        return s;
    }
    bool has_nonfinite_position() const {
        for (std::size_t k = 0; k < 3 * static_cast<std::size_t>(count); ++k)
            if (!std::isfinite(reals[k])) return true;
        return false;
    }
    // Aborts naming the first value of a particle that is not finite.
    void expect_finite(const char* after) const {
        static constexpr struct {
            const char* name;
            std::size_t offset, width;  // block start in units of the capacity, values a particle
        } fields[] = {{"position", 0, 3},    {"velocity", 3, 3},        {"acceleration", 6, 3},
                      {"density", 9, 1},     {"pressure", 10, 1},       {"internal energy", 11, 1},
                      {"temperature", 12, 1}, {"smoothing length", 13, 1}};
        const std::size_t n = reals.size() / 14;
        for (const auto& f : fields)
            for (std::size_t p = 0; p < static_cast<std::size_t>(count); ++p)
                for (std::size_t c = 0; c < f.width; ++c) {
                    const double value = reals[f.offset * n + f.width * p + c];
                    if (std::isfinite(value)) continue;
                    std::fprintf(stderr, "fuzz fault: particle %zu (node %d) %s[%zu] = %g after %s\n", p,
                                 static_cast<int>(ints[p]), f.name, c, value, after);
                    std::abort();
                }
    }
    bool operator==(const ParticleSnapshot& o) const {
        return count == o.count && ints == o.ints && reals.size() == o.reals.size() &&
               (reals.empty() || std::memcmp(reals.data(), o.reals.data(), reals.size() * sizeof(double)) == 0);
    }
};

// The code and message of the last failure, or of none.
inline std::string last_error() {
    int32_t code = 0;
    char message[257] = {};
    quorrel::sph_get_last_error(code, message, 256);
    return std::to_string(code) + " " + message;
}

// One step of a built model, with a step no larger than the stable one and bounded.
inline int one_step() {
    double dt = 0.0;
    if (int st = checked(quorrel::sph_estimate_stable_dt(dt), "estimate stable dt")) return st;
    if (!(dt > 0.0) || !(dt < 1.0e-3)) dt = 1.0e-3;
    return checked(quorrel::sph_advance_explicit(dt), "advance");
}

}  // namespace quorrel::fuzz
