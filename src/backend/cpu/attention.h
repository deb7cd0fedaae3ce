// Gated softmax attention: per-head output gate carried by the query projection,
// per-head q/k RMS norms, partial half-split RoPE, grouped kv heads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "backend/cpu/thread_pool.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"
#include "numerics/scalar.h"

namespace kestrune {

// Rotates the first rope_dim dims of one head vector (pairs j, j + rope_dim/2) to `pos`.
void rope_rotate(std::span<float> y, uint64_t rope_dim, float base, uint32_t pos);

// Query preparation, the cache append and gated attention of consecutive tokens, column
// j at pos + j: each column's key and value (k normed and rotated in place) join the
// cache before column j + 1 attends; o gets n_head * head_dim floats per column. The
// (head, column) pairs run across `pool`.
Status attend_columns(const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, KvCache& kv,
                      const Columns& qg, Columns& k, const Columns& v, Columns& o, ThreadPool* pool);

}  // namespace kestrune
