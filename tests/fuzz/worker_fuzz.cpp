// The bytes are what a host writes into the worker's blocks, command after command. The
// worker's own command loop serves each one from in-memory blocks (no shared memory, no
// events), as it serves a real host, and the blocks are checked after every command for
// what the worker may and may not have written.
//
// Input: one byte choosing the deck, then frames. A frame is a record count k (one byte),
// the 176-byte command block, the 80-byte force header and k force records of 152 bytes
// written from position 0; a frame cut short writes only its whole records. The data
// block keeps what earlier frames and commands left in it, as shared memory does.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sph_worker_blocks.h"
#include "sph_worker_contract.h"
#include "sph_worker_ipc.h"
#include "sph_worker_protocol.h"
#include "sph_worker_runtime.h"
#include "sph_worker_runtime_reports.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "fuzz_support.h"
#include "quorrel.h"

namespace {

using namespace quorrel;

constexpr const char* decks[] = {"worker_row.inp", "worker_shell.inp", "worker_regions.inp", "worker_pair.inp",
                                 "worker_facets.inp"};
constexpr std::size_t frame_head = 1 + sizeof(quorrel_worker_command_block_t) + sizeof(quorrel_worker_block_header_t);
constexpr std::size_t record_bytes = sizeof(quorrel_worker_force_record_t);
// Every field of a force record but reject_reason is the host's.
constexpr std::size_t reject_at = offsetof(quorrel_worker_force_record_t, reject_reason);
constexpr std::size_t after_reject = reject_at + sizeof(std::int32_t);
// The host's fields of the command block: version .. dt.
constexpr std::size_t host_command_bytes = offsetof(quorrel_worker_command_block_t, ack_sequence);

// The blocks and the transport over them, made once per process.
struct Session {
    quorrel_worker_command_block_t command{};
    std::unique_ptr<quorrel_worker_data_exchange_t> data = std::make_unique<quorrel_worker_data_exchange_t>();
    // Where the host-side checks run, apart from what the worker sees.
    std::unique_ptr<quorrel_worker_data_exchange_t> host = std::make_unique<quorrel_worker_data_exchange_t>();
    std::vector<std::string> deck_paths;
    std::string log_path = fuzz::scratch().path("worker.log");
    quorrel_worker_ipc_t ipc{};
    // QUORREL_FUZZ_TRACE set: one line per command served, to see what an input does.
    bool trace = std::getenv("QUORREL_FUZZ_TRACE") != nullptr;

