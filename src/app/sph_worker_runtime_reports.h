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
// transport's names (`ipc` null: no names); the block columns from the data block.
void quorrel_worker_runtime_reports_log(quorrel_worker_runtime_reports_t* reports,
                                        const quorrel_worker_options_t* options, const quorrel_worker_ipc_t* ipc,
                                        int command_id, int step_id, int ack_sequence, int worker_state,
                                        int exported_facets, int error_code, const char* error_message);
// Pushes the rows written so far to the files: before every acknowledgement and wait.
void quorrel_worker_runtime_reports_flush(quorrel_worker_runtime_reports_t* reports);
void quorrel_worker_runtime_reports_close(quorrel_worker_runtime_reports_t* reports);

// The data block's columns of a log row (exported and received counts, non-finite
// particles, force and moment totals) as the block holds them now. This build does not
// read the block yet, so they stay 0.
void quorrel_worker_runtime_block_columns(const quorrel_worker_ipc_t* ipc, quorrel_worker_log_record_t* record);

}  // namespace quorrel
