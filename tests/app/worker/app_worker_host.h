// A coupling host for tests: creates the four objects a worker attaches to, writes
// commands and reads acknowledgements by byte offset. It never uses the worker's own
// structs, so a layout fault on the worker's side cannot hide behind the same fault here.
#pragma once

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace quorrel::test {

// Offsets of the command block's fields.
namespace block {
inline constexpr std::size_t version = 0, sequence = 4, command = 8, substep_id = 12, iteration_id = 16,
                             step_id = 20, dt = 24, ack_sequence = 32, worker_state = 36, error_code = 40,
                             message = 44, message_bytes = 128, bytes = 176;
}  // namespace block
inline constexpr std::size_t data_block_bytes = 1245344;

// A base name no other test or run uses: the process id and a counter.
inline std::string unique_ipc_name(const char* tag) {
    static int counter = 0;
    return std::string("qwt") + std::to_string(getpid()) + "_" + std::to_string(++counter) + tag;
}

// Names in /dev/shm that contain `text` (semaphores appear there as "sem.<name>").
inline std::vector<std::string> shm_entries_with(const std::string& text) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
        if (entry.path().filename().string().find(text) != std::string::npos)
            found.push_back(entry.path().filename().string());
    return found;
}

inline bool shm_exists(const std::string& name) {
    const int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

inline bool sem_exists(const std::string& name) {
    sem_t* s = sem_open(("/" + name).c_str(), 0);
    if (s == SEM_FAILED) return false;
    sem_close(s);
    return true;
}

// Which objects a host creates, and how large.
struct HostLayout {
    bool command = true, data = true, command_event = true, done_event = true;
    std::size_t command_bytes = block::bytes, data_bytes = data_block_bytes;
    std::string command_name, data_name;  // empty: base + ".command", base + ".data"
};

inline HostLayout layout_with(bool command, bool data, bool command_event, bool done_event,
                              std::size_t command_bytes = block::bytes, std::size_t data_bytes = data_block_bytes) {
    HostLayout l;
    l.command = command;
    l.data = data;
    l.command_event = command_event;
    l.done_event = done_event;
    l.command_bytes = command_bytes;
    l.data_bytes = data_bytes;
    return l;
}

class Host {
public:
    using Layout = HostLayout;

    explicit Host(std::string base) : base_(std::move(base)) {}
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    ~Host() { destroy(); }

    const std::string& base() const { return base_; }
    std::string command_name() const { return layout_.command_name.empty() ? base_ + ".command" : layout_.command_name; }
    std::string data_name() const { return layout_.data_name.empty() ? base_ + ".data" : layout_.data_name; }
    std::string command_event_name() const { return base_ + ".command_event"; }
    std::string done_event_name() const { return base_ + ".done_event"; }

    // Removes stale objects of our names, then creates the ones the layout asks for:
    // zero-filled mappings, semaphores at 0.
    bool create(const Layout& layout = Layout()) {
        layout_ = layout;
        unlink_all();
        if (layout.command && !make_mapping(command_name(), layout.command_bytes, command_fd_, command_)) return false;
        if (layout.data && !make_mapping(data_name(), layout.data_bytes, data_fd_, data_)) return false;
        if (layout.command_event && !make_event(command_event_name(), command_event_)) return false;
        if (layout.done_event && !make_event(done_event_name(), done_event_)) return false;
        return true;
    }

    // Opens the objects of our names that another host left behind (it died before it
    // could remove them), to read what they hold; destroy() then removes them.
    bool attach_existing(const Layout& layout = Layout()) {
        layout_ = layout;
        if (layout.command && !open_mapping(command_name(), layout.command_bytes, command_fd_, command_)) return false;
        if (layout.command_event && !open_event(command_event_name(), command_event_)) return false;
        if (layout.done_event && !open_event(done_event_name(), done_event_)) return false;
        layout_.data = false;  // not mapped here
        return true;
    }

    // Unmaps, closes and removes everything, whatever happened.
    void destroy() {
        if (command_ != nullptr) munmap(command_, layout_.command_bytes);
        if (data_ != nullptr) munmap(data_, layout_.data_bytes);
        if (command_fd_ >= 0) close(command_fd_);
        if (data_fd_ >= 0) close(data_fd_);
        if (command_event_ != SEM_FAILED) sem_close(command_event_);
        if (done_event_ != SEM_FAILED) sem_close(done_event_);
        command_ = data_ = nullptr;
        command_fd_ = data_fd_ = -1;
        command_event_ = done_event_ = SEM_FAILED;
        unlink_all();
    }

    // Cuts the data object to `bytes`, as a careless host may while a worker is attached.
    // The host's own view is unmapped first: it would fault past the new end too.
    bool cut_data(std::size_t bytes) {
        if (data_fd_ < 0) return false;
        if (data_ != nullptr) munmap(data_, layout_.data_bytes);
        data_ = nullptr;
        return ftruncate(data_fd_, static_cast<off_t>(bytes)) == 0;
    }

    unsigned char* command_bytes() { return command_; }
    unsigned char* data_bytes() { return data_; }

    std::int32_t i32(std::size_t offset) const {
        std::int32_t v;
        std::memcpy(&v, command_ + offset, sizeof v);
        return v;
    }
    void set_i32(std::size_t offset, std::int32_t v) { std::memcpy(command_ + offset, &v, sizeof v); }
    double f64(std::size_t offset) const {
        double v;
        std::memcpy(&v, command_ + offset, sizeof v);
        return v;
    }
    void set_f64(std::size_t offset, double v) { std::memcpy(command_ + offset, &v, sizeof v); }
    // The message field up to its first zero, and whether every byte after that is zero.
    std::string message() const {
        const char* m = reinterpret_cast<const char*>(command_ + block::message);
        return std::string(m, strnlen(m, block::message_bytes));
    }
    bool message_zero_padded() const {
        const std::size_t n = message().size();
        for (std::size_t i = n; i < block::message_bytes; ++i)
            if (command_[block::message + i] != 0) return false;
        return true;
    }

    // Writes a command (substep and iteration ids carry noise the worker must ignore) and
    // posts the command event once.
    void send(int sequence, int command, int step_id = 0, double dt = 0.0, int version = 1) {
        set_i32(block::version, version);
        set_i32(block::sequence, sequence);
        set_i32(block::command, command);
        set_i32(block::substep_id, -123456);
        set_i32(block::iteration_id, 0x7fffffff);
        set_i32(block::step_id, step_id);
        set_f64(block::dt, dt);
        sem_post(command_event_);
    }

    // Takes one post of the done event, waiting at most `ms`.
    bool await_done(int ms) { return wait(done_event_, ms); }
    // Posts of the done event nobody has taken yet.
    int done_posts() const {
        int value = -1;
        if (done_event_ != SEM_FAILED) sem_getvalue(done_event_, &value);
        return value;
    }
    int command_posts() const {
        int value = -1;
        if (command_event_ != SEM_FAILED) sem_getvalue(command_event_, &value);
        return value;
    }

    static bool wait(sem_t* event, int ms) {
        if (event == SEM_FAILED) return false;
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        for (;;) {
            if (sem_clockwait(event, CLOCK_MONOTONIC, &deadline) == 0) return true;
            if (errno != EINTR) return false;
        }
    }

private:
    static bool make_mapping(const std::string& name, std::size_t bytes, int& fd, unsigned char*& view) {
        fd = shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) return false;
        if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) return false;
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) return false;
        view = static_cast<unsigned char*>(p);
        return true;
    }
    static bool open_mapping(const std::string& name, std::size_t bytes, int& fd, unsigned char*& view) {
        fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
        if (fd < 0) return false;
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) return false;
        view = static_cast<unsigned char*>(p);
        return true;
    }
    static bool open_event(const std::string& name, sem_t*& event) {
        event = sem_open(("/" + name).c_str(), 0);
        return event != SEM_FAILED;
    }
    static bool make_event(const std::string& name, sem_t*& event) {
        event = sem_open(("/" + name).c_str(), O_CREAT | O_EXCL, 0600, 0);
        return event != SEM_FAILED;
    }
    void unlink_all() const {
        shm_unlink(("/" + command_name()).c_str());
        shm_unlink(("/" + data_name()).c_str());
        sem_unlink(("/" + command_event_name()).c_str());
        sem_unlink(("/" + done_event_name()).c_str());
    }

    std::string base_;
    Layout layout_;
    int command_fd_ = -1, data_fd_ = -1;
    unsigned char* command_ = nullptr;
    unsigned char* data_ = nullptr;
    sem_t* command_event_ = SEM_FAILED;
    sem_t* done_event_ = SEM_FAILED;
};

}  // namespace quorrel::test
