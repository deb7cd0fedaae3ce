// Which kernels a device product launches, with what geometry and label: plain host
// decisions, so that they can be checked without a device. The executor (matvec.h)
// walks a plan launch by launch.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>


namespace kestrune {

struct TensorInfo;

// The device weight format byte.
enum class DeviceFormat : uint8_t { Q8_0 = 0, Q4_K = 1, Q5_K = 2, Q6_K = 3 };

struct FormatBlock {
  uint32_t values;
  uint32_t bytes;
};
FormatBlock format_block(DeviceFormat f);
const char* format_name(DeviceFormat f);
bool is_kquant(DeviceFormat f);

// A weight the device can take: its format and its rows × cols shape.
struct DeviceShape {
  DeviceFormat fmt;
  uint64_t rows;
  uint64_t cols;
};
// Eligible when the type is one of the four, cols is a nonzero multiple of the block,
// there is a row, and the byte length is exactly rows × blocks × block bytes.
std::optional<DeviceShape> device_shape(const TensorInfo& info, uint64_t byte_length);

enum class Kernel : uint8_t {
  MatvecQ8_0,
  MvWide,
  MvSplit4,
  QuantizeXQ8,
  MvWideX8,
  MvSplit2X8,
  MvSplit4X8,
  MvWideN2,
  MvSplit4N2,
  MvWideN3,
  MvSplit4N3,
  MvDualWide,
  MvDual2Wide,
  RmsNorm,
  SiluMul,
  AddInplace,
  GdnConvScaled,
  GdnAbGates,
  GdnScan,
  GdnScanWide,
  GatedNormSilu,
  AttnQPrep,
  AttnKvAppend,
  AttnCore,
  AttnSplit,
  AttnCombine,
};
const char* kernel_name(Kernel k);

// Where a launch's output goes.
enum class Target : uint8_t { Y0, Y1, Tmp };

struct Launch {
  Kernel kernel;
  DeviceFormat fmt0 = DeviceFormat::Q8_0;  // the weight's format (W0 for dual kernels)
  DeviceFormat fmt1 = DeviceFormat::Q8_0;  // W1's format (dual kernels)
  uint32_t grid = 0;
  uint32_t grid_y = 1;
  uint32_t block = 128;
  uint8_t weight = 0;     // W0 or W1
  uint8_t x_col = 0;      // first input column read
  Target target = Target::Y0;
  uint8_t y_col = 0;      // first output column written
  bool accumulate = false;
  const char* label = "";
};
using Plan = std::vector<Launch>;

// One product or a group of products sharing an input, as the dispatch operations
// name them. rows1 is W1's row count (dual2; dual shares rows).
enum class ProductOp : uint8_t { Single, Residual, Dual, Dual2, N2, N3 };

struct ProductShape {
  ProductOp op = ProductOp::Single;
  DeviceFormat fmt0 = DeviceFormat::Q8_0;
  DeviceFormat fmt1 = DeviceFormat::Q8_0;
  uint32_t rows = 0;
  uint32_t rows1 = 0;
  uint32_t cols = 0;
  bool x8 = false;  // KESTRUNE_XQUANT=q8
};

Plan plan_product(const ProductShape& s);

// Rows from which the wide kernels (4 rows per block) replace split4 (one row per block).
inline constexpr uint32_t kWideRows = 8192;

}  // namespace kestrune
