// What the processor can run, probed once for every kernel that dispatches on it.
#pragma once

namespace kestrune {

struct CpuFeatures {
  bool avx2 = false;
  bool f16c = false;
  bool avx512 = false;  // F, BW and VL together
  bool avx512_vnni = false;
};

const CpuFeatures& cpu_features();

}  // namespace kestrune
