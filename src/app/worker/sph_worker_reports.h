// The worker's three report files: a log with one row per event and two CSV files with
// one row per exported particle record and per received force record. Rows are built in
// a fixed buffer, without allocation, and end in CR LF like every text file we write.
#pragma once

#include <cstddef>

#include "core/sph_file.h"
#include "sph_worker_blocks.h"

namespace quorrel {

enum quorrel_worker_report_t : int {
    QUORREL_WORKER_REPORT_LOG = 1,
    QUORREL_WORKER_REPORT_PARTICLE = 2,
    QUORREL_WORKER_REPORT_FORCE = 3,
};

inline constexpr std::size_t quorrel_worker_report_path_capacity = 512;
inline constexpr std::size_t quorrel_worker_report_line_capacity = 1024;

// The file name of a report kind (for the log, the default log path), its header line;
// null for an unknown kind.
const char* quorrel_worker_report_filename(int report);
const char* quorrel_worker_report_header(int report);

// The path of a report: the log path itself for the log, the CSV file names in the log
// path's directory (everything up to its last "/" or "\") for the other two; an empty or
// missing log path means the default log. -1 when the path does not fit in `capacity`.
[[nodiscard]] int quorrel_worker_report_path(char* buffer, std::size_t capacity, const char* log_path, int report);

// One row in the making: text appended piece by piece; a row that outgrows the buffer is
// marked and never written.
struct quorrel_worker_line_t {
    char text[quorrel_worker_report_line_capacity];
    std::size_t length;
    bool overflow;
};
void quorrel_worker_line_clear(quorrel_worker_line_t* line);
void quorrel_worker_line_text(quorrel_worker_line_t* line, const char* text);  // null appends nothing
// A text column: as it is, or, when it holds a comma, a double quote or a line end, in
// double quotes with each inner double quote doubled, as CSV readers expect. Null
// appends nothing.
void quorrel_worker_line_field(quorrel_worker_line_t* line, const char* text);
void quorrel_worker_line_int(quorrel_worker_line_t* line, long long value);
// "%.16e", whatever the locale.
void quorrel_worker_line_real(quorrel_worker_line_t* line, double value);
void quorrel_worker_line_comma(quorrel_worker_line_t* line);

// The content of one log row.
struct quorrel_worker_log_record_t {
    const char* solver_id;
    const char* case_file;
    const char* ipc_name;
    const char* command_block;
    const char* data_prefix;
    const char* command_event;
    const char* done_event;
    const char* worker_id;
    int timeout_ms;
    int command_id;
    int step_id;
    int ack_sequence;
    int worker_state;
    int exported_particles;
    int exported_facets;
    int received_forces;
    int nonfinite_particles;
    double total_force[3];
    double total_moment[3];
    int error_code;
    const char* error_message;
};
void quorrel_worker_log_record_clear(quorrel_worker_log_record_t* record);
// The row in the header's column order; the state by its name, a missing text empty.
// -1 when it does not fit.
[[nodiscard]] int quorrel_worker_format_log_record(const quorrel_worker_log_record_t* record,
                                                   quorrel_worker_line_t* line);

// A particle-report row: the command's step id and the region index, then the record's
// export_index, internal_index, particle_id_ext, phase, status, material_id, section_id,
// x, v and the name of its reject_reason. -1 when it does not fit.
[[nodiscard]] int quorrel_worker_format_particle_record(int step_id, int region_index,
                                                        const quorrel_worker_particle_record_t* record,
                                                        quorrel_worker_line_t* line);
// A force-report row: the command's step id and the region index, then the record's
// source_id, pair_id, particle_id_ext, export_index, internal_index, force, moment and the
// names of its contact_state and reject_reason. -1 when it does not fit.
[[nodiscard]] int quorrel_worker_format_force_record(int step_id, int region_index,
                                                     const quorrel_worker_force_record_t* record,
                                                     quorrel_worker_line_t* line);

// A report file kept open from its header to the end of the run, with one buffer for
// its rows: a command's rows gather there and reach the file in one write when the
// command is done (or earlier, should the buffer fill). A file that could not be opened
// is skipped silently.
inline constexpr std::size_t quorrel_worker_report_buffer_capacity = std::size_t{1} << 20;
struct quorrel_worker_report_file_t {
    int fd;  // -1 when not open
    char* buffer;
    std::size_t length;  // bytes waiting in the buffer
};
// Creates (0644) or truncates `path` and writes the kind's header, holding an exclusive
// lock on the file until it is closed. -1, with the reason in `outcome` when given, when
// it cannot be opened: a FIFO, socket or link at `path` (not_regular), a regular file of
// another user (foreign) or one that another open holds locked (locked) included; such
// a file is left as it was.
[[nodiscard]] int quorrel_worker_report_open(quorrel_worker_report_file_t* report, const char* path, int kind,
                                             SphFileOutcome* outcome = nullptr);
// Appends the row and its line break; nothing for an unopened file or an overflowed row.
void quorrel_worker_report_append_line(quorrel_worker_report_file_t* report, const quorrel_worker_line_t* line);
// Writes what the buffer holds. A failed write drops it: reports never fail a command.
void quorrel_worker_report_flush(quorrel_worker_report_file_t* report);
void quorrel_worker_report_close(quorrel_worker_report_file_t* report);

}  // namespace quorrel
