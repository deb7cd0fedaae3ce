// The layer and whole-model checks of the GPU test runner (gpu_layers.cpp).
#pragma once

#include <string>
#include <vector>

namespace kestrune::gpu {

// Prints one line per check and adds to the runner's counts. `models` are whole-model
// files; those with a draft head also get the speculative check.
void layer_checks(const std::vector<std::string>& models, int& passed, int& failed);

}  // namespace kestrune::gpu
