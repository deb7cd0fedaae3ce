#include "backend/cuda/dispatch.h"

#include "gguf/gguf.h"
#include "quant/types.h"

namespace kestrune {

FormatBlock format_block(DeviceFormat f) {
  switch (f) {
    case DeviceFormat::Q8_0:
      return {32, 34};
    case DeviceFormat::Q4_K:
      return {256, 144};
    case DeviceFormat::Q5_K:
      return {256, 176};
    case DeviceFormat::Q6_K:
      return {256, 210};
  }
  return {0, 0};
}

const char* format_name(DeviceFormat f) {
  switch (f) {
    case DeviceFormat::Q8_0:
      return "q8_0";
    case DeviceFormat::Q4_K:
      return "q4_k";
    case DeviceFormat::Q5_K:
      return "q5_k";
    case DeviceFormat::Q6_K:
      return "q6_k";
  }
  return "?";
}

bool is_kquant(DeviceFormat f) { return f != DeviceFormat::Q8_0; }

std::optional<DeviceShape> device_shape(const TensorInfo& info, uint64_t byte_length) {
  DeviceFormat fmt;
  switch (info.type) {
    case kQ8_0:
      fmt = DeviceFormat::Q8_0;
      break;
    case kQ4_K:
      fmt = DeviceFormat::Q4_K;
      break;
    case kQ5_K:
      fmt = DeviceFormat::Q5_K;
      break;
    case kQ6_K:
      fmt = DeviceFormat::Q6_K;
      break;
    default:
      return std::nullopt;
  }
  const FormatBlock b = format_block(fmt);
  const uint64_t cols = info.dims.empty() ? 0 : info.dims[0];
  if (cols == 0 || cols % b.values != 0) return std::nullopt;
  uint64_t rows = 1;
  for (size_t i = 1; i < info.dims.size(); ++i) {
    if (info.dims[i] != 0 && rows > UINT64_MAX / info.dims[i]) return std::nullopt;
    rows *= info.dims[i];
  }
  const uint64_t row_bytes = cols / b.values * b.bytes;
  // The kernels take 32-bit sizes and launch at least one block.
  if (rows == 0 || rows > INT32_MAX || cols > INT32_MAX || (rows != 0 && row_bytes > UINT64_MAX / rows)) return std::nullopt;
  if (rows * row_bytes != byte_length) return std::nullopt;
  return DeviceShape{fmt, rows, cols};
}

const char* kernel_name(Kernel k) {
  switch (k) {
    case Kernel::MatvecQ8_0:
      return "matvec_q8_0_kernel";
    case Kernel::MvWide:
      return "mv_wide_kernel";
    case Kernel::MvSplit4:
      return "mv_split4_kernel";
    case Kernel::QuantizeXQ8:
      return "quantize_x_q8_kernel";
    case Kernel::MvWideX8:
      return "mv_wide_x8_kernel";
    case Kernel::MvSplit2X8:
      return "mv_split2_x8_kernel";
    case Kernel::MvSplit4X8:
      return "mv_split4_x8_kernel";
    case Kernel::MvWideN2:
      return "mv_wide_n2_kernel";
    case Kernel::MvSplit4N2:
      return "mv_split4_n2_kernel";
    case Kernel::MvWideN3:
      return "mv_wide_n3";
    case Kernel::MvSplit4N3:
      return "mv_split4_n3";
    case Kernel::MvDualWide:
      return "mv_dual_wide_kernel";
    case Kernel::MvDual2Wide:
      return "mv_dual2_wide_kernel";
    case Kernel::RmsNorm:
      return "rmsnorm_kernel";
    case Kernel::SiluMul:
      return "silu_mul_kernel";
    case Kernel::AddInplace:
      return "add_inplace_kernel";
    case Kernel::GdnConvScaled:
      return "gdn_conv_scaled_kernel";
    case Kernel::GdnAbGates:
      return "gdn_ab_gates_kernel";
    case Kernel::GdnScan:
      return "gdn_scan_kernel";
    case Kernel::GdnScanWide:
      return "gdn_scan_wide_kernel";
    case Kernel::GatedNormSilu:
      return "gated_norm_silu_kernel";
    case Kernel::AttnQPrep:
      return "attn_qprep_kernel";
    case Kernel::AttnKvAppend:
      return "attn_kv_append_kernel";
    case Kernel::AttnCore:
      return "attn_core_kernel";
    case Kernel::AttnSplit:
      return "attn_split_kernel";
    case Kernel::AttnCombine:
      return "attn_combine_kernel";
  }
  return "?";
}

namespace {

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

// One single-column kernel of the format into (target, column) at 128 threads.
Launch single_kernel(DeviceFormat fmt, uint32_t rows, uint8_t weight, uint8_t x_col, Target target, uint8_t y_col,
                     bool accumulate, const char* label) {
  Launch l{fmt == DeviceFormat::Q8_0 ? Kernel::MatvecQ8_0 : rows >= kWideRows ? Kernel::MvWide : Kernel::MvSplit4};
  l.fmt0 = fmt;
  l.grid = l.kernel == Kernel::MvSplit4 ? rows : ceil_div(rows, 4);
  l.weight = weight;
  l.x_col = x_col;
  l.target = target;
  l.y_col = y_col;
  l.accumulate = accumulate;
  l.label = label;
  return l;
}

// Quantize x (one column) then the x8 kernel by row count.
void x8_sequence(Plan& p, uint32_t rows, uint32_t cols, uint8_t weight, uint8_t x_col, Target target, uint8_t y_col,
                 const char* label) {
  Launch q{Kernel::QuantizeXQ8};
  q.fmt0 = DeviceFormat::Q4_K;
  q.grid = ceil_div(cols, 128);
  q.x_col = x_col;
  q.label = "quantize x launch";
  p.push_back(q);
  Launch l{rows < 2048 ? Kernel::MvSplit4X8 : rows < kWideRows ? Kernel::MvSplit2X8 : Kernel::MvWideX8};
  l.fmt0 = DeviceFormat::Q4_K;
  l.grid = l.kernel == Kernel::MvSplit4X8 ? rows : l.kernel == Kernel::MvSplit2X8 ? ceil_div(rows, 2) : ceil_div(rows, 4);
  l.weight = weight;
  l.x_col = x_col;
  l.target = target;
  l.y_col = y_col;
  l.label = label;
  p.push_back(l);
}

// dev_matvec of one column.
void single(Plan& p, DeviceFormat fmt, uint32_t rows, uint32_t cols, bool x8, uint8_t weight, uint8_t x_col,
            Target target, uint8_t y_col) {
  if (x8 && fmt == DeviceFormat::Q4_K) {
    x8_sequence(p, rows, cols, weight, x_col, target, y_col, "matvec q4_k x8 launch");
  } else {
    p.push_back(single_kernel(fmt, rows, weight, x_col, target, y_col, false, "matvec launch"));
  }
}

// The n2 / n3 K-quant kernels over every column.
Launch multi_kernel(DeviceFormat fmt, uint32_t rows, int columns, const char* label) {
  const bool wide = rows >= kWideRows;
  Launch l{columns == 2 ? (wide ? Kernel::MvWideN2 : Kernel::MvSplit4N2) : (wide ? Kernel::MvWideN3 : Kernel::MvSplit4N3)};
  l.fmt0 = fmt;
  l.grid = wide ? ceil_div(rows, 4) : rows;
  l.label = label;
  return l;
}

void two_columns(Plan& p, DeviceFormat fmt, uint32_t rows, const char* label) {
  if (fmt == DeviceFormat::Q8_0) {
    p.push_back(single_kernel(fmt, rows, 0, 0, Target::Y0, 0, false, label));
    p.push_back(single_kernel(fmt, rows, 0, 1, Target::Y0, 1, false, label));
  } else {
    p.push_back(multi_kernel(fmt, rows, 2, label));
  }
}

void n2(Plan& p, DeviceFormat fmt, uint32_t rows, uint32_t cols, bool x8) {
  if (x8 && fmt == DeviceFormat::Q4_K) {
    single(p, fmt, rows, cols, x8, 0, 0, Target::Y0, 0);
    single(p, fmt, rows, cols, x8, 0, 1, Target::Y0, 1);
  } else {
    two_columns(p, fmt, rows, "matvec n2 launch");
  }
}

}  // namespace

Plan plan_product(const ProductShape& s) {
  Plan p;
  const bool x8_q4 = s.x8 && s.fmt0 == DeviceFormat::Q4_K;
  switch (s.op) {
    case ProductOp::Single:
      single(p, s.fmt0, s.rows, s.cols, s.x8, 0, 0, Target::Y0, 0);
      break;
    case ProductOp::Residual:
      if (x8_q4) {
        single(p, s.fmt0, s.rows, s.cols, s.x8, 0, 0, Target::Tmp, 0);
        Launch add{Kernel::AddInplace};
        add.grid = ceil_div(s.rows, 256);
        add.block = 256;
        add.label = "residual add launch";
        p.push_back(add);
      } else {
        p.push_back(single_kernel(s.fmt0, s.rows, 0, 0, Target::Y0, 0, true, "matvec+residual launch"));
      }
      break;
    case ProductOp::Dual:
      if (s.fmt0 != DeviceFormat::Q4_K || s.fmt1 != DeviceFormat::Q4_K) {
        single(p, s.fmt0, s.rows, s.cols, s.x8, 0, 0, Target::Y0, 0);
        single(p, s.fmt1, s.rows, s.cols, s.x8, 1, 0, Target::Y1, 0);
      } else if (!s.x8) {
        if (s.rows >= kWideRows) {
          Launch l{Kernel::MvDualWide, DeviceFormat::Q4_K, DeviceFormat::Q4_K, ceil_div(2 * s.rows, 4)};
          l.label = "matvec dual q4_k launch";
          p.push_back(l);
        } else {
          p.push_back(single_kernel(s.fmt0, s.rows, 0, 0, Target::Y0, 0, false, "matvec dual q4_k launch"));
          p.push_back(single_kernel(s.fmt1, s.rows, 1, 0, Target::Y1, 0, false, "matvec dual q4_k launch"));
        }
      } else {
        // One quantized x serves both weights.
        x8_sequence(p, s.rows, s.cols, 0, 0, Target::Y0, 0, "matvec q4_k x8 launch (dual w0)");
        Launch w1 = p.back();
        w1.weight = 1;
        w1.target = Target::Y1;
        w1.label = "matvec q4_k x8 launch (dual w1)";
        p.push_back(w1);
      }
      break;
    case ProductOp::Dual2:
      if (is_kquant(s.fmt0) && is_kquant(s.fmt1) && !s.x8 && s.rows + s.rows1 >= kWideRows) {
        Launch l{Kernel::MvDual2Wide, s.fmt0, s.fmt1, ceil_div(s.rows + s.rows1, 4)};
        l.label = "matvec dual2 launch";
        p.push_back(l);
      } else {
        single(p, s.fmt0, s.rows, s.cols, s.x8, 0, 0, Target::Y0, 0);
        single(p, s.fmt1, s.rows1, s.cols, s.x8, 1, 0, Target::Y1, 0);
      }
      break;
    case ProductOp::N2:
      n2(p, s.fmt0, s.rows, s.cols, s.x8);
      break;
    case ProductOp::N3:
      if (is_kquant(s.fmt0) && !x8_q4) {
        p.push_back(multi_kernel(s.fmt0, s.rows, 3, "matvec n3 launch"));
      } else {
        n2(p, s.fmt0, s.rows, s.cols, s.x8);
        single(p, s.fmt0, s.rows, s.cols, s.x8, 0, 2, Target::Y0, 2);
      }
      break;
  }
  return p;
}

}  // namespace kestrune
