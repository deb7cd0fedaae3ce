// What the processor can run, probed once for every kernel that dispatches on it.
#pragma once

namespace kestrune {

struct CpuFeatures {
  bool avx2 = false;
  bool f16c = false;
  bool avx512 = false;  // F, BW and VL together
};

const CpuFeatures& cpu_features();

}  // namespace kestrune
