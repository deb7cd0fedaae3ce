// Token columns: a layer operation takes k consecutive tokens' residual vectors at once.
#pragma once

#include <span>
#include <vector>

namespace kestrune {

// Owned vectors, one per column.
using Columns = std::vector<std::vector<float>>;
// Views of k columns, read-only or updated in place.
using ColumnsIn = std::span<const std::span<const float>>;
using ColumnsOut = std::span<const std::span<float>>;

inline std::vector<std::span<const float>> column_spans(const Columns& c) {
  return std::vector<std::span<const float>>(c.begin(), c.end());
}
inline std::vector<std::span<float>> column_spans_mut(Columns& c) {
  return std::vector<std::span<float>>(c.begin(), c.end());
}

}  // namespace kestrune
