#include "backend/cpu/matmul.h"

#include <algorithm>
#include <atomic>

#include "backend/cpu/cpu_features.h"
#include "backend/cpu/dequant_fast.h"
#include "backend/cpu/matvec_fast.h"
#include "backend/cpu/matvec_kernels.h"
#include "backend/cpu/repack.h"
#include "common/format.h"
#include "common/runtime_options.h"
#include "quant/types.h"

namespace kestrune {

namespace {

// Columns multiplied together: lane c of the accumulators belongs to column c alone, so
// a vector loop over the lanes keeps every column's sum in reference order (separate
// multiply and add, -ffp-contract=off).
constexpr size_t kLanes = 16;
// Smallest slice of a product (multiply-adds) worth handing to another thread.
constexpr size_t kMinPartWork = size_t{1} << 16;

// Elements of every column multiplied with a row: min(row length, column length) when
// all columns agree, none when they differ.
std::optional<size_t> common_length(uint64_t ne0, ColumnsIn xs) {
  std::optional<size_t> n;
  for (auto x : xs) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(ne0, x.size()));
    if (n && *n != len) return std::nullopt;
    n = len;
  }
  return n;
}

// Columns regrouped by kLanes: element i of column g*kLanes + c at
// [(g*n + i)*kLanes + c]; lanes past the last column hold zeros.
std::vector<float> make_panels(ColumnsIn xs, size_t n) {
  const size_t groups = (xs.size() + kLanes - 1) / kLanes;
  std::vector<float> p(groups * n * kLanes, 0.0f);
  for (size_t col = 0; col < xs.size(); ++col) {
    float* dst = p.data() + (col / kLanes) * n * kLanes + col % kLanes;
    const float* src = xs[col].data();
    for (size_t i = 0; i < n; ++i) dst[i * kLanes] = src[i];
  }
  return p;
}

typedef float Vec4 __attribute__((vector_size(16)));
typedef float Vec8 __attribute__((vector_size(32)));

// out[r*kLanes + c] = sum over i of w[r][i*S] * panel[i*kLanes + c] for R rows, each
// lane accumulated left to right from zero. S = 16 reads rows of a decoded packed group.
template <class V, size_t R, size_t S = 1>
inline __attribute__((always_inline)) void panel_rows(const float* const* w, const float* panel, size_t n,
                                                      float* out) {
  constexpr size_t W = sizeof(V) / sizeof(float), K = kLanes / W;
  V acc[R][K];
  for (size_t r = 0; r < R; ++r) {
    for (size_t k = 0; k < K; ++k) acc[r][k] = V{};
  }
  for (size_t i = 0; i < n; ++i) {
    V p[K];
    for (size_t k = 0; k < K; ++k) __builtin_memcpy(&p[k], panel + i * kLanes + k * W, sizeof(V));
    for (size_t r = 0; r < R; ++r) {
      const float wi = w[r][i * S];
      for (size_t k = 0; k < K; ++k) acc[r][k] = acc[r][k] + wi * p[k];
    }
  }
  for (size_t r = 0; r < R; ++r) {
    for (size_t k = 0; k < K; ++k) __builtin_memcpy(out + r * kLanes + k * W, &acc[r][k], sizeof(V));
  }
}

// A kernel over `rows` rows at once, on contiguous rows and on decoded packed groups;
// one row at a time always works.
using PanelFn = void (*)(const float* const* w, const float* panel, size_t n, float* out);
struct PanelKernel {
  size_t rows = 1;
  PanelFn many = nullptr;
  PanelFn many16 = nullptr;
};

void panel_one(const float* const* w, const float* panel, size_t n, float* out) {
  panel_rows<Vec4, 1>(w, panel, n, out);
}
void panel_one16(const float* const* w, const float* panel, size_t n, float* out) {
  panel_rows<Vec4, 1, 16>(w, panel, n, out);
}

#if defined(__x86_64__) && defined(__GNUC__)
// Four rows in flight hide the add latency; no FMA is enabled, so no product fuses.
__attribute__((target("avx2"))) void panel_four_avx2(const float* const* w, const float* panel, size_t n,
                                                     float* out) {
  panel_rows<Vec8, 4>(w, panel, n, out);
}
__attribute__((target("avx2"))) void panel_four16_avx2(const float* const* w, const float* panel, size_t n,
                                                       float* out) {
  panel_rows<Vec8, 4, 16>(w, panel, n, out);
}
#endif

