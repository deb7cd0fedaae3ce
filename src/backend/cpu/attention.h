// Gated softmax attention: per-head output gate carried by the query projection,
// per-head q/k RMS norms, partial half-split RoPE, grouped kv heads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "backend/cpu/matmul.h"
#include "backend/cpu/thread_pool.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"

namespace kestrune {

// The RoPE frequencies of pairs 0 .. rope_dim/2 - 1: pair j turns by pos ÷ freqs[j].
std::vector<float> rope_frequencies(uint64_t rope_dim, float base);

// Rotates the first rope_dim dims of one head vector (pairs j, j + rope_dim/2) to `pos`.
void rope_rotate(std::span<float> y, uint64_t rope_dim, float base, uint32_t pos);

// The mixer's output projection for consecutive tokens, column j at pos + j, each
// column's key and value appended before the next column attends; the columns
// themselves are not changed. The products take all columns at once, split across
// `pool` (or through `products` when set); the first error is the one the first column
// alone would meet.
Result<Columns> attn_outputs(const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, KvCache& kv,
                             ColumnsIn xs, ThreadPool* pool, const ProductFn& products = {});

}  // namespace kestrune
