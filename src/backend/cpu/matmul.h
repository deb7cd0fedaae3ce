// Products over several columns at once (one column per token) and products whose
// rows are split across a thread pool. Every output element is still the reference dot
// of one row with one column, accumulated left to right from zero.
#pragma once

#include <span>
#include <vector>

#include "backend/cpu/primitives.h"
#include "backend/cpu/thread_pool.h"
#include "common/error.h"
#include "layers/columns.h"

namespace kestrune {

// ys[n][r] = dot(row r, xs[n]) for r below the common length of the ys, each row read
// or dequantized once for all columns. A row fetch failure is returned as the reference
// loop would return it for the first column.
Status matvec_rows_multi(const RowSource& rows, ColumnsIn xs, ColumnsOut ys);
// The same with the rows split across `pool` (null: the calling thread alone).
Status matvec_rows_multi(const RowSource& rows, ColumnsIn xs, ColumnsOut ys, ThreadPool* pool);

// matvec_rows_reference's bits through the exact SIMD kernels where the CPU has them,
// unless KESTRUNE_REFERENCE=1.
Status matvec_rows(const RowSource& rows, std::span<const float> x, std::span<float> y);
// matvec_rows with the rows split across `pool`; each range goes through matvec_rows.
Status matvec_rows(const RowSource& rows, std::span<const float> x, std::span<float> y, ThreadPool* pool);

// matvec (dense copy or streamed tensor, with the same checks and messages) with the
// rows split across `pool`.
Result<std::vector<float>> matvec(const Matrix& m, std::span<const float> x, ThreadPool* pool);

// matvec of every column. A single column goes through matvec; several share each row.
Result<Columns> matvec_cols(const Matrix& m, ColumnsIn xs, ThreadPool* pool);
Result<Columns> matvec_cols(const Matrix& m, const Columns& xs, ThreadPool* pool);

}  // namespace kestrune
