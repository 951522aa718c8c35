// Writes the restart seeds: each deck given is read, built, stepped once and written as
// OUTPUT_DIR/<deck name>.rst. Run by make_restart_seeds.sh.
#include <cstdio>
#include <filesystem>
#include <string>

#include "interface/sph_api.h"

int main(int argc, char** argv) {
    using namespace quorrel;
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR DECK...\n", argv[0]);
        return 2;
    }
    int failures = 0;
    for (int k = 2; k < argc; ++k) {
        const std::filesystem::path deck(argv[k]);
        const std::string target = (std::filesystem::path(argv[1]) / deck.stem()).string() + ".rst";
        sph_initialize();
        double dt = 0.0;
        int st = sph_read_inp(deck.string());
        if (st == 0) st = sph_build_model();
        if (st == 0) st = sph_estimate_stable_dt(dt);
        if (st == 0) st = sph_advance_explicit(dt);
        if (st == 0) st = sph_write_restart(target);
        if (st != 0) {
            int32_t code = 0;
            char message[257] = {};
            sph_get_last_error(code, message, 256);
            std::fprintf(stderr, "%s: %.256s\n", deck.c_str(), message);
            ++failures;
        }
        sph_finalize();
    }
    return failures == 0 ? 0 : 1;
}
