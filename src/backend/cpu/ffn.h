// The dense SwiGLU feed-forward block that closes every layer.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "backend/cpu/matmul.h"
#include "backend/cpu/primitives.h"
#include "common/error.h"
#include "model/binding.h"

namespace kestrune {

struct FfnTensors {
  std::span<const float> norm;  // post_attention_norm
  Matrix gate;
  Matrix up;
  Matrix down;
  ThreadPool* pool = nullptr;  // from the weight source
};

Result<FfnTensors> bind_ffn(const WeightSource& w, uint64_t layer, Route route);

// The down projection of SwiGLU(rms_norm(x)); x itself is not changed.
Result<std::vector<float>> ffn_output(const FfnTensors& t, float eps, std::span<const float> x);

// ffn_output added into x.
Status ffn_apply(const FfnTensors& t, float eps, std::span<float> x);

// ffn_output of every column, the products taking all columns at once.
Result<Columns> ffn_outputs(const FfnTensors& t, float eps, ColumnsIn xs);

// ffn_outputs added into each column.
Status ffn_apply_cols(const FfnTensors& t, float eps, ColumnsOut xs);

}  // namespace kestrune
