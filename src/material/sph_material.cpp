#include "material/sph_material.h"

namespace quorrel {

SphMaterial sph_material;

void sph_material_initialize() { sph_material.material_module_initialized = true; }
void sph_material_reset() { sph_material.material_module_initialized = false; }

}  // namespace quorrel
