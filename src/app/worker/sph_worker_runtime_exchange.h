// EXPORT_INTERFACE and IMPORT_LOADS: the worker fills the particle half of the data block
// from the coupling regions and feeds the accepted force records of the force half to
// coupling region 1, always through the C interface. Each command allocates only the
// temporary arrays of one export or of the accepted imports and frees them before it
// answers; the block itself is never copied.
#pragma once

#include "sph_worker_blocks.h"
#include "sph_worker_ipc.h"
#include "sph_worker_runtime_reports.h"

namespace quorrel {

static_assert(quorrel_worker_data_exchange_bytes == quorrel_worker_data_block_bytes);

// The transport's data view as the block, or null when there is none.
quorrel_worker_data_exchange_t* quorrel_worker_runtime_exchange_data(const quorrel_worker_ipc_t* ipc);

// EXPORT_INTERFACE: resets the particle header (version, capacity, count and the two
// rejection counts; the rest is kept) and appends the particles of every enabled region
// with particles, region after region, export indices restarting at 1 in each, writing a
// particle-report row per exported particle. Without a data block only the regions are
// counted. The first failing C call's status, -1 for a failed allocation.
[[nodiscard]] int quorrel_worker_runtime_export_particles(quorrel_worker_ipc_t* ipc,
                                                          quorrel_worker_runtime_reports_t* reports, int step_id);
// One region of it, exporting at most `capacity` particles (0 or less: nothing).
[[nodiscard]] int quorrel_worker_runtime_export_region(quorrel_worker_data_exchange_t* data, int region_index,
                                                       int capacity, quorrel_worker_runtime_reports_t* reports,
                                                       int step_id);

// IMPORT_LOADS: checks every force record against region 1's export list and the host
// step `step_id`, marks each with its reason, writes a force-report row per record, then
// hands the accepted contact states (when region 1 imports them) and forces to region 1,
// contacts first so that a new host step opened by them keeps the forces. No data block,
// no region or no record clears the imports instead. -1 for a force header with the wrong
// version or an impossible count (nothing cleared, no record marked) or a failed
// allocation; else the status of the last C call.
[[nodiscard]] int quorrel_worker_runtime_import_forces(quorrel_worker_ipc_t* ipc,
                                                       quorrel_worker_runtime_reports_t* reports, int step_id);

}  // namespace quorrel
