#include "sph_worker_reports.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>

#include "core/sph_file.h"
#include "core/sph_real_digits.h"
#include "sph_worker_contract.h"
#include "sph_worker_protocol.h"

namespace quorrel {

namespace {

constexpr const char* log_header =
    "solver_id,case_file,ipc_name,command_block,data_prefix,command_event,done_event,timeout_ms,worker_id,"
    "command_id,step_id,ack_sequence,worker_state,exported_particles,exported_facets,received_forces,total_fx,"
    "total_fy,total_fz,total_mx,total_my,total_mz,nonfinite_particles,error_code,error_message";
constexpr const char* particle_header =
    "step_id,region_index,export_index,internal_index,external_id,phase,status,material,section,x,y,z,vx,vy,vz,"
    "reject_reason";
constexpr const char* force_header =
    "step_id,region_index,source_id,pair_id,target_id,export_index,internal_index,fx,fy,fz,mx,my,mz,"
    "contact_state,reject_reason";

constexpr const char* line_break = "\r\n";

void append(quorrel_worker_line_t* line, const char* text, std::size_t n) {
    if (line->overflow) return;
    // One byte stays for the terminating zero.
    if (n >= sizeof line->text - line->length) {
        line->overflow = true;
        return;
    }
    std::memcpy(line->text + line->length, text, n);
    line->length += n;
    line->text[line->length] = '\0';
}

}  // namespace

const char* quorrel_worker_report_filename(int report) {
    switch (report) {
        case QUORREL_WORKER_REPORT_LOG: return "quorrel_zenvik_worker.log";
        case QUORREL_WORKER_REPORT_PARTICLE: return "quorrel_zenvik_particle_report.csv";
        case QUORREL_WORKER_REPORT_FORCE: return "quorrel_zenvik_force_report.csv";
        default: return nullptr;
    }
}

const char* quorrel_worker_report_header(int report) {
    switch (report) {
        case QUORREL_WORKER_REPORT_LOG: return log_header;
        case QUORREL_WORKER_REPORT_PARTICLE: return particle_header;
        case QUORREL_WORKER_REPORT_FORCE: return force_header;
        default: return nullptr;
    }
}

int quorrel_worker_report_path(char* buffer, std::size_t capacity, const char* log_path, int report) {
    if (buffer == nullptr || capacity == 0) return -1;
    buffer[0] = '\0';
    const char* filename = quorrel_worker_report_filename(report);
    if (filename == nullptr) return -1;
    const char* log = log_path != nullptr && log_path[0] != '\0' ? log_path
                                                                  : quorrel_worker_report_filename(QUORREL_WORKER_REPORT_LOG);
    std::size_t directory = 0;  // characters of `log` kept before the file name
    if (report == QUORREL_WORKER_REPORT_LOG) {
        directory = std::strlen(log);
        filename = "";
    } else {
        for (std::size_t i = 0; log[i] != '\0'; ++i)
            if (log[i] == '/' || log[i] == '\\') directory = i + 1;
    }
    const std::size_t name = std::strlen(filename);
    if (directory + name + 1 > capacity) return -1;
    std::memcpy(buffer, log, directory);
    std::memcpy(buffer + directory, filename, name + 1);
    return 0;
}

void quorrel_worker_line_clear(quorrel_worker_line_t* line) {
    line->length = 0;
    line->overflow = false;
    line->text[0] = '\0';
}

void quorrel_worker_line_text(quorrel_worker_line_t* line, const char* text) {
    if (text != nullptr) append(line, text, std::strlen(text));
}

void quorrel_worker_line_field(quorrel_worker_line_t* line, const char* text) {
    if (text == nullptr) return;
    const std::size_t n = std::strlen(text);
    if (std::strpbrk(text, ",\"\r\n") == nullptr) {
        append(line, text, n);
        return;
    }
    append(line, "\"", 1);
    for (const char* run = text; *run != '\0';) {
        const char* quote = std::strchr(run, '"');
        const std::size_t length = quote != nullptr ? static_cast<std::size_t>(quote - run) + 1 : std::strlen(run);
        append(line, run, length);
        if (quote == nullptr) break;
        append(line, "\"", 1);  // the quote just copied, doubled
        run = quote + 1;
    }
    append(line, "\"", 1);
}

void quorrel_worker_line_int(quorrel_worker_line_t* line, long long value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    append(line, digits, static_cast<std::size_t>(result.ptr - digits));
}

namespace {

// The widest real column: "-1.7976931348623157e+308".
constexpr std::size_t real_width = 24;

// `value` as std::to_chars writes it in scientific form with 16 decimals (the C
// library's %.16e), into at least real_width bytes at `out`; the end. Zeros and the
// common magnitudes are put together from exact integer digits, which costs a fraction
// of the general conversion the rest takes.
char* put_real(char* out, double value) {
    uint64_t digits = 0;
    int exponent = 0;
    if (value == 0.0) {
        if (std::signbit(value)) *out++ = '-';
        std::memcpy(out, "0.0000000000000000e+00", 22);
        return out + 22;
    }
    if (!sph_real_digits17(std::fabs(value), digits, exponent))
        return std::to_chars(out, out + real_width, value, std::chars_format::scientific, 16).ptr;
    if (value < 0.0) *out++ = '-';
    out = sph_write_digits17(out, digits);
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;  // at most 17: two digits
    *out++ = static_cast<char>('0' + magnitude / 10);
    *out++ = static_cast<char>('0' + magnitude % 10);
    return out;
}

}  // namespace

void quorrel_worker_line_real(quorrel_worker_line_t* line, double value) {
    char digits[40];
    append(line, digits, static_cast<std::size_t>(put_real(digits, value) - digits));
}

void quorrel_worker_line_comma(quorrel_worker_line_t* line) { append(line, ",", 1); }

void quorrel_worker_log_record_clear(quorrel_worker_log_record_t* record) {
    if (record != nullptr) *record = quorrel_worker_log_record_t{};
}

int quorrel_worker_format_log_record(const quorrel_worker_log_record_t* record, quorrel_worker_line_t* line) {
    if (record == nullptr || line == nullptr) return -1;
    quorrel_worker_line_clear(line);
    const auto text = [line](const char* value) {
        quorrel_worker_line_field(line, value);
        quorrel_worker_line_comma(line);
    };
    const auto integer = [line](long long value) {
        quorrel_worker_line_int(line, value);
        quorrel_worker_line_comma(line);
    };
    text(record->solver_id);
    text(record->case_file);
    text(record->ipc_name);
    text(record->command_block);
    text(record->data_prefix);
    text(record->command_event);
    text(record->done_event);
    integer(record->timeout_ms);
    text(record->worker_id);
    integer(record->command_id);
    integer(record->step_id);
    integer(record->ack_sequence);
    text(quorrel_worker_state_name(record->worker_state));
    integer(record->exported_particles);
    integer(record->exported_facets);
    integer(record->received_forces);
    for (const double* totals : {record->total_force, record->total_moment})
        for (int k = 0; k < 3; ++k) {
            quorrel_worker_line_real(line, totals[k]);
            quorrel_worker_line_comma(line);
        }
    integer(record->nonfinite_particles);
    integer(record->error_code);
    quorrel_worker_line_field(line, record->error_message);
    return line->overflow ? -1 : 0;
}

namespace {

// The widest column and its comma: "-9223372036854775808," and
// "-1.7976931348623157e+308,". With that much room left a column is written straight into
// the row, without a check per piece; the text is the same either way.
constexpr std::size_t integer_room = 21, real_room = 25;

bool has_room(const quorrel_worker_line_t* line, std::size_t n) {
    return !line->overflow && sizeof line->text - line->length > n;
}

void integer_column(quorrel_worker_line_t* line, long long value) {
    if (!has_room(line, integer_room)) {
        quorrel_worker_line_int(line, value);
        quorrel_worker_line_comma(line);
        return;
    }
    char* p = line->text + line->length;
    p = std::to_chars(p, p + integer_room, value).ptr;
    *p++ = ',';
    *p = '\0';
    line->length = static_cast<std::size_t>(p - line->text);
}

void vector_columns(quorrel_worker_line_t* line, const double* values) {
    if (!has_room(line, 3 * real_room)) {
        for (int k = 0; k < 3; ++k) {
            quorrel_worker_line_real(line, values[k]);
            quorrel_worker_line_comma(line);
        }
        return;
    }
    char* p = line->text + line->length;
    for (int k = 0; k < 3; ++k) {
        p = put_real(p, values[k]);
        *p++ = ',';
    }
    *p = '\0';
    line->length = static_cast<std::size_t>(p - line->text);
}

}  // namespace

int quorrel_worker_format_particle_record(int step_id, int region_index, const quorrel_worker_particle_record_t* record,
                                          quorrel_worker_line_t* line) {
    if (record == nullptr || line == nullptr) return -1;
    quorrel_worker_line_clear(line);
    integer_column(line, step_id);
    integer_column(line, region_index);
    integer_column(line, record->export_index);
    integer_column(line, record->internal_index);
    integer_column(line, record->particle_id_ext);
    integer_column(line, record->phase);
    integer_column(line, record->status);
    integer_column(line, record->material_id);
    integer_column(line, record->section_id);
    vector_columns(line, record->x);
    vector_columns(line, record->v);
    quorrel_worker_line_field(line, quorrel_worker_reject_reason_name(record->reject_reason));
    return line->overflow ? -1 : 0;
}

int quorrel_worker_format_force_record(int step_id, int region_index, const quorrel_worker_force_record_t* record,
                                       quorrel_worker_line_t* line) {
    if (record == nullptr || line == nullptr) return -1;
    quorrel_worker_line_clear(line);
    integer_column(line, step_id);
    integer_column(line, region_index);
    integer_column(line, record->source_id);
    integer_column(line, record->pair_id);
    integer_column(line, record->particle_id_ext);
    integer_column(line, record->export_index);
    integer_column(line, record->internal_index);
    vector_columns(line, record->force);
    vector_columns(line, record->moment);
    quorrel_worker_line_field(line, quorrel_worker_contact_state_name(record->contact_state));
    quorrel_worker_line_comma(line);
    quorrel_worker_line_field(line, quorrel_worker_reject_reason_name(record->reject_reason));
    return line->overflow ? -1 : 0;
}

namespace {

// Every byte of `text`, or false.
bool write_all(int fd, const char* text, std::size_t n) {
    while (n > 0) {
        const ssize_t done = write(fd, text, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        text += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

void buffer_append(quorrel_worker_report_file_t* report, const char* text, std::size_t n) {
    if (quorrel_worker_report_buffer_capacity - report->length < n) quorrel_worker_report_flush(report);
    std::memcpy(report->buffer + report->length, text, n);
    report->length += n;
}

}  // namespace

int quorrel_worker_report_open(quorrel_worker_report_file_t* report, const char* path, int kind,
                               SphFileOutcome* outcome) {
    if (outcome != nullptr) *outcome = SphFileOutcome::failed;
    if (report == nullptr) return -1;
    report->fd = -1;
    report->buffer = nullptr;
    report->length = 0;
    const char* header = quorrel_worker_report_header(kind);
    if (path == nullptr || header == nullptr) return -1;
    // Only a file that is ours alone is emptied and written: no FIFO, socket or link, no
    // file another user planted, and none that another live worker holds, whose rows
    // would otherwise mix with ours. The lock stays with the descriptor until the close.
    SphWriteOptions options;
    options.truncate = true;
    options.lock = true;
    options.own_only = true;
    options.mode = 0644;
    const int fd = sph_file_open_write(path, options, outcome);
    if (fd < 0) return -1;
    report->buffer = new (std::nothrow) char[quorrel_worker_report_buffer_capacity];
    if (report->buffer == nullptr) {
        close(fd);
        if (outcome != nullptr) *outcome = SphFileOutcome::failed;
        return -1;
    }
    report->fd = fd;
    buffer_append(report, header, std::strlen(header));
    buffer_append(report, line_break, 2);
    return 0;
}

void quorrel_worker_report_append_line(quorrel_worker_report_file_t* report, const quorrel_worker_line_t* line) {
    if (report == nullptr || report->fd < 0 || line == nullptr || line->overflow) return;
    // The row and its line break in one piece: a row is never split across two writes.
    if (quorrel_worker_report_buffer_capacity - report->length < line->length + 2) quorrel_worker_report_flush(report);
    std::memcpy(report->buffer + report->length, line->text, line->length);
    std::memcpy(report->buffer + report->length + line->length, line_break, 2);
    report->length += line->length + 2;
}

void quorrel_worker_report_flush(quorrel_worker_report_file_t* report) {
    if (report == nullptr || report->fd < 0 || report->length == 0) return;
    (void)write_all(report->fd, report->buffer, report->length);
    report->length = 0;
}

void quorrel_worker_report_close(quorrel_worker_report_file_t* report) {
    if (report == nullptr || report->fd < 0) return;
    quorrel_worker_report_flush(report);
    close(report->fd);
    delete[] report->buffer;
    report->fd = -1;
    report->buffer = nullptr;
    report->length = 0;
}

}  // namespace quorrel
