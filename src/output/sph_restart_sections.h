// The sections of the restart file that follow the main records, as one fixed table. Each
// section lives in this room and reads and writes the state of its phase; every section
// uses the record helpers of core/sph_restart_io.h.
#pragma once

#include <span>

#include "core/sph_restart_io.h"
#include "output/sph_restart.h"

namespace quorrel {

// One section: what the write, the read and a file that predates it do with it. Every
// function returns 0 or a failure it has recorded (a read: code 4 with the section's
// message).
struct SphRestartSection {
    // The first layout that holds the section.
    SphRestartVersion since;
    // Writes the section in the newest layout.
    int (*write)(SphRestartWriter& out);
    // Reads the section as `version` lays it out.
    int (*read)(SphRestartReader& in, SphRestartVersion version);
    // After a read: what the section's layout in `version` lacks, and what follows from
    // the records once all are in.
    void (*seed)(SphRestartVersion version);
    // For a file that predates the section: the state a deck read leaves.
    int (*clear)();
};

// The sections in the file's order.
std::span<const SphRestartSection> sph_restart_sections();

int sph_restart_write_explosive_state(SphRestartWriter& out);
int sph_restart_read_explosive_state(SphRestartReader& in, SphRestartVersion version);
void sph_restart_seed_explosive_state(SphRestartVersion version);
int sph_restart_clear_explosive_state();

int sph_restart_write_solid_state(SphRestartWriter& out);
int sph_restart_read_solid_state(SphRestartReader& in, SphRestartVersion version);
void sph_restart_seed_solid_state(SphRestartVersion version);
int sph_restart_clear_solid_state();

int sph_restart_write_coupling_state(SphRestartWriter& out);
int sph_restart_read_coupling_state(SphRestartReader& in, SphRestartVersion version);
void sph_restart_seed_coupling_state(SphRestartVersion version);
int sph_restart_clear_coupling_state();

}  // namespace quorrel
