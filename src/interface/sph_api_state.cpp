#include "interface/sph_api_state.h"

namespace quorrel {

SphApiState sph_api_state;

void sph_api_state_set_initialized(bool value) {
    sph_api_state.sph_api_initialized = value;
    if (!value) sph_api_state.sph_api_model_built = false;
}

void sph_api_state_get_initialized(bool& value) { value = sph_api_state.sph_api_initialized; }

// A model cannot count as built while the interface is closed.
void sph_api_state_set_model_built(bool value) {
    sph_api_state.sph_api_model_built = value && sph_api_state.sph_api_initialized;
}

void sph_api_state_get_model_built(bool& value) { value = sph_api_state.sph_api_model_built; }

}  // namespace quorrel
