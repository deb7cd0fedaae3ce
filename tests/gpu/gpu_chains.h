// The device chain checks of the GPU test runner (gpu_chains.cpp).
#pragma once

#include <string>
#include <vector>

namespace kestrune::gpu {

// Prints one line per check and adds to the runner's counts. `models` are whole-model
// files; those with a draft head also get the speculative check.
void chain_checks(const std::vector<std::string>& models, int& passed, int& failed);

}  // namespace kestrune::gpu
