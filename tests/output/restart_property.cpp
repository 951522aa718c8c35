// A run continued from a restart file is the run that never stopped, to the bit.
//
// Usage: quorrel_restart_property <deck> <N> <k> <accel> <speed> <scratch>
//
// The program runs itself three times, each in a fresh process with its own working
// directory under <scratch> (every run writes its step output into "out" there, the
// directory the deck names, so the restart files of the runs hold the same text):
//   whole   N steps of the deck; the restart file final.rst after step N.
//   first   k steps; then the host's imports for step k + 1 and the restart file state.rst
//           (so the file holds buffered forces, motion targets and contact states).
//   second  reads state.rst and takes steps k + 1 .. N; final.rst after step N.
// Every step is driven through the C interface: the host's imports, the stable-step
// estimate, then the advance by the step the whole run took (its steps are written to
// whole/dt.txt in hexadecimal, exactly). Then it compares: every particle CSV, summary CSV
// and VTU file of the whole run equals the file of the same name written by first (steps
// up to k) or second (steps after k), neither writes any other step, second's PVD lists
// exactly the whole run's entries after step k and first's those up to k, and the two
// final.rst files are equal.
//
// The host works on the deck's coupling regions by name: Skin (facet pressures, facet
// loads and contact states, all for the host step s), Push (particle forces proportional
// to the particle masses), Left and Right (velocity targets along -x and +x), Pin (a
// position target a little beside the particle's current position). <accel> and <speed>
// scale the forces and targets to the model. Facet imports need the shell state, which a
// restart file does not hold, so the host stops them once a run has been restarted: in all
// three runs they are applied only for steps up to k + 1.
//
// Exit status 0 when everything matches, 1 on a difference (each one is printed), 2 on a
// usage or setup error.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "quorrel.h"

