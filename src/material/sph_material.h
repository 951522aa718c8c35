#pragma once

namespace quorrel {

struct SphMaterial {
    bool material_module_initialized = false;
};
extern SphMaterial sph_material;

void sph_material_initialize();
void sph_material_reset();

}  // namespace quorrel