    Session() {
        quorrel_worker_data_exchange_clear(data.get());
        quorrel_worker_data_exchange_clear(host.get());
        for (const char* deck : decks) deck_paths.push_back(std::string(QUORREL_FUZZ_DECK_DIR) + "/" + deck);
        int error = 0;
        if (quorrel_worker_ipc_init(&ipc, "quorrel_fuzz", nullptr, nullptr) != 0 ||
            quorrel_worker_ipc_open(&ipc, 1, &error) != 0)
            fuzz::fault("the in-memory transport would not open", error);
        ipc.command_view = &command;
        ipc.data_view = data.get();
    }
};

Session& session() {
    static Session s;
    return s;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Region 1's export list as the interface gives it now; empty without a model.
struct RegionOne {
    std::vector<int> ints;
    std::vector<double> reals;
    int count = 0;

    RegionOne() {
        char name[128];
        int type = 0, export_mode = 0, import_mode = 0, enabled = 0, particles = 0, facets = 0;
        if (quorrel_coupling_get_region_info(1, name, sizeof name, &type, &export_mode, &import_mode, &enabled,
                                             &particles, &facets) != 0 ||
            enabled == 0 || particles <= 0)
            return;
        const std::size_t n = static_cast<std::size_t>(particles);
        ints.assign(6 * n, 0);
        reals.assign(16 * n, 0.0);
        int* i = ints.data();
        if (quorrel_coupling_export_particles(1, particles, &count, i, i + n, i + 2 * n, i + 3 * n, i + 4 * n,
                                              i + 5 * n, reals.data(), reals.data() + 7 * n) != 0 ||
            count < 0 || count > particles)
            count = 0;
        ints.resize(2 * n);
    }
    bool names(const quorrel_worker_force_record_t& r) const {
        if (r.export_index < 1 || r.export_index > count) return false;
        const std::size_t k = static_cast<std::size_t>(r.export_index - 1);
        return ints[k] == r.particle_id_ext && ints[ints.size() / 2 + k] == r.internal_index;
    }
    // 0-based particle index of export entry k (from 0).
    int particle(std::size_t k) const { return ints[ints.size() / 2 + k] - 1; }
};

// The forces the coupling interface buffered before a command, per particle.
std::vector<double> buffered_forces() {
    std::vector<double> held(3 * npart_of(), 0.0);
    for (std::size_t i = 0; i < npart_of(); ++i) sph_coupling_get_buffered_force(static_cast<int32_t>(i), &held[3 * i]);
    return held;
}

// Whether `sum` + `term` leaves the range the coupling interface takes.
bool sum_overflows(const double* sum, const double* term) {
    const double s[3] = {sum[0] + term[0], sum[1] + term[1], sum[2] + term[2]};
    return !sph_coupling_vector_is_finite(s);
}

// The force half after an accepted IMPORT_LOADS: every mark explained by the record and the
// header's diagnostics made of the marks. Only the first `written` positions ever held the
// host's bytes; the rest are zero and name no particle.
// `held`: the forces buffered before the command, from which each exported particle's sum
// starts.
void check_import(const quorrel_worker_data_exchange_t& data, int step_id, std::size_t written,
                  const std::vector<double>& held) {
    const quorrel_worker_block_header_t& h = data.force_header;
    int regions = 0;
    // Without a region or a record there is nothing to analyse: the imports are cleared.
    if (quorrel_coupling_get_region_count(&regions) != 0 || regions <= 0 || h.count <= 0) return;
    const RegionOne region;
    int rejected = 0, nonfinite = 0, stale = 0, repeated = 0, contacts = 0;
    double force[3] = {0.0, 0.0, 0.0}, moment[3] = {0.0, 0.0, 0.0};
    std::vector<double> sums(3 * static_cast<std::size_t>(region.count), 0.0);
    for (std::size_t k = 0; k < static_cast<std::size_t>(region.count); ++k) {
        const std::size_t p = static_cast<std::size_t>(region.particle(k));
        if (3 * p + 2 < held.size()) std::copy_n(&held[3 * p], 3, &sums[3 * k]);
    }
    for (int i = 0; i < h.count; ++i) {
        const quorrel_worker_force_record_t& r = data.forces[i];
        int reason = -1;
        const bool valid = quorrel_worker_force_record_validate(&r, &reason) == 0;
        if (static_cast<std::size_t>(i) >= written && r.reject_reason != QUORREL_WORKER_REJECT_UNMATCHED_PARTICLE)
            fuzz::fault("a record the host never wrote was not turned away as unmatched", r.reject_reason);
        switch (r.reject_reason) {
            case QUORREL_WORKER_REJECT_NONE:
                if (!valid || !region.names(r) || (step_id > 0 && r.step_id > 0 && r.step_id < step_id))
                    fuzz::fault("a force record was accepted that the checks turn away", reason);
                if (quorrel_worker_force_record_is_duplicate(&data, i))
                    fuzz::fault("a repeated force record was accepted", i);
                for (int k = 0; k < 3; ++k) {
                    force[k] += r.force[k];
                    moment[k] += r.moment[k];
                    sums[3 * static_cast<std::size_t>(r.export_index - 1) + k] += r.force[k];
                }
                if (quorrel_worker_contact_state_imported(r.contact_state)) ++contacts;
                continue;
            case QUORREL_WORKER_REJECT_NONFINITE_FORCE:
                // A record its check takes is turned away when accepting it would take a sum
                // beyond the range: a header total or its particle's force.
                if (valid) {
                    if (!region.names(r) ||
                        !(sum_overflows(force, r.force) || sum_overflows(moment, r.moment) ||
                          sum_overflows(&sums[3 * static_cast<std::size_t>(r.export_index - 1)], r.force)))
                        fuzz::fault("a record whose sums stay in range was marked non-finite", i);
                    ++nonfinite;
                    ++rejected;
                    continue;
                }
                [[fallthrough]];
            case QUORREL_WORKER_REJECT_NONFINITE_CONTACT:
                ++nonfinite;
                [[fallthrough]];
            case QUORREL_WORKER_REJECT_INVALID_WEIGHT:
                if (valid || reason != r.reject_reason) fuzz::fault("a record's check and its mark differ", reason);
                break;
            case QUORREL_WORKER_REJECT_UNMATCHED_PARTICLE:
                if (valid && region.names(r)) fuzz::fault("a record naming an exported particle was unmatched", i);
                break;
            case QUORREL_WORKER_REJECT_STALE_EPOCH:
                ++stale;
                if (!valid || !(step_id > 0 && r.step_id > 0 && r.step_id < step_id))
                    fuzz::fault("a record of this step was marked stale", r.step_id);
                break;
            case QUORREL_WORKER_REJECT_REPEATED_IMPORT:
                ++repeated;
                if (!valid || !quorrel_worker_force_record_is_duplicate(&data, i))
                    fuzz::fault("a record repeating nothing was marked repeated", i);
                break;
            default: fuzz::fault("a force record got a reject reason outside the table", r.reject_reason);
        }
        ++rejected;
    }
    if (h.rejected_count != rejected || h.nonfinite_count != nonfinite || h.stale_count != stale ||
        h.repeated_count != repeated || h.contact_count != contacts)
        fuzz::fault("the force header's counts disagree with the records' marks", h.rejected_count);
    for (int k = 0; k < 3; ++k)
        if (!same_bits(h.total_force[k], force[k]) || !same_bits(h.total_moment[k], moment[k]))
            fuzz::fault("the force header's totals are not the sums of the accepted records", k);
}

// What the coupling interface refuses must never pass the worker's checks: the whole
// command would fail there. Every record the worker marked accepted (the mark is set to
// `unmarked` before the command, so a 0 is the worker's) holds values the interface takes.
constexpr std::int32_t unmarked = 0x7eadbeef;

void check_accepted_pass_the_interface(const quorrel_worker_data_exchange_t& data, std::size_t marked) {
    for (std::size_t i = 0; i < marked; ++i) {
        const quorrel_worker_force_record_t& r = data.forces[i];
        if (r.reject_reason != QUORREL_WORKER_REJECT_NONE) continue;
        bool taken = sph_coupling_vector_is_finite(r.force);
        if (quorrel_worker_contact_state_imported(r.contact_state))
            taken = taken && sph_coupling_vector_is_finite(r.contact_normal) &&
                    sph_below_max_double(r.contact_gap) &&
                    sph_below_max_double(r.contact_penetration) &&
                    sph_below_max_double(r.contact_pressure) &&
                    !sph_coupling_vector_is_degenerate(r.contact_normal);
        if (!taken) fuzz::fault("the worker accepted a record the coupling interface refuses", static_cast<int>(i));
    }
}

// Facet export after an export the worker served, as a host reads the facets beside the
// particles: the interface exports every shell proxy its region info counts.
void check_facet_export() {
    int regions = 0;
    if (quorrel_coupling_get_region_count(&regions) != 0) return;
    for (int region = 1; region <= regions; ++region) {
        char name[128];
        int type = 0, export_mode = 0, import_mode = 0, enabled = 0, particles = 0, facets = 0;
        if (quorrel_coupling_get_region_info(region, name, sizeof name, &type, &export_mode, &import_mode, &enabled,
                                             &particles, &facets) != 0 ||
            facets <= 0)
            continue;
        const std::size_t n = static_cast<std::size_t>(facets);
        std::vector<int> ints(4 * n, 0);
        std::vector<double> reals(10 * n, 0.0);
        int count = -1;
        int* i = ints.data();
        // A proxy whose director or area went bad in the run fails by its own check.
        if (quorrel_coupling_export_facets(region, facets, &count, i, i + n, i + 2 * n, i + 3 * n, reals.data(),
                                           reals.data() + 9 * n) != 0)
            continue;
        if (count != facets) fuzz::fault("the facet export and the region info count different facets", count);
    }
}

// The checks a host-side writer runs on the same bytes, away from the worker's block: the
// records appended to a force half and, as particle records of the same size, to a particle
// half, and the force half analysed without an export list.
void host_side_checks(quorrel_worker_data_exchange_t& host, const uint8_t* records, std::size_t k) {
    for (quorrel_worker_block_header_t* header : {&host.particle_header, &host.force_header}) {
        header->count = 0;
        quorrel_worker_block_header_reset_diagnostics(header);
    }
    for (std::size_t i = 0; i < k; ++i) {
        quorrel_worker_force_record_t force;
        quorrel_worker_particle_record_t particle;
        std::memcpy(&force, records + i * record_bytes, record_bytes);
        std::memcpy(&particle, records + i * record_bytes, record_bytes);
        int reason = -1;
        const int valid = quorrel_worker_force_record_validate(&force, &reason);
        if ((valid == 0) != (reason == QUORREL_WORKER_REJECT_NONE))
            fuzz::fault("a force record check and its reason differ", reason);
        if (quorrel_worker_force_block_add(&host, &force) != valid)
            fuzz::fault("a force append and its check differ", 0);
        if (quorrel_worker_particle_record_validate(&particle, &reason) == 0) {
            if (quorrel_worker_particle_block_add(&host, &particle) != 0)
                fuzz::fault("a valid particle was refused", 0);
        } else if (reason < QUORREL_WORKER_REJECT_UNMATCHED_PARTICLE || reason > QUORREL_WORKER_REJECT_INVALID_WEIGHT) {
            fuzz::fault("a particle record got a reject reason outside its checks", reason);
        }
    }
    const int kept = host.force_header.count;
    int valid = 0, contacts = 0;
    if (quorrel_worker_force_block_analyze(&host, 0, &valid, &contacts) != 0)
        fuzz::fault("the analysis refused a block the appends built", 0);
    // Only repeats can be turned away among records that passed their check.
    const quorrel_worker_block_header_t& h = host.force_header;
    if (valid + h.repeated_count != kept || h.rejected_count != h.repeated_count)
        fuzz::fault("the analysis turned away a checked record for anything but a repeat", valid);
}

// The host's bytes of the blocks, to find any the worker wrote.
struct HostBytes {
    uint8_t command[host_command_bytes];
    std::int32_t version, capacity, count;
    std::vector<uint8_t> records;

    HostBytes(const Session& s, std::size_t written) {
        std::memcpy(command, &s.command, sizeof command);
        version = s.data->force_header.version;
        capacity = s.data->force_header.capacity;
        count = s.data->force_header.count;
        records.assign(reinterpret_cast<const uint8_t*>(s.data->forces),
                       reinterpret_cast<const uint8_t*>(s.data->forces) + written * record_bytes);
    }
    void check(const Session& s) const {
        if (std::memcmp(command, &s.command, sizeof command) != 0)
            fuzz::fault("the worker wrote the host's command fields", 0);
        const quorrel_worker_block_header_t& h = s.data->force_header;
        if (h.version != version || h.capacity != capacity || h.count != count)
            fuzz::fault("the worker wrote the force header's layout fields", h.count);
        const auto* now = reinterpret_cast<const uint8_t*>(s.data->forces);
        for (std::size_t at = 0; at < records.size(); at += record_bytes)
            if (std::memcmp(now + at, records.data() + at, reject_at) != 0 ||
                std::memcmp(now + at + after_reject, records.data() + at + after_reject,
                            record_bytes - after_reject) != 0)
                fuzz::fault("the worker wrote a host field of a force record", static_cast<int>(at / record_bytes));
    }
};

// Back to a block no host has written: only the records that can have been touched.
void clear_blocks(Session& s, std::size_t written) {
    const quorrel_worker_block_header_t& p = s.data->particle_header;
    const std::size_t exported =
        p.count > 0 ? static_cast<std::size_t>(std::min(p.count, quorrel_worker_block_record_capacity)) : 0;
    std::memset(s.data->particles, 0, exported * sizeof s.data->particles[0]);
    // Every record up to the largest count a header claimed may hold a reject reason.
    std::memset(s.data->forces, 0, written * record_bytes);
    for (quorrel_worker_block_header_t* header : {&s.data->particle_header, &s.data->force_header}) {
        std::memset(header, 0, sizeof *header);
        header->version = quorrel_worker_data_version;
        header->capacity = quorrel_worker_block_record_capacity;
    }
    std::memset(&s.command, 0, sizeof s.command);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    Session& s = session();
    if (size < 1) return 0;
    quorrel_worker_options_t options;
    quorrel_worker_options_defaults(&options);
    options.enabled = 1;
    options.case_file = s.deck_paths[bytes[0] % s.deck_paths.size()].c_str();
    options.ipc_name = s.ipc.ipc_name;
    options.log_path = s.log_path.c_str();
    quorrel_worker_runtime_t runtime;
    quorrel_worker_runtime_init(&runtime);
    quorrel_worker_runtime_reports_t reports;
    quorrel_worker_runtime_reports_init(&reports, &options);
    quorrel_worker_runtime_reports_prepare(&reports);
    s.ipc.timed_out = 0;

    // The largest count a header claimed (the worker marks that many records) and the most
    // records a frame wrote.
    std::size_t dirty = 0, written = 0;
    std::size_t at = 1;
    while (size - at >= frame_head) {
        std::size_t k = bytes[at];
        const uint8_t* frame = bytes + at + 1;
        k = std::min(k, (size - at - frame_head) / record_bytes);
        at += frame_head + k * record_bytes;
        std::memcpy(&s.command, frame, sizeof s.command);
        std::memcpy(&s.data->force_header, frame + sizeof s.command, sizeof s.data->force_header);
        const uint8_t* records = frame + sizeof s.command + sizeof s.data->force_header;
        std::memcpy(s.data->forces, records, k * record_bytes);
        host_side_checks(*s.host, records, k);
        // The worker marks up to count records, however few were written.
        const std::int32_t claimed = s.data->force_header.count;
        if (claimed > 0) dirty = std::max(dirty, std::min<std::size_t>(claimed, quorrel_worker_block_record_capacity));
        written = std::max(written, k);
        dirty = std::max(dirty, written);

        // The loop serves the command, then finds the same number again and stops with a
        // conflict: one command per call, the state carried over as the loop leaves it.
        const HostBytes before(s, written);
        const std::vector<double> held = buffered_forces();
        std::size_t marked = 0;
        if (s.command.command == QUORREL_WORKER_COMMAND_IMPORT_LOADS && claimed > 0) {
            marked = std::min<std::size_t>(claimed, quorrel_worker_block_record_capacity);
            for (std::size_t i = 0; i < marked; ++i) s.data->forces[i].reject_reason = unmarked;
        }
        const int acks = s.ipc.done_written;
        const int result = quorrel_worker_runtime_loop(&s.ipc, &options, &runtime, &reports);
        before.check(s);
        check_accepted_pass_the_interface(*s.data, marked);
        if (s.trace)
            std::fprintf(stderr,
                         "worker fuzz: sequence %d %s -> result %d, state %s, acks %d, force count %d rejected %d\n",
                         s.command.sequence, quorrel_worker_command_name(s.command.command), result,
                         quorrel_worker_state_name(runtime.current_state), s.ipc.done_written - acks,
                         s.data->force_header.count, s.data->force_header.rejected_count);
        const bool served = s.ipc.done_written == acks + 2 && runtime.current_state == QUORREL_WORKER_STATE_DONE &&
                            runtime.last_ack_sequence == s.command.sequence;
        if (result == quorrel_worker_exit_ok || !served) break;
        if (s.command.error_code != QUORREL_WORKER_ERROR_CONFLICT)
            fuzz::fault("a repeated command was not a conflict", 0);
        if (s.command.command == QUORREL_WORKER_COMMAND_IMPORT_LOADS)
            check_import(*s.data, s.command.step_id, written, held);
        if (s.command.command == QUORREL_WORKER_COMMAND_EXPORT_INTERFACE) check_facet_export();
        // WRITE_OUTPUT writes to the scratch directory, whatever the deck says; ADVANCE writes
        // step output only when the deck asks for it.
        if (runtime.initialized != 0 && sph_control.output_directory != fuzz::scratch().output()) {
            const bool enabled = sph_control.output_enabled;
            if (fuzz::checked(sph_set_output_directory(fuzz::scratch().output()), "set output directory") != 0)
                fuzz::fault("the scratch output directory was refused", 0);
            sph_control.output_enabled = enabled;
        }
    }

    quorrel_worker_runtime_reports_close(&reports);
    if (runtime.initialized != 0) (void)quorrel_finalize();
    clear_blocks(s, dirty);
    fuzz::scratch().clear_output();
    return 0;
}