namespace {

namespace fs = std::filesystem;

// The interface's step when no deck has set one: the cap of every estimate after a
// restart, since the file does not hold the deck's step.
constexpr double default_dt = 1.0e-6;

[[noreturn]] void fail_call(const char* what, int status) {
    int code = 0;
    char message[256];
    (void)quorrel_get_last_error(&code, message, static_cast<int>(sizeof message));
    std::fprintf(stderr, "%s failed with %d: code %d, \"%s\"\n", what, status, code, message);
    std::exit(2);
}

void call(const char* what, int status) {
    if (status != 0) fail_call(what, status);
}

int region_named(const char* wanted) {
    int count = 0;
    call("region count", quorrel_coupling_get_region_count(&count));
    for (int r = 1; r <= count; ++r) {
        char name[64];
        int type = 0, export_mode = 0, import_mode = 0, enabled = 0, particles = 0, facets = 0;
        call("region info", quorrel_coupling_get_region_info(r, name, static_cast<int>(sizeof name), &type,
                                                             &export_mode, &import_mode, &enabled, &particles,
                                                             &facets));
        if (std::strcmp(name, wanted) == 0) return r;
    }
    return 0;
}

struct Members {
    int count = 0;
    std::vector<double> scalars, vectors;  // 7 and 9 per member
};

Members export_particles(int region) {
    Members m;
    const int capacity = 64;
    std::vector<int> ids(capacity), indices(capacity), phases(capacity), statuses(capacity), materials(capacity),
        sections(capacity);
    m.scalars.resize(7 * capacity);
    m.vectors.resize(9 * capacity);
    call("export particles", quorrel_coupling_export_particles(region, capacity, &m.count, ids.data(), indices.data(),
                                                               phases.data(), statuses.data(), materials.data(),
                                                               sections.data(), m.scalars.data(), m.vectors.data()));
    return m;
}

// The host's data for step s, in the order a host sends them: first the imports that carry
// the host step (a new step number discards what is buffered), then the others.
void host_imports(int s, bool facets, double accel, double speed) {
    if (const int skin = region_named("Skin"); skin != 0 && facets) {
        const int capacity = 64;
        std::vector<int> ids(capacity), particles(capacity), materials(capacity), sections(capacity);
        std::vector<double> vectors(9 * capacity), areas(capacity);
        int n = 0;
        call("export facets", quorrel_coupling_export_facets(skin, capacity, &n, ids.data(), particles.data(),
                                                             materials.data(), sections.data(), vectors.data(),
                                                             areas.data()));
        std::vector<double> pressures(n), normals(3 * n), gaps(n), penetrations(n), contact(n), loads(3 * n);
        for (int j = 0; j < n; ++j) {
            pressures[j] = accel * 0.05 * (1 + j) * s;
            normals[3 * j] = 0.1 * j;
            normals[3 * j + 1] = -0.05 * s;
            normals[3 * j + 2] = 1.0;
            gaps[j] = 0.01 * s - 0.003 * j;
            penetrations[j] = 0.002 * (j + 1) * s;
            contact[j] = 3.0 * s + j;
            loads[3 * j] = accel * 0.01 * s;
            loads[3 * j + 1] = -accel * 0.02 * j;
            loads[3 * j + 2] = accel * 0.03;
        }
        call("facet pressures", quorrel_coupling_apply_facet_pressures(skin, n, ids.data(), pressures.data(), 2, s));
        call("contact state", quorrel_coupling_apply_contact_state(skin, n, ids.data(), normals.data(), gaps.data(),
                                                                   penetrations.data(), contact.data(), s));
        call("facet loads", quorrel_coupling_apply_facet_loads(skin, n, ids.data(), loads.data()));
    }
    if (const int push = region_named("Push"); push != 0) {
        const Members m = export_particles(push);
        std::vector<int> index(m.count);
        std::vector<double> forces(3 * m.count);
        for (int j = 0; j < m.count; ++j) {
            const double mass = m.scalars[7 * j];
            index[j] = j + 1;
            forces[3 * j] = mass * accel * (1.0 + 0.25 * j);
            forces[3 * j + 1] = -mass * accel * 0.5;
            forces[3 * j + 2] = mass * accel * 0.125 * s;
        }
        call("particle forces", quorrel_coupling_apply_particle_forces(push, m.count, index.data(), forces.data()));
    }
    for (const auto& [name, sign] : {std::pair<const char*, double>{"Left", -1.0}, {"Right", 1.0}}) {
        const int region = region_named(name);
        if (region == 0) continue;
        const Members m = export_particles(region);
        for (int j = 0; j < m.count; ++j) {
            const double target[3] = {sign * speed * (1.0 + s / 8.0), 0.1 * speed, 0.0};
            call("velocity target", quorrel_coupling_apply_motion_boundary(region, j + 1, 1, 1, target));
        }
    }
    if (const int pin = region_named("Pin"); pin != 0) {
        const Members m = export_particles(pin);
        for (int j = 0; j < m.count; ++j) {
            const double* x = &m.vectors[9 * j];
            const double target[3] = {x[0] + 0.01 * speed, x[1], x[2] - 0.02 * speed * s};
            call("position target", quorrel_coupling_apply_motion_boundary(pin, j + 1, 2, 1, target));
        }
    }
}

std::vector<double> read_steps(const fs::path& file) {
    std::vector<double> steps;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) steps.push_back(std::strtod(line.c_str(), nullptr));
    return steps;
}

// One step as both runs take it: the estimate (checked against the whole run's step when
// one is given), then the advance.
double take_step(const std::vector<double>* recorded, int s, bool restarted) {
    double estimate = 0.0;
    call("estimate", quorrel_estimate_stable_dt(&estimate));
    double dt = estimate;
    if (recorded) {
        dt = recorded->at(static_cast<std::size_t>(s - 1));
        // Before the restart the runs are the same process history; after it the deck's step
        // is gone and the interface's default caps the estimate.
        const double expected = restarted ? std::min(dt, default_dt) : dt;
        if (estimate != expected) {
            std::fprintf(stderr, "step %d: estimate %a, the whole run's step gives %a\n", s, estimate, expected);
            std::exit(1);
        }
    }
    call("advance", quorrel_advance_explicit(dt));
    return dt;
}

