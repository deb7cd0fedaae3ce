// The sampling settings a generation starts from, and the file's own defaults for them.
#pragma once

#include <cstdint>

#include "gguf/gguf.h"

namespace kestrune {

struct SamplingSettings {
  float temperature = 1.0f;
  uint64_t top_k = 20;
  float top_p = 0.95f;
  uint64_t seed = 0;
};

// The file's general.sampling.* values, else 1.0 / 20 / 0.95, and the clock seed.
SamplingSettings file_sampling(const GgufFile& file);

}  // namespace kestrune
