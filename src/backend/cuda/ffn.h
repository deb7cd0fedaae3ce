// The SwiGLU feed-forward block on the device for one, two or three columns.
#pragma once

#include <mutex>

#include "backend/cuda/cuda.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/weights.h"

namespace kestrune {

// A block's scratch, keyed by the address of its gate weight; grown to fit and reused by
// the three widths.
struct FfnScratch {
  std::mutex mu;
  Buffer x_dev, x_pin, xn, gate, up, down;
  explicit FfnScratch(const DeviceApi* api);
};

// Whether gate, up and down can run on the device.
bool ffn_device_eligible(const FfnWeights& w);

// x += down · (silu(gate · n) ⊙ (up · n)), n = rms_norm(x), for 1 to 3 columns on the
// device. The weights must be eligible. Columns are read from the token residency when
// it matches them, else staged; `stage_only` forces staging.
Status ffn_swiglu_device(CudaContext& c, const FfnWeights& w, float eps, ColumnsOut xs, bool stage_only = false);

}  // namespace kestrune
