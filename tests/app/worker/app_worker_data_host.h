// The test host's side of the data block, and a worker run as a child process. Every
// field of the block is read and written at its byte offset, never through the worker's
// structs, so a layout fault on the worker's side cannot hide behind the same fault here.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_worker_host.h"

extern char** environ;

namespace quorrel::test {

// Offsets within the data block, of a header within the block and of a field within a
// header or record.
namespace data {
inline constexpr std::size_t particle_header = 0, particles = 80, force_header = 622672, forces = 622752,
                             header_bytes = 80, record_bytes = 152, records = 4096;
// Header fields.
inline constexpr std::size_t version = 0, capacity = 4, count = 8, rejected_count = 12, nonfinite_count = 16,
                             stale_count = 20, repeated_count = 24, contact_count = 28, total_force = 32,
                             total_moment = 56;
}  // namespace data

// Particle record fields.
namespace particle {
inline constexpr std::size_t particle_id_ext = 0, export_index = 8, internal_index = 12, phase = 16, status = 20,
                             material_id = 24, section_id = 28, body_id = 32, padding = 36, x = 40, v = 64,
                             mass = 88, density = 96, volume = 104, h = 112, contact_radius = 120, pressure = 128,
                             sound_speed = 136, valid_flags = 144, reject_reason = 148;
}  // namespace particle

// Force record fields.
namespace force {
inline constexpr std::size_t particle_id_ext = 0, export_index = 8, internal_index = 12, force = 16, moment = 40,
                             contact_normal = 64, contact_gap = 88, contact_penetration = 96,
                             contact_pressure = 104, source_id = 112, pair_id = 120, load_mode = 128,
                             contact_state = 132, step_id = 136, valid_flags = 140, reject_reason = 144,
                             padding = 148;
}  // namespace force

// Typed access to the bytes of the host's data mapping.
class DataView {
public:
    explicit DataView(unsigned char* bytes) : bytes_(bytes) {}

    template <typename T>
    T get(std::size_t offset) const {
        T v;
        std::memcpy(&v, bytes_ + offset, sizeof v);
        return v;
    }
    template <typename T>
    void set(std::size_t offset, T v) {
        std::memcpy(bytes_ + offset, &v, sizeof v);
    }
    std::int32_t i32(std::size_t offset) const { return get<std::int32_t>(offset); }
    std::int64_t i64(std::size_t offset) const { return get<std::int64_t>(offset); }
    std::uint32_t u32(std::size_t offset) const { return get<std::uint32_t>(offset); }
    double f64(std::size_t offset) const { return get<double>(offset); }
    unsigned char* bytes() const { return bytes_; }

    static std::size_t particle_at(int k) { return data::particles + static_cast<std::size_t>(k) * data::record_bytes; }
    static std::size_t force_at(int k) { return data::forces + static_cast<std::size_t>(k) * data::record_bytes; }

