#include "backend/cpu/xquant.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "backend/cpu/cpu_features.h"
#include "backend/cpu/matmul.h"
#include "backend/cpu/xquant_kernels.h"
#include "common/format.h"
#include "quant/blocks.h"
#include "quant/types.h"

namespace kestrune {

namespace xquant_detail {

namespace {

float half_at(const uint8_t* p) { return f16_to_f32(load_u16(p)); }

float q8_0_row(const uint8_t* row, const XCol& x, size_t nb) {
  float y = 0.0f;
  for (size_t b = 0; b < nb; ++b) {
    const uint8_t* blk = row + 34 * b;
    const auto* q = reinterpret_cast<const int8_t*>(blk + 2);
    int32_t s = 0;
    for (int i = 0; i < 32; ++i) s += int32_t(q[i]) * x.q[32 * b + i];
    y = y + x.d[b] * (half_at(blk) * float(s));
  }
  return y;
}

template <bool kFive>
float q45_k_row(const uint8_t* row, const XCol& x, size_t nsb) {
  constexpr size_t kBlock = kFive ? 176 : 144, kQs = kFive ? 48 : 16;
  float y = 0.0f;
  for (size_t s = 0; s < nsb; ++s) {
    const uint8_t* blk = row + kBlock * s;
    const float d = half_at(blk), dmin = half_at(blk + 2);
    for (int j = 0; j < 8; ++j) {
      uint8_t sc, m;
      k_scale_min(j, blk + 4, sc, m);
      const size_t b = 8 * s + j;
      const uint8_t* q = blk + kQs + 32 * (j / 2);
      int32_t dot = 0;
      for (int l = 0; l < 32; ++l) {
        int v = (j & 1) ? q[l] >> 4 : q[l] & 15;
        if (kFive && (blk[16 + l] >> j & 1)) v += 16;
        dot += v * x.q[32 * b + l];
      }
      const float t = (d * float(sc)) * float(dot) - (dmin * float(m)) * float(x.sum32[b]);
      y = y + x.d[b] * t;
    }
  }
  return y;
}

float q6_k_row(const uint8_t* row, const XCol& x, size_t nsb) {
  float y = 0.0f;
  for (size_t s = 0; s < nsb; ++s) {
    const uint8_t* blk = row + 210 * s;
    const float d = half_at(blk + 208);
    const auto* sc = reinterpret_cast<const int8_t*>(blk + 192);
    for (int j = 0; j < 8; ++j) {
      const int h = j / 4, k = j % 4;
      const uint8_t* ql = blk + 64 * h + 32 * (k & 1);
      const uint8_t* qh = blk + 128 + 32 * h;
      const size_t b = 8 * s + j;
      int32_t half[2] = {0, 0};
      for (int l = 0; l < 32; ++l) {
        const int q = ((ql[l] >> (4 * (k >> 1))) & 15) | (((qh[l] >> (2 * k)) & 3) << 4);
        half[l / 16] += (q - 32) * x.q[32 * b + l];
      }
      const float t = (d * float(sc[8 * h + 2 * k])) * float(half[0]) + (d * float(sc[8 * h + 2 * k + 1])) * float(half[1]);
      y = y + x.d[b] * t;
    }
  }
  return y;
}

}  // namespace

void xrows_portable(const XRows& m, const XCol* x, size_t cols, float* const* y, size_t r0, size_t r1) {
  for (size_t r = r0; r < r1; ++r) {
    const uint8_t* row = m.data + r * m.row_bytes;
    for (size_t c = 0; c < cols; ++c) {
      switch (m.type) {
        case kQ8_0:
          y[c][r] = q8_0_row(row, x[c], m.n / 32);
          break;
        case kQ4_K:
          y[c][r] = q45_k_row<false>(row, x[c], m.n / 256);
          break;
        case kQ5_K:
          y[c][r] = q45_k_row<true>(row, x[c], m.n / 256);
          break;
        default:
          y[c][r] = q6_k_row(row, x[c], m.n / 256);
          break;
      }
    }
  }
}

}  // namespace xquant_detail

namespace {

using xquant_detail::XCol;
using xquant_detail::XRows;

XquantIsa detect_isa() {
#if defined(__x86_64__) && defined(__GNUC__)
  const CpuFeatures& f = cpu_features();
  if (f.avx512 && f.avx512_vnni && f.f16c) return XquantIsa::kVnni512;
  if (f.avx2 && f.f16c) return XquantIsa::kAvx2;
#endif
  return XquantIsa::kPortable;
}

void run_kernel(XquantIsa isa, const XRows& m, const XCol* x, size_t cols, float* const* y, size_t r0, size_t r1) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (isa == XquantIsa::kVnni512) return xquant_detail::xrows_vnni512(m, x, cols, y, r0, r1);
  if (isa == XquantIsa::kAvx2) return xquant_detail::xrows_avx2(m, x, cols, y, r0, r1);
#endif
  xquant_detail::xrows_portable(m, x, cols, y, r0, r1);
}

// Rows per part of a split product: whole vector groups, enough work to be worth a wake.
size_t grain_rows(size_t n, size_t cols) {
  const size_t per_row = std::max<size_t>(1, n) * std::max<size_t>(1, cols);
  const size_t rows = std::max<size_t>(16, (size_t{1} << 16) / per_row);
  return (rows + 15) / 16 * 16;
}

// Offsets between the rows a vector group gathers from must fit 32-bit indices.
constexpr uint64_t kMaxVectorRowBytes = uint64_t{1} << 26;

}  // namespace

