// The dense SwiGLU feed-forward block that closes every layer.
#pragma once

#include "backend/cpu/matmul.h"
#include "backend/cpu/thread_pool.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/weights.h"

namespace kestrune {

// The down projection of SwiGLU(rms_norm(x)) for every column, the products taking all
// columns at once, split across `pool` (or through `products` when set); the columns
// themselves are not changed.
Result<Columns> ffn_outputs(const FfnWeights& w, float eps, ColumnsIn xs, ThreadPool* pool,
                            const ProductFn& products = {});

}  // namespace kestrune