    // A force header as the host writes it before IMPORT_LOADS.
    void set_force_header(std::int32_t version, std::int32_t capacity, std::int32_t count) {
        set(data::force_header + data::version, version);
        set(data::force_header + data::capacity, capacity);
        set(data::force_header + data::count, count);
    }

private:
    unsigned char* bytes_;
};

// A force record as the host means it.
struct ForceIn {
    std::int64_t particle_id_ext = 0;
    std::int32_t export_index = 0, internal_index = 0;
    double force[3] = {0, 0, 0}, moment[3] = {0, 0, 0}, normal[3] = {0, 0, 0};
    double gap = 0, penetration = 0, pressure = 0;
    std::int64_t source_id = 0, pair_id = 0;
    std::int32_t load_mode = 0, contact_state = 0, step_id = 0;
    std::uint32_t valid_flags = 1;
    std::int32_t reject_reason = 0;
};

inline void write_force(DataView& d, int k, const ForceIn& f) {
    const std::size_t at = DataView::force_at(k);
    std::memset(d.bytes() + at, 0, data::record_bytes);
    d.set(at + force::particle_id_ext, f.particle_id_ext);
    d.set(at + force::export_index, f.export_index);
    d.set(at + force::internal_index, f.internal_index);
    for (int c = 0; c < 3; ++c) {
        d.set(at + force::force + 8 * c, f.force[c]);
        d.set(at + force::moment + 8 * c, f.moment[c]);
        d.set(at + force::contact_normal + 8 * c, f.normal[c]);
    }
    d.set(at + force::contact_gap, f.gap);
    d.set(at + force::contact_penetration, f.penetration);
    d.set(at + force::contact_pressure, f.pressure);
    d.set(at + force::source_id, f.source_id);
    d.set(at + force::pair_id, f.pair_id);
    d.set(at + force::load_mode, f.load_mode);
    d.set(at + force::contact_state, f.contact_state);
    d.set(at + force::step_id, f.step_id);
    d.set(at + force::valid_flags, f.valid_flags);
    d.set(at + force::reject_reason, f.reject_reason);
}

// One exported particle as the host reads it.
struct ParticleOut {
    std::int64_t particle_id_ext;
    std::int32_t export_index, internal_index, phase, status, material_id, section_id, body_id;
    std::uint32_t padding;
    double x[3], v[3];
    double mass, density, volume, h, contact_radius, pressure, sound_speed;
    std::uint32_t valid_flags;
    std::int32_t reject_reason;
};

inline ParticleOut read_particle(const DataView& d, int k) {
    const std::size_t at = DataView::particle_at(k);
    ParticleOut p{};
    p.particle_id_ext = d.i64(at + particle::particle_id_ext);
    p.export_index = d.i32(at + particle::export_index);
    p.internal_index = d.i32(at + particle::internal_index);
    p.phase = d.i32(at + particle::phase);
    p.status = d.i32(at + particle::status);
    p.material_id = d.i32(at + particle::material_id);
    p.section_id = d.i32(at + particle::section_id);
    p.body_id = d.i32(at + particle::body_id);
    p.padding = d.u32(at + particle::padding);
    for (int c = 0; c < 3; ++c) {
        p.x[c] = d.f64(at + particle::x + 8 * c);
        p.v[c] = d.f64(at + particle::v + 8 * c);
    }
    p.mass = d.f64(at + particle::mass);
    p.density = d.f64(at + particle::density);
    p.volume = d.f64(at + particle::volume);
    p.h = d.f64(at + particle::h);
    p.contact_radius = d.f64(at + particle::contact_radius);
    p.pressure = d.f64(at + particle::pressure);
    p.sound_speed = d.f64(at + particle::sound_speed);
    p.valid_flags = d.u32(at + particle::valid_flags);
    p.reject_reason = d.i32(at + particle::reject_reason);
    return p;
}

// The acknowledgement fields of the command block.
struct Ack {
    int sequence = -1, state = -1, error = -1;
    std::string message;
};

// `quorrel --zenvik-worker` on a host's objects, started in `directory` (its step output
// and, through "--log", its reports go there). The destructor ends a worker still running.
class WorkerProcess {
public:
    WorkerProcess(Host& host, const std::string& deck, const std::string& directory, int timeout_ms = 10000)
        : host_(host), directory_(directory) {
        const std::string out_path = directory + "/worker.out";
        const std::string err_path = directory + "/worker.err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> args{QUORREL_EXE,   "--zenvik-worker", "--case",       deck,
                                      "--ipc-name",  host.base(),       "--log",        directory + "/worker.log",
                                      "--timeout-ms", std::to_string(timeout_ms)};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, QUORREL_EXE, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;
    ~WorkerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    // READY: the first post of the done event.
    bool ready(int ms = 10000) { return host_.await_done(ms); }

    // Sends a command and waits for its acknowledgement; a sequence of -1 when none came.
    Ack command(int sequence, int command, int step_id = 0, double dt = 0.0, int ms = 10000) {
        host_.send(sequence, command, step_id, dt);
        Ack ack;
        if (!host_.await_done(ms)) return ack;
        ack.sequence = host_.i32(block::ack_sequence);
        ack.state = host_.i32(block::worker_state);
        ack.error = host_.i32(block::error_code);
        ack.message = host_.message();
        return ack;
    }

    // The exit status once the worker ended within `ms`, else -1.
    int exit_status(int ms = 10000) {
        if (pid_ <= 0) return -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int wstatus = 0;
            const pid_t done = waitpid(pid_, &wstatus, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
            }
            if (done < 0 || std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::string file(const std::string& name) const {
        std::ifstream in(directory_ + "/" + name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The lines of a report file without their CR LF, header first.
    std::vector<std::string> report(const std::string& name) const {
        std::vector<std::string> lines;
        std::istringstream in(file(name));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

private:
    Host& host_;
    std::string directory_;
    pid_t pid_ = -1;
};

}  // namespace quorrel::test