const char* xquant_isa_name(XquantIsa isa) {
  switch (isa) {
    case XquantIsa::kPortable:
      return "portable";
    case XquantIsa::kAvx2:
      return "avx2";
    case XquantIsa::kVnni512:
      return "avx512-vnni";
  }
  return "unknown";
}

XquantIsa xquant_best_isa() {
  static const XquantIsa best = detect_isa();
  return best;
}

bool xquant_isa_supported(XquantIsa isa) {
  const XquantIsa best = xquant_best_isa();
  switch (isa) {
    case XquantIsa::kPortable:
      return true;
    case XquantIsa::kAvx2:
      return best != XquantIsa::kPortable;
    case XquantIsa::kVnni512:
      return best == XquantIsa::kVnni512;
  }
  return false;
}

bool xquant_type(uint32_t type) { return type == kQ8_0 || type == kQ4_K || type == kQ5_K || type == kQ6_K; }

QuantizedColumn quantize_column(std::span<const float> x, XquantIsa isa) {
  QuantizedColumn c;
  const size_t nb = x.size() / 32;
  c.q.resize(nb * 32);
  c.d.resize(nb);
  c.sum32.resize(nb);
  c.sum16.resize(2 * nb);
#if defined(__x86_64__) && defined(__GNUC__)
  if (isa == XquantIsa::kVnni512) {
    xquant_detail::quantize_vnni512(x.data(), nb, c.q.data(), c.d.data(), c.sum32.data(), c.sum16.data());
    return c;
  }
#else
  (void)isa;
#endif
  for (size_t b = 0; b < nb; ++b) {
    const float* v = x.data() + 32 * b;
    float amax = 0.0f;
    for (int i = 0; i < 32; ++i) amax = std::max(amax, std::fabs(v[i]));
    const float inv = amax == 0.0f ? 0.0f : 127.0f / amax;
    int32_t half[2] = {0, 0};
    for (int i = 0; i < 32; ++i) {
      const float s = v[i] * inv;
      // The largest value may land a rounding above 127; NaN (and every value of a
      // block holding an infinity) ends up 0.
      const int q = std::isnan(s) ? 0 : int(std::rint(std::clamp(s, -127.0f, 127.0f)));
      c.q[32 * b + i] = int8_t(q);
      half[i / 16] += q;
    }
    c.d[b] = amax == 0.0f ? 0.0f : amax / 127.0f;
    c.sum16[2 * b] = half[0];
    c.sum16[2 * b + 1] = half[1];
    c.sum32[b] = half[0] + half[1];
  }
  return c;
}

