// The bytes are a restart file. When it reads, the model it leaves must take a step
// (which may refuse the state, as long as it says why), be written again and read back
// with the same particle count, time and step; and from then on writing and reading must
// lose nothing.
//
// The reader takes any velocity, so a step may carry a particle to infinity: that step
// fails, but the model keeps the position it reached; the file of such a model is rightly
// refused, and only with the message that names the position.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "interface/sph_api.h"

namespace {

struct Clock {
    double time = 0.0;
    int32_t step = 0;
    bool operator==(const Clock& other) const {
        // Bit for bit, so a NaN time compares equal to itself.
        return std::memcmp(&time, &other.time, sizeof time) == 0 && step == other.step;
    }
};

Clock clock_now() {
    Clock c;
    if (quorrel::sph_get_current_time(c.time, c.step) != 0) quorrel::fuzz::fault("no current time", 0);
    return c;
}

bool refused_for_position() {
    int32_t code = 0;
    char message[257] = {};
    quorrel::sph_get_last_error(code, message, 256);
    return code == 1 && std::string_view(message).starts_with("particle position is not finite");
}

bool same_bytes(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    const std::string ta((std::istreambuf_iterator<char>(fa)), std::istreambuf_iterator<char>());
    const std::string tb((std::istreambuf_iterator<char>(fb)), std::istreambuf_iterator<char>());
    return !ta.empty() && ta == tb;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorrel;
    fuzz::Scratch& scratch = fuzz::scratch();
    static const std::string input = scratch.path("input.rst");
    static const std::string first = scratch.path("first.rst");
    static const std::string second = scratch.path("second.rst");
    static const std::string third = scratch.path("third.rst");
    scratch.write(input, data, size);
    sph_initialize();
    if (fuzz::checked(sph_read_restart(input), "read restart") == 0) {
        fuzz::redirect_output();
        if (fuzz::particle_count() <= fuzz::step_particle_limit) (void)fuzz::one_step();
        const Clock clock = clock_now();
        const fuzz::ParticleSnapshot stepped = fuzz::ParticleSnapshot::take();
        if (int st = fuzz::checked(sph_write_restart(first), "write restart")) fuzz::fault("a read model was not written", st);
        if (int st = fuzz::checked(sph_read_restart(first), "read restart back")) {
            if (!stepped.has_nonfinite_position() || !refused_for_position())
                fuzz::fault("a written restart file did not read back", st);
        } else {
            if (fuzz::particle_count() != stepped.count) fuzz::fault("the particle count changed on the way back", 0);
            if (!(clock_now() == clock)) fuzz::fault("the time or step changed on the way back", 0);
            // A model read from a file and written again is a fixed point: the second
            // file reads back to the same particles and writes the same bytes.
            const fuzz::ParticleSnapshot restored = fuzz::ParticleSnapshot::take();
            if (int st = fuzz::checked(sph_write_restart(second), "write restart again"))
                fuzz::fault("a restored model was not written", st);
            if (int st = fuzz::checked(sph_read_restart(second), "read restart again"))
                fuzz::fault("a rewritten restart file did not read back", st);
            if (!(fuzz::ParticleSnapshot::take() == restored)) fuzz::fault("the particles changed on a second trip", 0);
            if (int st = fuzz::checked(sph_write_restart(third), "write restart a third time"))
                fuzz::fault("a twice restored model was not written", st);
            if (!same_bytes(second, third)) fuzz::fault("a restored model wrote a different file", 0);
        }
    }
    sph_finalize();
    scratch.clear_output();
    return 0;
}
