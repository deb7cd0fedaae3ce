#include "backend/cpu/primitives.h"

#include "common/format.h"

namespace kestrune {

Status matvec_rows_reference(const RowSource& rows, std::span<const float> x, std::span<float> y, size_t first) {
  if (const auto* dense = std::get_if<DenseRows>(&rows)) {
    const size_t ne0 = static_cast<size_t>(dense->ne0);
    for (size_t r = first; r < y.size(); ++r) y[r] = dot({dense->data + r * ne0, ne0}, x);
    return {};
  }
  const auto& view = std::get<TensorView>(rows);
  std::vector<float> row(static_cast<size_t>(view.ne0()));
  for (size_t r = first; r < y.size(); ++r) {
    KS_CHECK(dequant_row_into(view, r, row.data()));
    y[r] = dot(row, x);
  }
  return {};
}

Result<std::vector<float>> matvec_f32(uint64_t ne0, std::span<const float> data, std::span<const float> x) {
  if (ne0 == 0) return invalid_data("matvec_f32: ne0 is 0");
  std::vector<float> y(static_cast<size_t>(data.size() / ne0));
  KS_CHECK(matvec_rows_reference(DenseRows{data.data(), ne0}, x, y));
  return y;
}

namespace {
// ne1 as the product uses it: dims[1], 1 with fewer than two dims.
uint64_t tensor_ne1(const TensorInfo& t) { return t.dims.size() >= 2 ? t.dims[1] : 1; }
}  // namespace

Result<std::vector<float>> matvec_tensor(const TensorView& t, std::span<const float> x) {
  if (x.size() != t.ne0()) return invalid_data(format("{}: matvec x len {} != ne0 {}", t.name(), x.size(), t.ne0()));
  const uint64_t ne1 = tensor_ne1(*t.info);
  // Rows past the mapped ones fail in the row fetch; bound the allocation by them.
  std::vector<float> y(static_cast<size_t>(ne1 <= t.rows() ? ne1 : t.rows() + 1));
  KS_CHECK(matvec_rows_reference(t, x, y));
  return y;
}

Result<std::vector<float>> matvec(const Matrix& m, std::span<const float> x) {
  if (const auto* dense = std::get_if<const CachedTensor*>(&m)) {
    return matvec_f32((*dense)->dims.empty() ? 0 : (*dense)->dims[0], (*dense)->data, x);
  }
  return matvec_tensor(std::get<TensorView>(m), x);
}

}  // namespace kestrune
