// The bytes are a deck: read and built through the interface, then read and built again
// over the first model, which must give the same outcome (every read starts from the
// defaults, not from the last deck), then, when it is small, stepped once. Every module
// starts from initialise and ends at finalise, so no input leaves anything behind for the
// next.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "interface/sph_api.h"

namespace {

struct Outcome {
    int read_status = 0, build_status = -1;
    std::string error;
    int32_t count = 0, warnings = 0;
    quorrel::fuzz::ParticleSnapshot particles;
    bool operator==(const Outcome&) const = default;
};

Outcome read_and_build(const std::string& deck) {
    using namespace quorrel;
    Outcome o;
    o.read_status = fuzz::checked(sph_read_inp(deck), "read deck");
    if (o.read_status == 0) {
        o.count = fuzz::particle_count();
        if (o.count <= fuzz::build_particle_limit) o.build_status = fuzz::checked(sph_build_model(), "build model");
    }
    o.error = fuzz::last_error();
    if (sph_get_input_warning_count(o.warnings) != 0) fuzz::fault("no warning count", 0);
    if (o.build_status == 0) o.particles = fuzz::ParticleSnapshot::take();
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorrel;
    fuzz::Scratch& scratch = fuzz::scratch();
    static const std::string deck = scratch.path("deck.inp");
    scratch.write(deck, data, size);
    sph_initialize();
    const Outcome first = read_and_build(deck);
    if (!(read_and_build(deck) == first)) fuzz::fault("a second read of the same deck came out differently", 0);
    if (first.build_status == 0 && first.count <= fuzz::step_particle_limit) {
        fuzz::redirect_output();
        (void)fuzz::one_step();
    }
    sph_finalize();
    scratch.clear_output();
    return 0;
}