Status xquant_rows(XquantIsa isa, const TensorView& t, ColumnsIn xs, ColumnsOut ys, ThreadPool* pool) {
  if (!xquant_isa_supported(isa)) {
    return invalid_input(format("int8 products: {} is not supported by this CPU", xquant_isa_name(isa)));
  }
  if (t.info == nullptr || !xquant_type(t.info->type)) return invalid_input("int8 products: not an int8 tensor type");
  if (xs.size() != ys.size()) return invalid_input("int8 products: input and output column counts differ");
  if (xs.empty()) return {};
  KS_TRY(uint64_t rs, row_size(*t.info));
  const size_t n = static_cast<size_t>(t.ne0());
  const size_t rows = ys[0].size();
  for (size_t c = 0; c < xs.size(); ++c) {
    if (xs[c].size() != n) return invalid_input(format("{}: int8 product x len {} != ne0 {}", t.name(), xs[c].size(), n));
    if (ys[c].size() != rows) return invalid_input("int8 products: output columns of different lengths");
  }
  if (rows > t.rows() || rows > t.size / std::max<uint64_t>(1, rs)) {
    return invalid_input(format("{}: int8 product of {} rows, {} stored", t.name(), rows, t.rows()));
  }
  if (rows == 0) return {};
  if (rs > kMaxVectorRowBytes) isa = XquantIsa::kPortable;

  std::vector<QuantizedColumn> qs(xs.size());
  std::vector<XCol> cols(xs.size());
  std::vector<float*> out(xs.size());
  parallel_for(
      pool, xs.size(),
      [&](size_t b, size_t e) {
        for (size_t c = b; c < e; ++c) qs[c] = quantize_column(xs[c], isa);
      },
      std::max<size_t>(1, (size_t{1} << 14) / std::max<size_t>(1, n)));
  for (size_t c = 0; c < xs.size(); ++c) {
    cols[c] = {qs[c].q.data(), qs[c].d.data(), qs[c].sum32.data(), qs[c].sum16.data()};
    out[c] = ys[c].data();
  }
  const XRows m{t.info->type, t.data, rs, n};
  parallel_for(
      pool, rows, [&](size_t b, size_t e) { run_kernel(isa, m, cols.data(), cols.size(), out.data(), b, e); },
      grain_rows(n, xs.size()));
  return {};
}

namespace {

// The stored tensor behind `m` when the int8 products apply to every column.
const TensorView* int8_view(const Matrix& m, ColumnsIn xs) {
  const auto* t = std::get_if<TensorView>(&m);
  if (!t || t->info == nullptr || !xquant_type(t->info->type) || !row_size(*t->info).ok()) return nullptr;
  const uint64_t ne1 = t->info->dims.size() >= 2 ? t->info->dims[1] : 1;
  if (ne1 > t->rows()) return nullptr;
  for (auto x : xs) {
    if (x.size() != t->ne0()) return nullptr;
  }
  return t;
}

}  // namespace

Result<Columns> xquant_cols(const Matrix& m, ColumnsIn xs, ThreadPool* pool) {
  const TensorView* t = xs.empty() ? nullptr : int8_view(m, xs);
  if (!t) return matvec_cols(m, xs, pool);
  const uint64_t ne1 = t->info->dims.size() >= 2 ? t->info->dims[1] : 1;
  Columns ys(xs.size(), std::vector<float>(static_cast<size_t>(ne1)));
  KS_CHECK(xquant_rows(xquant_best_isa(), *t, xs, column_spans_mut(ys), pool));
  return ys;
}

}  // namespace kestrune
