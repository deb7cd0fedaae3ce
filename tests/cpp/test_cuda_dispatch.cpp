// The CUDA backend's host decisions: eligibility, which kernels a product launches with
// what geometry and label, the error message format, and the backend selection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/cuda/dispatch.h"
#include "backend/cuda/runtime.h"
#include "fake_device.h"
#include "gguf/gguf.h"
#include "quant/types.h"

namespace kestrune {
namespace {

using F = DeviceFormat;
using K = Kernel;

TEST(CudaDispatch, Eligibility) {
  struct Case {
    uint32_t type;
    std::vector<uint64_t> dims;
    uint64_t bytes;
    bool eligible;
  };
  const Case cases[] = {
      {kQ8_0, {64, 3}, 3 * 2 * 34, true},
      {kQ4_K, {512, 2, 3}, 6 * 2 * 144, true},  // rows flatten every dim after the first
      {kQ5_K, {256}, 176, true},                // one row
      {kQ6_K, {256, 5}, 5 * 210, true},
      {kQ6_K, {256, 5}, 5 * 210 - 1, false},    // byte length off by one
      {kQ8_0, {48, 2}, 2 * 34 + 17, false},     // cols not a multiple of the block
      {kQ4_K, {0, 4}, 0, false},                // no columns
      {kQ8_0, {32, 0}, 0, false},               // no rows
      {kF32, {4, 4}, 64, false},
      {kF16, {32, 4}, 256, false},
  };
  for (const auto& c : cases) {
    TensorInfo t{"w", c.dims, c.type, 0};
    const auto s = device_shape(t, c.bytes);
    EXPECT_EQ(s.has_value(), c.eligible) << type_name(c.type) << " " << c.bytes;
  }
  const auto s = device_shape(TensorInfo{"w", {512, 2, 3}, kQ4_K, 0}, 6 * 2 * 144);
  EXPECT_EQ(s->fmt, F::Q4_K);
  EXPECT_EQ(s->rows, 6u);
  EXPECT_EQ(s->cols, 512u);
}

struct Step {
  K kernel;
  uint32_t grid;
  std::string label;
  uint8_t weight = 0, x_col = 0, y_col = 0;
  Target target = Target::Y0;
};

void expect_plan(const ProductShape& s, const std::vector<Step>& want, const std::string& what) {
  const Plan got = plan_product(s);
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) {
    const Launch& l = got[i];
    const Step& w = want[i];
    EXPECT_EQ(l.kernel, w.kernel) << what << " #" << i << ": " << kernel_name(l.kernel);
    EXPECT_EQ(l.grid, w.grid) << what << " #" << i;
    EXPECT_EQ(l.label, w.label) << what << " #" << i;
    EXPECT_EQ(l.weight, w.weight) << what << " #" << i;
    EXPECT_EQ(l.x_col, w.x_col) << what << " #" << i;
    EXPECT_EQ(l.y_col, w.y_col) << what << " #" << i;
    EXPECT_EQ(l.target, w.target) << what << " #" << i;
  }
}

TEST(CudaDispatch, SingleColumnKernelsByFormatRowsAndXQuant) {
  using P = ProductOp;
  struct Case {
    ProductShape s;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {{P::Single, F::Q8_0, F::Q8_0, 1000, 0, 64}, {{K::MatvecQ8_0, 250, "matvec launch"}}},
      {{P::Single, F::Q8_0, F::Q8_0, 8192, 0, 64, true}, {{K::MatvecQ8_0, 2048, "matvec launch"}}},
      {{P::Single, F::Q6_K, F::Q6_K, 8191, 0, 256}, {{K::MvSplit4, 8191, "matvec launch"}}},
      {{P::Single, F::Q6_K, F::Q6_K, 8192, 0, 256}, {{K::MvWide, 2048, "matvec launch"}}},
      {{P::Single, F::Q5_K, F::Q5_K, 8193, 0, 256, true}, {{K::MvWide, 2049, "matvec launch"}}},  // x8: Q4_K only
      {{P::Single, F::Q4_K, F::Q4_K, 2047, 0, 1024, true},
       {{K::QuantizeXQ8, 8, "quantize x launch"}, {K::MvSplit4X8, 2047, "matvec q4_k x8 launch"}}},
      {{P::Single, F::Q4_K, F::Q4_K, 2048, 0, 1024, true},
       {{K::QuantizeXQ8, 8, "quantize x launch"}, {K::MvSplit2X8, 1024, "matvec q4_k x8 launch"}}},
      {{P::Single, F::Q4_K, F::Q4_K, 8192, 0, 1024, true},
       {{K::QuantizeXQ8, 8, "quantize x launch"}, {K::MvWideX8, 2048, "matvec q4_k x8 launch"}}},
      {{P::Residual, F::Q4_K, F::Q4_K, 1000, 0, 256},
       {{K::MvSplit4, 1000, "matvec+residual launch"}}},
      {{P::Residual, F::Q4_K, F::Q4_K, 1000, 0, 256, true},
       {{K::QuantizeXQ8, 2, "quantize x launch"},
        {K::MvSplit4X8, 1000, "matvec q4_k x8 launch", 0, 0, 0, Target::Tmp},
        {K::AddInplace, 4, "residual add launch"}}},
  };
  for (const auto& c : cases) {
    expect_plan(c.s, c.steps, std::string(format_name(c.s.fmt0)) + " rows " + std::to_string(c.s.rows));
  }
  EXPECT_TRUE(plan_product({P::Residual, F::Q8_0, F::Q8_0, 10, 0, 32})[0].accumulate);
  EXPECT_FALSE(plan_product({P::Single, F::Q8_0, F::Q8_0, 10, 0, 32})[0].accumulate);
}

TEST(CudaDispatch, SharedInputAndMultiColumnKernels) {
  using P = ProductOp;
  struct Case {
    const char* what;
    ProductShape s;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"dual q4_k wide", {P::Dual, F::Q4_K, F::Q4_K, 8192, 8192, 256}, {{K::MvDualWide, 4096, "matvec dual q4_k launch"}}},
      {"dual q4_k split",
       {P::Dual, F::Q4_K, F::Q4_K, 100, 100, 256},
       {{K::MvSplit4, 100, "matvec dual q4_k launch"}, {K::MvSplit4, 100, "matvec dual q4_k launch", 1, 0, 0, Target::Y1}}},
      {"dual mixed",
       {P::Dual, F::Q4_K, F::Q6_K, 100, 100, 256},
       {{K::MvSplit4, 100, "matvec launch"}, {K::MvSplit4, 100, "matvec launch", 1, 0, 0, Target::Y1}}},
      {"dual x8",
       {P::Dual, F::Q4_K, F::Q4_K, 3000, 3000, 512, true},
       {{K::QuantizeXQ8, 4, "quantize x launch"},
        {K::MvSplit2X8, 1500, "matvec q4_k x8 launch (dual w0)"},
        {K::MvSplit2X8, 1500, "matvec q4_k x8 launch (dual w1)", 1, 0, 0, Target::Y1}}},
      {"dual2 wide", {P::Dual2, F::Q5_K, F::Q6_K, 8000, 192, 256}, {{K::MvDual2Wide, 2048, "matvec dual2 launch"}}},
      {"dual2 small",
       {P::Dual2, F::Q5_K, F::Q6_K, 8000, 191, 256},
       {{K::MvSplit4, 8000, "matvec launch"}, {K::MvSplit4, 191, "matvec launch", 1, 0, 0, Target::Y1}}},
      {"dual2 q8",
       {P::Dual2, F::Q8_0, F::Q6_K, 9000, 9000, 256},
       {{K::MatvecQ8_0, 2250, "matvec launch"}, {K::MvWide, 2250, "matvec launch", 1, 0, 0, Target::Y1}}},
      {"n2 q8",
       {P::N2, F::Q8_0, F::Q8_0, 10, 0, 64},
       {{K::MatvecQ8_0, 3, "matvec n2 launch"}, {K::MatvecQ8_0, 3, "matvec n2 launch", 0, 1, 1}}},
      {"n2 q6_k", {P::N2, F::Q6_K, F::Q6_K, 10, 0, 256}, {{K::MvSplit4N2, 10, "matvec n2 launch"}}},
      {"n2 q4_k x8",
       {P::N2, F::Q4_K, F::Q4_K, 9000, 0, 256, true},
       {{K::QuantizeXQ8, 2, "quantize x launch"},
        {K::MvWideX8, 2250, "matvec q4_k x8 launch"},
        {K::QuantizeXQ8, 2, "quantize x launch", 0, 1},
        {K::MvWideX8, 2250, "matvec q4_k x8 launch", 0, 1, 1}}},
      {"n3 q5_k", {P::N3, F::Q5_K, F::Q5_K, 8192, 0, 256}, {{K::MvWideN3, 2048, "matvec n3 launch"}}},
      {"n3 q8",
       {P::N3, F::Q8_0, F::Q8_0, 10, 0, 64},
       {{K::MatvecQ8_0, 3, "matvec n2 launch"},
        {K::MatvecQ8_0, 3, "matvec n2 launch", 0, 1, 1},
        {K::MatvecQ8_0, 3, "matvec launch", 0, 2, 2}}},
  };
  for (const auto& c : cases) expect_plan(c.s, c.steps, c.what);
}

