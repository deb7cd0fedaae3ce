// The width-independent half of the SIMD product kernels: rows are read in groups of
// one vector's lanes (lane i = output row i of the group), groups are run in tiles,
// and the column count picks a kernel instance. A kernel file supplies its width and
// the function that runs one tile (K::kLanes, K::kGroups, K::kQ8Groups, K::tile).
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend/cpu/matvec_kernels.h"
#include "quant/types.h"

namespace kestrune::matvec_detail {

template <int kLanes>
struct RowGroup {
  const uint8_t* p[kLanes];
  int valid = kLanes;
  size_t ahead = 0;  // bytes from a row to the same row of the next tile
};

// The V groups of the tile that starts at row r0; lanes past the last row read it again
// (their sums are never stored).
template <int kLanes, int V>
inline void setup_groups(const Rows& m, size_t r0, size_t rows, RowGroup<kLanes>* groups) {
#pragma GCC unroll 16
  for (int v = 0; v < V; ++v) {
    const size_t first = r0 + size_t(v) * kLanes;
    const size_t left = first < rows ? rows - first : 0;
    groups[v].valid = left < size_t(kLanes) ? int(left) : kLanes;
    groups[v].ahead = size_t(V) * kLanes * m.row_bytes;
#pragma GCC unroll 16
    for (int i = 0; i < kLanes; ++i) {
      const size_t r = i < groups[v].valid ? first + i : rows - 1;
      groups[v].p[i] = m.data + r * m.row_bytes;
    }
  }
}

// Tiles of G groups, then the ragged end one group at a time.
template <class K, int G, int C>
void run_groups(const Rows& m, const float* const* x, size_t n, float* const* y, size_t rows) {
  constexpr size_t kTileRows = size_t(G) * K::kLanes;
  size_t r = 0;
  for (; r + kTileRows <= rows; r += kTileRows) K::template tile<G, C>(m, x, n, y, r, rows);
  for (; r < rows; r += K::kLanes) K::template tile<1, C>(m, x, n, y, r, rows);
}

// Several columns already give each group independent sums: one group is enough, and
// keeps the number of kernel instances (and the build time) in check. One column keeps
// more rows in flight; Q8_0 rows are cheap to decode, so they may take more groups.
template <class K, int C>
void run_all(const Rows& m, const float* const* x, size_t n, float* const* y, size_t rows) {
  if constexpr (C > 1) {
    run_groups<K, 1, C>(m, x, n, y, rows);
  } else {
    if (m.type == kQ8_0) return run_groups<K, K::kQ8Groups, C>(m, x, n, y, rows);
    run_groups<K, K::kGroups, C>(m, x, n, y, rows);
  }
}

template <class K>
void run_columns(const Rows& m, const float* const* x, int cols, size_t n, float* const* y, size_t rows) {
  switch (cols) {
    case 1:
      return run_all<K, 1>(m, x, n, y, rows);
    case 2:
      return run_all<K, 2>(m, x, n, y, rows);
    case 3:
      return run_all<K, 3>(m, x, n, y, rows);
    default:
      return run_all<K, 4>(m, x, n, y, rows);
  }
}

}  // namespace kestrune::matvec_detail
