// Products against int8-quantized inputs (KESTRUNE_CPU_XQUANT=q8): the input of each
// product is quantized once into 32-value blocks (scale max|x|/127, round to nearest
// even) and multiplied with the stored Q8_0 / Q4_K / Q5_K / Q6_K weights by integer dot
// products. Integer sums are exact and every row combines its per-block terms in one
// fixed order, so results do not depend on the thread count, on how many columns share
// a weight read, or on the instruction set; they do differ from the exact products.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "backend/cpu/thread_pool.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/weights.h"
#include "weights/model_file.h"

namespace kestrune {

enum class XquantIsa {
  kPortable,  // plain C++
  kAvx2,      // 8 rows per vector, 16-bit pair products
  kVnni512,   // 16 rows per vector, AVX-512 VNNI dot products
};

const char* xquant_isa_name(XquantIsa isa);
bool xquant_isa_supported(XquantIsa isa);
// The widest level this CPU runs; fixed for the life of the process.
XquantIsa xquant_best_isa();

// Whether rows of this stored type take the int8 products.
bool xquant_type(uint32_t type);

// One column quantized as the products see it.
struct QuantizedColumn {
  std::vector<int8_t> q;
  std::vector<float> d;        // per 32 values
  std::vector<int32_t> sum32;  // per 32 values
  std::vector<int32_t> sum16;  // per 16 values
};
// x.size() must be a multiple of 32. A block whose largest magnitude is 0 quantizes to
// zeros with scale 0; NaN quantizes to 0 and is left out of the block's maximum; an
// infinity makes the block's scale infinite and the block's values 0. Every level
// gives the same values.
QuantizedColumn quantize_column(std::span<const float> x, XquantIsa isa = XquantIsa::kPortable);

// ys[c][r] = int8 product of row r of `t` with xs[c], for r < ys[c].size(), at `isa`.
// The tensor's type must take the int8 products, every column must hold ne0 values and
// every output the same number of rows, at most the stored ones; anything else is an
// invalid-input error.
Status xquant_rows(XquantIsa isa, const TensorView& t, ColumnsIn xs, ColumnsOut ys, ThreadPool* pool);

// The products of every column: int8 for stored tensors of an int8 type, the exact
// products (with their checks and errors) for everything else.
Result<Columns> xquant_cols(const Matrix& m, ColumnsIn xs, ThreadPool* pool);

}  // namespace kestrune
