// The run's reports: where they go, their headers at start and the log rows of the run.
#pragma once

#include "sph_worker_cli.h"
#include "sph_worker_ipc.h"
#include "sph_worker_reports.h"

namespace quorrel {

struct quorrel_worker_runtime_reports_t {
    char log_path[quorrel_worker_report_path_capacity];
    char particle_path[quorrel_worker_report_path_capacity];
    char force_path[quorrel_worker_report_path_capacity];
    int enabled;  // 1 when all three paths were built
    quorrel_worker_report_file_t log;
    quorrel_worker_report_file_t particle;
    quorrel_worker_report_file_t force;
};

// Builds the three paths from the options' log path; when one does not fit, `enabled`
// stays 0 and no report is written at all.
void quorrel_worker_runtime_reports_init(quorrel_worker_runtime_reports_t* reports,
                                         const quorrel_worker_options_t* options);
// Creates or truncates the three files and writes their headers; they stay open.
void quorrel_worker_runtime_reports_prepare(quorrel_worker_runtime_reports_t* reports);
// Appends one log row. The texts come from the options and, once built, from the
// transport's names (`ipc` null: no names); the block columns from `block_columns` when
// given (taken before an acknowledgement handed the block back to the host), else from
// the data block as it is now.
void quorrel_worker_runtime_reports_log(quorrel_worker_runtime_reports_t* reports,
                                        const quorrel_worker_options_t* options, const quorrel_worker_ipc_t* ipc,
                                        int command_id, int step_id, int ack_sequence, int worker_state,
                                        int exported_facets, int error_code, const char* error_message,
                                        const quorrel_worker_log_record_t* block_columns = nullptr);
// Appends one particle-report or force-report row for a record of the data block.
void quorrel_worker_runtime_reports_particle(quorrel_worker_runtime_reports_t* reports, int step_id,
                                             int region_index, const quorrel_worker_particle_record_t* record);
void quorrel_worker_runtime_reports_force(quorrel_worker_runtime_reports_t* reports, int step_id, int region_index,
                                          const quorrel_worker_force_record_t* record);
// Pushes the rows written so far to the files: before every acknowledgement and wait.
void quorrel_worker_runtime_reports_flush(quorrel_worker_runtime_reports_t* reports);
void quorrel_worker_runtime_reports_close(quorrel_worker_runtime_reports_t* reports);

// The data block's columns of a log row as the block holds them now: the particle
// header's count and non-finite count, the force header's count and its force and moment
// totals; all 0 without a data block.
void quorrel_worker_runtime_block_columns(const quorrel_worker_ipc_t* ipc, quorrel_worker_log_record_t* record);
// Copies those columns from one log record to another.
void quorrel_worker_runtime_copy_block_columns(const quorrel_worker_log_record_t* from,
                                               quorrel_worker_log_record_t* to);

}  // namespace quorrel
