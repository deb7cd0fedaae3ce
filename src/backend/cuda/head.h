// The logits head on the device: it consumes the resident columns, downloads only the
// logits and ends the token residency.
#pragma once

#include "backend/cuda/cuda.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/weights.h"

namespace kestrune {

// Normalized columns, logits and the pinned staging of the heads; used under the token
// lock, which a head holds for its whole run.
struct HeadScratch {
  Buffer xn, logits, pinned;
  explicit HeadScratch(const DeviceApi* api);
};

// logits[j] = head · rms_norm(xs[j]) for 1 to 3 columns (more run the host head).
// A matching residency supplies the columns and ends with the call; a residency of
// another width is refused rather than left stale.
Status logits_head_device(CudaContext& c, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits);

}  // namespace kestrune