TEST(CudaErrors, MessageFormat) {
  EXPECT_EQ(cuda_error_message("cudaMalloc", "out of memory", 2), "cuda: cudaMalloc: out of memory (code 2)");
  const DeviceApi& api = testing::fake_api();
  EXPECT_TRUE(check_cuda(api, 0, "x").ok());
  const Status s = check_cuda(api, 700, "matvec launch");
  EXPECT_EQ(s.error().message, "cuda: matvec launch: an illegal memory access was encountered (code 700)");
  if (cuda_runtime_built()) {
    // The runtime's own text, no device needed.
    EXPECT_EQ(check_cuda(cuda_runtime_api(), 2, "cudaMalloc").error().message,
              "cuda: cudaMalloc: out of memory (code 2)");
  }
}

TEST(CudaBackendSelection, BannerAndBuildWithoutCuda) {
  const DeviceApi& api = testing::fake_api();
  RuntimeOptions o;
  o.backend = "cuda";
  ::testing::internal::CaptureStderr();
  auto on = select_backend(o, 1, api, true);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "# backend: cuda (Q8_0 fused dequant-GEMV resident; other ops CPU fallback)\n");
  ASSERT_TRUE(on.ok());
  EXPECT_TRUE(std::holds_alternative<Cuda>(*on));
  EXPECT_EQ(testing::fake().mallocs, 0);  // nothing touches the device at selection
  ::testing::internal::CaptureStderr();
  auto off = select_backend(o, 1, api, false);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(off.error().message, "KESTRUNE_BACKEND=cuda: this build has no CUDA backend (KESTRUNE_CUDA=OFF)");
  // The x8 path takes exactly "q8".
  for (const char* v : {"q8", "Q8", "q8 ", ""}) {
    o.xquant = v;
    ::testing::internal::CaptureStderr();
    auto b = select_backend(o, 1, api, true);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::get<Cuda>(*b).ctx->x8, std::string(v) == "q8") << v;
  }
}

}  // namespace
}  // namespace kestrune
