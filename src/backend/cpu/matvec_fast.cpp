#include "backend/cpu/matvec_fast.h"

#include <algorithm>
#include <optional>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#define KS_MATVEC_X86 1
#endif

#include "backend/cpu/cpu_features.h"
#include "backend/cpu/matvec_kernels.h"
#include "backend/cpu/repack.h"
#include "common/runtime_options.h"
#include "common/format.h"
#include "quant/types.h"

namespace kestrune {

namespace {

MatvecIsa detect_isa() {
#ifdef KS_MATVEC_X86
  const CpuFeatures& f = cpu_features();
  if (!f.f16c || !f.avx2) return MatvecIsa::kScalar;
  return f.avx512 ? MatvecIsa::kAvx512 : MatvecIsa::kAvx2;
#else
  return MatvecIsa::kScalar;
#endif
}

Status scalar_rows(const RowSource& rows, std::span<const float> x, std::span<float> y, size_t first) {
  return matvec_rows_reference(rows, x, y, first);
}

bool kernel_type(uint32_t type) {
  switch (type) {
    case kF32:
    case kF16:
    case kQ8_0:
    case kQ4_K:
    case kQ5_K:
    case kQ6_K:
      return true;
    default:
      return false;
  }
}

void run_kernel(MatvecIsa isa, const matvec_detail::Rows& m, const float* const* x, int cols, size_t n,
                float* const* y, size_t rows) {
#ifdef KS_MATVEC_X86
  if (isa == MatvecIsa::kAvx512) return matvec_detail::matvec_avx512(m, x, cols, n, y, rows);
  if (isa == MatvecIsa::kAvx2) return matvec_detail::matvec_avx2(m, x, cols, n, y, rows);
#else
  (void)isa, (void)m, (void)x, (void)cols, (void)n, (void)y, (void)rows;
#endif
}

// The rows of `view` in its packed copy: [first, first + count) of the packed tensor,
// when they are all there.
std::optional<size_t> packed_first_row(const TensorView& view, size_t count) {
  if (count == 0) return std::nullopt;
  const auto first = packed_row(view, 0);
  if (!first || !packed_row(view, count - 1)) return std::nullopt;
  return static_cast<size_t>(*first);
}

void run_packed(MatvecIsa isa, const PackedRows& p, const float* const* x, int cols, float* const* y, size_t r0,
                size_t r1) {
#ifdef KS_MATVEC_X86
  if (isa == MatvecIsa::kAvx512) return matvec_detail::matvec_packed_avx512(p, x, cols, y, r0, r1);
  if (isa == MatvecIsa::kAvx2) return matvec_detail::matvec_packed_avx2(p, x, cols, y, r0, r1);
#else
  (void)isa, (void)p, (void)x, (void)cols, (void)y, (void)r0, (void)r1;
#endif
}

}  // namespace

const char* matvec_isa_name(MatvecIsa isa) {
  switch (isa) {
    case MatvecIsa::kScalar:
      return "scalar";
    case MatvecIsa::kAvx2:
      return "avx2";
    case MatvecIsa::kAvx512:
      return "avx512";
  }
  return "unknown";
}

MatvecIsa matvec_best_isa() {
  static const MatvecIsa best = detect_isa();
  return best;
}

bool matvec_isa_supported(MatvecIsa isa) {
  const MatvecIsa best = matvec_best_isa();
  switch (isa) {
    case MatvecIsa::kScalar:
      return true;
    case MatvecIsa::kAvx2:
      return best == MatvecIsa::kAvx2 || best == MatvecIsa::kAvx512;
    case MatvecIsa::kAvx512:
      return best == MatvecIsa::kAvx512;
  }
  return false;
}

bool fast_matvec_available() { return matvec_best_isa() != MatvecIsa::kScalar; }

Status matvec_rows_isa(MatvecIsa isa, const RowSource& rows, std::span<const float> x, std::span<float> y) {
  const std::span<const float> xs[1] = {x};
  const std::span<float> ys[1] = {y};
  return matvec_rows_isa_multi(isa, rows, xs, ys);
}

Status matvec_rows_isa_multi(MatvecIsa isa, const RowSource& rows, std::span<const std::span<const float>> xs,
                             std::span<const std::span<float>> ys) {
  if (!matvec_isa_supported(isa)) {
    return invalid_input(format("matvec: {} is not supported by this CPU", matvec_isa_name(isa)));
  }
  if (xs.size() != ys.size()) return invalid_input("matvec: input and output column counts differ");
  if (xs.empty()) return {};
  const size_t out_rows = ys[0].size();
  bool same = true;
  for (size_t k = 0; k < xs.size(); ++k) {
    same = same && ys[k].size() == out_rows && xs[k].size() == xs[0].size();
  }
  // Column by column where the kernel's shared shape does not hold.
  if (isa == MatvecIsa::kScalar || !same || xs.size() > size_t(matvec_detail::kMaxCols)) {
    for (size_t k = 0; k < xs.size(); ++k) {
      KS_CHECK(isa == MatvecIsa::kScalar ? scalar_rows(rows, xs[k], ys[k], 0)
                                         : matvec_rows_isa(isa, rows, xs[k], ys[k]));
    }
    return {};
  }
  if (out_rows == 0) return {};
  const float* xp[matvec_detail::kMaxCols];
  float* yp[matvec_detail::kMaxCols];
  for (size_t k = 0; k < xs.size(); ++k) {
    xp[k] = xs[k].data();
    yp[k] = ys[k].data();
  }
  const int cols = static_cast<int>(xs.size());
  auto scalar_all = [&](size_t first) -> Status {
    for (size_t k = 0; k < xs.size(); ++k) KS_CHECK(scalar_rows(rows, xs[k], ys[k], first));
    return {};
  };

  if (const auto* dense = std::get_if<DenseRows>(&rows)) {
    const size_t n = static_cast<size_t>(dense->ne0 < xs[0].size() ? dense->ne0 : xs[0].size());
    if (n == 0) return scalar_all(0);  // all zeros; no row is read
    const matvec_detail::Rows m{kF32, reinterpret_cast<const uint8_t*>(dense->data), dense->ne0 * sizeof(float)};
    run_kernel(isa, m, xp, cols, n, yp, out_rows);
    return {};
  }

  const auto& view = std::get<TensorView>(rows);
  const uint64_t ne0 = view.ne0();
  const uint64_t stored = view.rows();
  // Anything the row fetch would refuse (unknown type, ragged blocks, no rows) goes
  // through the reference loop, which fails with the fetch's own error.
  if (view.info == nullptr || !kernel_type(view.info->type) || stored == 0) return scalar_all(0);
  auto rs = row_size(*view.info);
  if (!rs.ok()) return scalar_all(0);
  const size_t n = static_cast<size_t>(ne0 < xs[0].size() ? ne0 : xs[0].size());
  const size_t fast = static_cast<size_t>(out_rows < stored ? out_rows : stored);
  const auto packed = n == ne0 ? packed_first_row(view, fast) : std::nullopt;
  if (packed && n > 0) {
    run_packed(isa, *view.packed, xp, cols, yp, *packed, *packed + fast);
  } else if (n == 0) {
    for (size_t k = 0; k < xs.size(); ++k) {
      for (size_t r = 0; r < fast; ++r) ys[k][r] = 0.0f;
    }
  } else {
    const matvec_detail::Rows m{view.info->type, view.data, *rs};
    run_kernel(isa, m, xp, cols, n, yp, fast);
  }
  // Rows past the stored ones fail as the row fetch does.
  return fast < out_rows ? scalar_all(fast) : Status{};
}

void dot_rows_f32(const float* base, size_t stride, size_t n, size_t rows, std::span<const float* const> xs,
                  std::span<float* const> ys) {
  const size_t cols = std::min(xs.size(), ys.size());
  if (n > 0 && cols > 0 && cols <= size_t(matvec_detail::kMaxCols) && fast_matvec_available() &&
      !reference_forced()) {
    const matvec_detail::Rows m{kF32, reinterpret_cast<const uint8_t*>(base), stride * sizeof(float)};
    run_kernel(matvec_best_isa(), m, xs.data(), static_cast<int>(cols), n, ys.data(), rows);
    return;
  }
  for (size_t k = 0; k < cols; ++k) {
    for (size_t r = 0; r < rows; ++r) {
      const float* row = base + r * stride;
      float acc = 0.0f;
      for (size_t i = 0; i < n; ++i) acc = acc + row[i] * xs[k][i];
      ys[k][r] = acc;
    }
  }
}

void decode_packed_group(const PackedRows& p, size_t g, float* out) {
#ifdef KS_MATVEC_X86
  if (matvec_best_isa() == MatvecIsa::kAvx512) return matvec_detail::packed_group_avx512(p, g, out);
  if (matvec_best_isa() == MatvecIsa::kAvx2) return matvec_detail::packed_group_avx2(p, g, out);
#endif
  std::vector<float> row(static_cast<size_t>(p.ne0));
  for (size_t i = 0; i < 16; ++i) {
    const uint64_t r = g * 16 + i;
    if (r >= p.rows || !packed_dequant_row(p, r, row.data()).ok()) std::fill(row.begin(), row.end(), 0.0f);
    for (size_t c = 0; c < row.size(); ++c) out[16 * c + i] = row[c];
  }
}

Status matvec_rows_fast(const RowSource& rows, std::span<const float> x, std::span<float> y) {
  return matvec_rows_isa(matvec_best_isa(), rows, x, y);
}

Status matvec_rows_fast_multi(const RowSource& rows, std::span<const std::span<const float>> xs,
                              std::span<const std::span<float>> ys) {
  return matvec_rows_isa_multi(matvec_best_isa(), rows, xs, ys);
}

}  // namespace kestrune