int run_whole(const char* deck, int n, int k, double accel, double speed) {
    call("initialise", quorrel_initialize());
    call("read deck", quorrel_read_inp(deck));
    call("build", quorrel_build_model());
    std::FILE* steps = std::fopen("dt.txt", "w");
    if (!steps) return 2;
    for (int s = 1; s <= n; ++s) {
        host_imports(s, s <= k + 1, accel, speed);
        std::fprintf(steps, "%a\n", take_step(nullptr, s, false));
    }
    std::fclose(steps);
    call("write final restart", quorrel_write_restart("final.rst"));
    call("finalise", quorrel_finalize());
    return 0;
}

int run_first(const char* deck, int k, double accel, double speed) {
    const std::vector<double> recorded = read_steps("../whole/dt.txt");
    call("initialise", quorrel_initialize());
    call("read deck", quorrel_read_inp(deck));
    call("build", quorrel_build_model());
    for (int s = 1; s <= k; ++s) {
        host_imports(s, true, accel, speed);
        take_step(&recorded, s, false);
    }
    host_imports(k + 1, true, accel, speed);
    call("write restart", quorrel_write_restart("../state.rst"));
    call("finalise", quorrel_finalize());
    return 0;
}

int run_second(int n, int k, double accel, double speed) {
    const std::vector<double> recorded = read_steps("../whole/dt.txt");
    call("initialise", quorrel_initialize());
    call("read restart", quorrel_read_restart("../state.rst"));
    double t = 0.0, t_expected = 0.0;
    int step = -1;
    call("time", quorrel_get_current_time(&t, &step));
    for (int s = 1; s <= k; ++s) t_expected += recorded.at(static_cast<std::size_t>(s - 1));
    if (step != k || t != t_expected) {
        std::fprintf(stderr, "restored step %d at %a, want %d at %a\n", step, t, k, t_expected);
        return 1;
    }
    for (int s = k + 1; s <= n; ++s) {
        // The imports for step k + 1 came with the file.
        if (s > k + 1) host_imports(s, s <= k + 1, accel, speed);
        take_step(&recorded, s, true);
    }
    call("write final restart", quorrel_write_restart("final.rst"));
    call("finalise", quorrel_finalize());
    return 0;
}

// ---- Comparison ----

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int differences = 0;

void report(const std::string& what) {
    std::fprintf(stderr, "DIFFERENCE %s\n", what.c_str());
    ++differences;
}

// The first line where two texts part, for the report.
std::string first_difference(const std::string& a, const std::string& b) {
    std::size_t line = 1, start = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        if (a[i] != b[i]) {
            const std::size_t end_a = a.find('\n', start), end_b = b.find('\n', start);
            return "line " + std::to_string(line) + ":\n  " + a.substr(start, end_a - start) + "\n  " +
                   b.substr(start, end_b - start);
        }
        if (a[i] == '\n') {
            ++line;
            start = i + 1;
        }
    }
    return "one is a prefix of the other (" + std::to_string(a.size()) + " and " + std::to_string(b.size()) +
           " bytes)";
}

void compare_files(const fs::path& expected, const fs::path& actual) {
    if (!fs::exists(actual)) return report(actual.string() + " is missing");
    const std::string a = slurp(expected), b = slurp(actual);
    if (a != b) report(actual.string() + " differs from " + expected.string() + " at " + first_difference(a, b));
}

// The step of an output file name quorrel_<step>.csv, quorrel_<step>_summary.csv or
// quorrel_<step>.vtu; -1 for anything else.
int step_of(const std::string& name) {
    if (name.rfind("quorrel_", 0) != 0) return -1;
    const char* digits = name.c_str() + 8;
    char* end = nullptr;
    const long s = std::strtol(digits, &end, 10);
    if (end == digits) return -1;
    const std::string rest(end);
    if (rest != ".csv" && rest != "_summary.csv" && rest != ".vtu") return -1;
    return static_cast<int>(s);
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    if (fs::exists(dir))
        for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

// The PVD text with only the entries whose step satisfies `keep`.
std::string pvd_filtered(const std::string& text, bool (*keep)(int, int), int k, bool& any) {
    std::string out;
    any = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(start, end - start);
        start = end;
        const std::size_t file = line.find("file=\"");
        if (line.find("<DataSet") != std::string::npos && file != std::string::npos) {
            const std::string name = line.substr(file + 6, line.find('"', file + 6) - file - 6);
            if (!keep(step_of(name), k)) continue;
            any = true;
        }
        out += line;
    }
    return out;
}

