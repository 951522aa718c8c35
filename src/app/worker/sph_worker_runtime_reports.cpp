#include "sph_worker_runtime_reports.h"

#include <cstdio>
#include <cstring>

#include "sph_worker_runtime_exchange.h"

namespace quorrel {

void quorrel_worker_runtime_reports_init(quorrel_worker_runtime_reports_t* reports,
                                         const quorrel_worker_options_t* options) {
    if (reports == nullptr) return;
    std::memset(reports, 0, sizeof *reports);
    reports->log.fd = reports->particle.fd = reports->force.fd = -1;
    const char* log_path = options != nullptr ? options->log_path : nullptr;
    const bool built =
        quorrel_worker_report_path(reports->log_path, sizeof reports->log_path, log_path, QUORREL_WORKER_REPORT_LOG) ==
            0 &&
        quorrel_worker_report_path(reports->particle_path, sizeof reports->particle_path, log_path,
                                   QUORREL_WORKER_REPORT_PARTICLE) == 0 &&
        quorrel_worker_report_path(reports->force_path, sizeof reports->force_path, log_path,
                                   QUORREL_WORKER_REPORT_FORCE) == 0;
    reports->enabled = built ? 1 : 0;
}

void quorrel_worker_runtime_reports_prepare(quorrel_worker_runtime_reports_t* reports) {
    if (reports == nullptr || reports->enabled == 0) return;
    const struct {
        quorrel_worker_report_file_t* file;
        const char* path;
        int kind;
    } files[] = {{&reports->log, reports->log_path, QUORREL_WORKER_REPORT_LOG},
                 {&reports->particle, reports->particle_path, QUORREL_WORKER_REPORT_PARTICLE},
                 {&reports->force, reports->force_path, QUORREL_WORKER_REPORT_FORCE}};
    for (const auto& f : files) {
        // A file that cannot be opened is skipped; it never fails the run. Only a file
        // another worker holds is worth a word: two sessions share one log directory.
        SphFileOutcome outcome = SphFileOutcome::ok;
        if (quorrel_worker_report_open(f.file, f.path, f.kind, &outcome) != 0 && outcome == SphFileOutcome::locked)
            std::fprintf(stderr, "warning: worker report left out, another worker holds it: %s\n", f.path);
    }
}

void quorrel_worker_runtime_block_columns(const quorrel_worker_ipc_t* ipc, quorrel_worker_log_record_t* record) {
    if (record == nullptr) return;
    // A data object cut since the attach is read as none rather than touched.
    const quorrel_worker_data_exchange_t* data =
        quorrel_worker_ipc_data_intact(ipc) ? quorrel_worker_runtime_exchange_data(ipc) : nullptr;
    if (data == nullptr) {
        record->exported_particles = 0;
        record->received_forces = 0;
        record->nonfinite_particles = 0;
        for (int k = 0; k < 3; ++k) record->total_force[k] = record->total_moment[k] = 0.0;
        return;
    }
    record->exported_particles = data->particle_header.count;
    record->received_forces = data->force_header.count;
    record->nonfinite_particles = data->particle_header.nonfinite_count;
    for (int k = 0; k < 3; ++k) {
        record->total_force[k] = data->force_header.total_force[k];
        record->total_moment[k] = data->force_header.total_moment[k];
    }
}

void quorrel_worker_runtime_copy_block_columns(const quorrel_worker_log_record_t* from,
                                               quorrel_worker_log_record_t* to) {
    if (from == nullptr || to == nullptr) return;
    to->exported_particles = from->exported_particles;
    to->received_forces = from->received_forces;
    to->nonfinite_particles = from->nonfinite_particles;
    for (int k = 0; k < 3; ++k) {
        to->total_force[k] = from->total_force[k];
        to->total_moment[k] = from->total_moment[k];
    }
}

void quorrel_worker_runtime_reports_log(quorrel_worker_runtime_reports_t* reports,
                                        const quorrel_worker_options_t* options, const quorrel_worker_ipc_t* ipc,
                                        int command_id, int step_id, int ack_sequence, int worker_state,
                                        int exported_facets, int error_code, const char* error_message,
                                        const quorrel_worker_log_record_t* block_columns) {
    if (reports == nullptr || reports->enabled == 0 || reports->log.fd < 0) return;
    quorrel_worker_log_record_t record;
    quorrel_worker_log_record_clear(&record);
    if (options != nullptr) {
        record.solver_id = options->solver_id;
        record.case_file = options->case_file;
        record.ipc_name = options->ipc_name;
        record.worker_id = options->worker_id;
        record.timeout_ms = options->timeout_ms;
    }
    if (ipc != nullptr) {
        record.command_block = ipc->command_block;
        record.data_prefix = ipc->data_prefix;
        record.command_event = ipc->command_event;
        record.done_event = ipc->done_event;
    }
    record.command_id = command_id;
    record.step_id = step_id;
    record.ack_sequence = ack_sequence;
    record.worker_state = worker_state;
    record.exported_facets = exported_facets;
    record.error_code = error_code;
    record.error_message = error_message;
    if (block_columns != nullptr)
        quorrel_worker_runtime_copy_block_columns(block_columns, &record);
    else
        quorrel_worker_runtime_block_columns(ipc, &record);
    quorrel_worker_line_t line;
    if (quorrel_worker_format_log_record(&record, &line) == 0) quorrel_worker_report_append_line(&reports->log, &line);
}

void quorrel_worker_runtime_reports_particle(quorrel_worker_runtime_reports_t* reports, int step_id,
                                             int region_index, const quorrel_worker_particle_record_t* record) {
    if (reports == nullptr || reports->enabled == 0 || reports->particle.fd < 0) return;
    quorrel_worker_line_t line;
    if (quorrel_worker_format_particle_record(step_id, region_index, record, &line) == 0)
        quorrel_worker_report_append_line(&reports->particle, &line);
}

void quorrel_worker_runtime_reports_force(quorrel_worker_runtime_reports_t* reports, int step_id, int region_index,
                                          const quorrel_worker_force_record_t* record) {
    if (reports == nullptr || reports->enabled == 0 || reports->force.fd < 0) return;
    quorrel_worker_line_t line;
    if (quorrel_worker_format_force_record(step_id, region_index, record, &line) == 0)
        quorrel_worker_report_append_line(&reports->force, &line);
}

void quorrel_worker_runtime_reports_flush(quorrel_worker_runtime_reports_t* reports) {
    if (reports == nullptr) return;
    quorrel_worker_report_flush(&reports->log);
    quorrel_worker_report_flush(&reports->particle);
    quorrel_worker_report_flush(&reports->force);
}

void quorrel_worker_runtime_reports_close(quorrel_worker_runtime_reports_t* reports) {
    if (reports == nullptr) return;
    quorrel_worker_report_close(&reports->log);
    quorrel_worker_report_close(&reports->particle);
    quorrel_worker_report_close(&reports->force);
}

}  // namespace quorrel
