// The two lifecycle flags of the programming interface.
#pragma once

namespace quorrel {

struct SphApiState {
    bool sph_api_initialized = false;
    // Never true while sph_api_initialized is false.
    bool sph_api_model_built = false;
};
extern SphApiState sph_api_state;

// Storing false also clears the model-built flag.
void sph_api_state_set_initialized(bool value);
void sph_api_state_get_initialized(bool& value);
void sph_api_state_set_model_built(bool value);
void sph_api_state_get_model_built(bool& value);

}  // namespace quorrel