int compare_runs(const fs::path& root, int k) {
    const fs::path whole = root / "whole" / "out", first = root / "first" / "out", second = root / "second" / "out";
    const std::set<std::string> names = names_in(whole);
    int outputs_before = 0, outputs_after = 0;
    for (const std::string& name : names) {
        const int s = step_of(name);
        if (s < 0) continue;
        if (s <= k) ++outputs_before;
        else ++outputs_after;
        compare_files(whole / name, (s <= k ? first : second) / name);
    }
    // Neither part writes a step the other should have written.
    for (const auto& [dir, before] : {std::pair{first, true}, std::pair{second, false}})
        for (const std::string& name : names_in(dir)) {
            const int s = step_of(name);
            if (name == "quorrel.pvd") continue;
            if (s < 0 || (s <= k) != before || !names.count(name)) report(dir.string() + " holds " + name);
        }
    const std::string pvd = slurp(whole / "quorrel.pvd");
    bool any = false;
    const std::string after = pvd_filtered(pvd, [](int s, int kk) { return s > kk; }, k, any);
    if (any) {
        if (slurp(second / "quorrel.pvd") != after)
            report("second PVD is not the whole run's entries after step " + std::to_string(k) + ":\n" +
                   slurp(second / "quorrel.pvd") + "want:\n" + after);
    } else if (fs::exists(second / "quorrel.pvd")) {
        report("second run wrote a PVD without output steps");
    }
    const std::string before = pvd_filtered(pvd, [](int s, int kk) { return s <= kk; }, k, any);
    if (any && slurp(first / "quorrel.pvd") != before) report("first PVD is not the whole run's entries up to step k");
    if (!any && fs::exists(first / "quorrel.pvd")) report("first run wrote a PVD without output steps");
    compare_files(root / "whole" / "final.rst", root / "second" / "final.rst");
    std::printf("k = %d: %d output files before the restart, %d after, %zu in all; %d difference(s)\n", k,
                outputs_before, outputs_after, names.size(), differences);
    if (outputs_after == 0) report("no output step after the restart: the case shows nothing");
    return differences == 0 ? 0 : 1;
}

int run_child(const char* self, const fs::path& cwd, const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(self));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(self, argv.data());
        _exit(2);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return 2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "whole") == 0 && argc == 7)
        return run_whole(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]), std::atof(argv[6]));
    if (argc >= 2 && std::strcmp(argv[1], "first") == 0 && argc == 6)
        return run_first(argv[2], std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]));
    if (argc >= 2 && std::strcmp(argv[1], "second") == 0 && argc == 6)
        return run_second(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]));
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s deck N k accel speed scratch\n", argv[0]);
        return 2;
    }
    const std::string deck = fs::absolute(argv[1]).string();
    const std::string n = argv[2], k = argv[3], accel = argv[4], speed = argv[5];
    const fs::path root = fs::absolute(argv[6]);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::error_code ec;
    fs::remove_all(root, ec);
    for (const char* part : {"whole", "first", "second"}) fs::create_directories(root / part / "out");
    if (int st = run_child(self.c_str(), root / "whole", {"whole", deck, n, k, accel, speed})) return st;
    if (int st = run_child(self.c_str(), root / "first", {"first", deck, k, accel, speed})) return st;
    if (int st = run_child(self.c_str(), root / "second", {"second", n, k, accel, speed})) return st;
    return compare_runs(root, std::atoi(k.c_str()));
}