PanelKernel pick_kernel() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (cpu_features().avx2) return {4, panel_four_avx2, panel_four16_avx2};
#endif
  return {1, panel_one, panel_one16};
}

const PanelKernel& panel_kernel() {
  static const PanelKernel k = pick_kernel();
  return k;
}

struct MultiJob {
  const RowSource* rows;
  ColumnsIn xs;
  ColumnsOut ys;
  std::optional<size_t> n;  // common length: the panel path
  const float* panels;
};

// multi_range over a packed tensor: each group of 16 rows decoded once, then its rows
// through the panels as the plain rows would go.
void packed_range(const MultiJob& j, const PackedRows& p, size_t first, size_t r0, size_t r1) {
  const PanelKernel& kern = panel_kernel();
  const size_t n = *j.n, cols = j.xs.size();
  std::vector<float> buf(static_cast<size_t>(p.ne0) * kPackRows);
  const float* w[4] = {};
  float acc[4 * kLanes];
  for (size_t r = r0; r < r1;) {
    const size_t g = (first + r) / kPackRows, lane = (first + r) % kPackRows;
    decode_packed_group(p, g, buf.data());
    const size_t end = std::min(r1, r + (kPackRows - lane));
    while (r < end) {
      const size_t take = std::min(kern.rows, end - r);
      for (size_t b = 0; b < take; ++b) w[b] = buf.data() + (first + r + b) % kPackRows;
      for (size_t c0 = 0; c0 < cols; c0 += kLanes) {
        const float* panel = j.panels + (c0 / kLanes) * n * kLanes;
        if (take == kern.rows) {
          kern.many16(w, panel, n, acc);
        } else {
          for (size_t b = 0; b < take; ++b) panel_one16(&w[b], panel, n, acc + b * kLanes);
        }
        for (size_t b = 0; b < take; ++b) {
          for (size_t c = c0; c < std::min(cols, c0 + kLanes); ++c) j.ys[c][r + b] = acc[b * kLanes + c - c0];
        }
      }
      r += take;
    }
  }
}

// Rows [r0, r1) of the product, up to the kernel's row count at a time.
Status multi_range(const MultiJob& j, size_t r0, size_t r1) {
  const DenseRows* dense = std::get_if<DenseRows>(j.rows);
  const TensorView* view = std::get_if<TensorView>(j.rows);
  if (view && j.n && r1 > r0 && !reference_forced()) {
    const auto first = packed_row(*view, 0);
    if (first && packed_row(*view, r1 - 1)) {
      packed_range(j, *view->packed, static_cast<size_t>(*first), r0, r1);
      return {};
    }
  }
  const size_t ne0 = static_cast<size_t>(dense ? dense->ne0 : view->ne0());
  const size_t cols = j.xs.size();
  const PanelKernel& kern = panel_kernel();
  const size_t block = j.n ? kern.rows : 1;
  std::vector<float> buf(dense ? 0 : ne0 * block);
  const bool fast = !reference_forced();
  const float* w[4] = {};
  float acc[4 * kLanes];
  for (size_t r = r0; r < r1;) {
    const size_t take = std::min(block, r1 - r);
    for (size_t b = 0; b < take; ++b) {
      if (dense) {
        w[b] = dense->data + (r + b) * ne0;
      } else {
        float* row = buf.data() + b * ne0;
        KS_CHECK(fast ? dequant_row_fast(*view, r + b, row) : dequant_row_into(*view, r + b, row));
        w[b] = row;
      }
    }
    if (!j.n) {
      for (size_t c = 0; c < cols; ++c) j.ys[c][r] = dot({w[0], ne0}, j.xs[c]);
      r += 1;
      continue;
    }
    const size_t n = *j.n;
    for (size_t g = 0; g * kLanes < cols; ++g) {
      const float* panel = j.panels + g * n * kLanes;
      if (take == kern.rows) {
        kern.many(w, panel, n, acc);
      } else {
        for (size_t b = 0; b < take; ++b) panel_one(&w[b], panel, n, acc + b * kLanes);
      }
      const size_t lanes = std::min(kLanes, cols - g * kLanes);
      for (size_t b = 0; b < take; ++b) {
        for (size_t c = 0; c < lanes; ++c) j.ys[g * kLanes + c][r + b] = acc[b * kLanes + c];
      }
    }
    r += take;
  }
  return {};
}

