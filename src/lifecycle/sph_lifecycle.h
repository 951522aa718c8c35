// Every module's lifecycle calls in one table: what the interface's initialise and
// finalise, the start of every deck read and the tests' fixture do to each module. A new
// phase adds its row here. The table sits above every module it names and below the
// reader, so the reader's reset and the interface both walk it without climbing.
#pragma once

#include <span>

namespace quorrel {

struct SphLifecycleRow {
    const char* module;
    void (*initialize)();       // interface initialise
    void (*reset)();            // interface finalise
    void (*deck_reset)();       // start of every deck read
    void (*release_scratch)();  // interface finalise, after every reset: buffers kept between steps
};

// The rows, in the order every walk takes them.
std::span<const SphLifecycleRow> sph_lifecycle_rows();

void sph_lifecycle_initialize();
// Resets every module, then releases every module's scratch.
void sph_lifecycle_finalize();
void sph_lifecycle_deck_reset();

}  // namespace quorrel
