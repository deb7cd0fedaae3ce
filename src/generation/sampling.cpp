#include "generation/sampling.h"

#include "sampler/sampler.h"

namespace kestrune {

SamplingSettings file_sampling(const GgufFile& file) {
  SamplingSettings s;
  if (auto v = meta_f32(file, "general.sampling.temp"); v.ok()) s.temperature = *v;
  // Real files store top_k as int32, so a non-negative Int counts like a UInt.
  if (auto v = meta_uint(file, "general.sampling.top_k"); v.ok()) s.top_k = *v;
  if (auto v = meta_f32(file, "general.sampling.top_p"); v.ok()) s.top_p = *v;
  s.seed = clock_seed();
  return s;
}

}  // namespace kestrune