// Rows the product of `rows` would split: none when a row fetch could fail (the
// reference loop then reports it), else every row.
bool splittable(const RowSource& rows, size_t n_rows) {
  const auto* view = std::get_if<TensorView>(&rows);
  if (!view) return true;
  if (view->info == nullptr || n_rows > view->rows()) return false;
  return row_size(*view->info).ok();
}

// Rows from `first` on, as a source of their own. A stored tensor's view keeps its
// whole-tensor row count, so only the caller's bound keeps reads inside the mapping.
RowSource rows_from(const RowSource& rows, size_t first) {
  if (const auto* dense = std::get_if<DenseRows>(&rows)) return DenseRows{dense->data + first * dense->ne0, dense->ne0};
  const auto& view = std::get<TensorView>(rows);
  const uint64_t rs = first == 0 ? 0 : *row_size(*view.info);
  return TensorView{view.info, view.data + first * rs, view.size - first * rs, view.packed};
}

uint64_t row_length(const RowSource& rows) {
  if (const auto* dense = std::get_if<DenseRows>(&rows)) return dense->ne0;
  return std::get<TensorView>(rows).ne0();
}

// Rows per part so that a part holds at least kMinPartWork multiply-adds.
size_t grain_rows(uint64_t ne0, size_t cols) {
  const uint64_t per_row = std::max<uint64_t>(1, ne0) * std::max<size_t>(1, cols);
  return static_cast<size_t>(std::max<uint64_t>(1, kMinPartWork / per_row));
}

// A product as matvec sets it up: its rows and how many of them it yields.
struct Plan {
  RowSource rows;
  size_t n_rows = 0;
};

uint64_t tensor_ne1(const TensorInfo& t) { return t.dims.size() >= 2 ? t.dims[1] : 1; }

// The checks of matvec_f32 / matvec_tensor for an input of `x_len` floats.
Result<Plan> plan(const Matrix& m, size_t x_len) {
  if (const auto* dense = std::get_if<const CachedTensor*>(&m)) {
    const CachedTensor& ct = **dense;
    const uint64_t ne0 = ct.dims.empty() ? 0 : ct.dims[0];
    if (ne0 == 0) return invalid_data("matvec_f32: ne0 is 0");
    return Plan{DenseRows{ct.data.data(), ne0}, static_cast<size_t>(ct.data.size() / ne0)};
  }
  const TensorView& t = std::get<TensorView>(m);
  if (x_len != t.ne0()) return invalid_data(format("{}: matvec x len {} != ne0 {}", t.name(), x_len, t.ne0()));
  const uint64_t ne1 = tensor_ne1(*t.info);
  // Rows past the mapped ones fail in the row fetch; bound the allocation by them.
  return Plan{t, static_cast<size_t>(ne1 <= t.rows() ? ne1 : t.rows() + 1)};
}

// Up to this many columns go through the row-lane kernels (a row read once per batch
// of kMaxCols columns); more share the dequantized rows in column panels.
constexpr size_t kFewColumns = 8;

Status few_columns_range(const RowSource& rows, ColumnsIn xs, ColumnsOut ys, size_t r0, size_t r1) {
  const RowSource part = rows_from(rows, r0);
  for (size_t c0 = 0; c0 < xs.size(); c0 += matvec_detail::kMaxCols) {
    const size_t c1 = std::min(xs.size(), c0 + size_t(matvec_detail::kMaxCols));
    std::vector<std::span<float>> out;
    for (size_t c = c0; c < c1; ++c) out.push_back(ys[c].subspan(r0, r1 - r0));
    KS_CHECK(matvec_rows_fast_multi(part, xs.subspan(c0, c1 - c0), out));
  }
  return {};
}

Status few_columns(const RowSource& rows, ColumnsIn xs, ColumnsOut ys, ThreadPool* pool) {
  const size_t n_rows = ys[0].size();
  const size_t grain = grain_rows(row_length(rows), xs.size());
  if (pool_threads(pool) <= 1 || n_rows < 2 * grain || !splittable(rows, n_rows)) {
    return few_columns_range(rows, xs, ys, 0, n_rows);
  }
  std::atomic<bool> failed{false};
  parallel_for(
      pool, n_rows,
      [&](size_t b, size_t e) {
        if (!few_columns_range(rows, xs, ys, b, e).ok()) failed.store(true, std::memory_order_relaxed);
      },
      grain);
  return failed.load() ? few_columns_range(rows, xs, ys, 0, n_rows) : Status{};
}

}  // namespace

Status matvec_rows_multi(const RowSource& rows, ColumnsIn xs, ColumnsOut ys) {
  return matvec_rows_multi(rows, xs, ys, nullptr);
}

Status matvec_rows_multi(const RowSource& rows, ColumnsIn xs, ColumnsOut ys, ThreadPool* pool) {
  if (xs.size() != ys.size()) return invalid_input("matvec_rows_multi: input and output column counts differ");
  if (ys.empty()) return {};
  const size_t n_rows = ys[0].size();
  for (auto y : ys) {
    if (y.size() != n_rows) return invalid_input("matvec_rows_multi: output columns of different lengths");
  }
  const uint64_t ne0 = row_length(rows);
  if (xs.size() <= kFewColumns && !reference_forced() && fast_matvec_available()) {
    return few_columns(rows, xs, ys, pool);
  }
  MultiJob job{&rows, xs, ys, common_length(ne0, xs), nullptr};
  std::vector<float> panels;
  if (job.n) {
    panels = make_panels(xs, *job.n);
    job.panels = panels.data();
  }
  if (pool_threads(pool) <= 1 || !splittable(rows, n_rows)) return multi_range(job, 0, n_rows);

  std::atomic<bool> failed{false};
  parallel_for(
      pool, n_rows,
      [&](size_t b, size_t e) {
        if (!multi_range(job, b, e).ok()) failed.store(true, std::memory_order_relaxed);
      },
      grain_rows(ne0, xs.size()));
  // The single-thread loop names the first failing row.
  return failed.load() ? multi_range(job, 0, n_rows) : Status{};
}

Status matvec_rows(const RowSource& rows, std::span<const float> x, std::span<float> y) {
  if (reference_forced() || !fast_matvec_available()) return matvec_rows_reference(rows, x, y, 0);
  return matvec_rows_fast(rows, x, y);
}

Status matvec_rows(const RowSource& rows, std::span<const float> x, std::span<float> y, ThreadPool* pool) {
  const size_t grain = grain_rows(row_length(rows), 1);
  if (pool_threads(pool) <= 1 || y.size() < 2 * grain || !splittable(rows, y.size())) return matvec_rows(rows, x, y);
  std::atomic<bool> failed{false};
  parallel_for(
      pool, y.size(),
      [&](size_t b, size_t e) {
        if (!matvec_rows(rows_from(rows, b), x, y.subspan(b, e - b)).ok()) failed.store(true, std::memory_order_relaxed);
      },
      grain);
  return failed.load() ? matvec_rows(rows, x, y) : Status{};
}

Result<std::vector<float>> matvec(const Matrix& m, std::span<const float> x, ThreadPool* pool) {
  KS_TRY(Plan p, plan(m, x.size()));
  std::vector<float> y(p.n_rows);
  KS_CHECK(matvec_rows(p.rows, x, y, pool));
  return y;
}

Result<Columns> matvec_cols(const Matrix& m, ColumnsIn xs, ThreadPool* pool) {
  Columns ys;
  if (xs.empty()) return ys;
  if (xs.size() == 1) {
    KS_TRY(std::vector<float> y, matvec(m, xs[0], pool));
    ys.push_back(std::move(y));
    return ys;
  }
  std::optional<Plan> p;
  for (auto x : xs) {
    KS_TRY(p, plan(m, x.size()));
  }
  ys.assign(xs.size(), std::vector<float>(p->n_rows));
  KS_CHECK(matvec_rows_multi(p->rows, xs, column_spans_mut(ys), pool));
  return ys;
}

Result<Columns> matvec_cols(const Matrix& m, const Columns& xs, ThreadPool* pool) {
  return matvec_cols(m, column_spans(xs), pool);
}

}  // namespace kestrune
