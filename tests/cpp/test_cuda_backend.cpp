// The CUDA backend's host logic over a device in host memory (fake_device.h): buffer
// growth and failure, weight residency, the progress line, the products through the
// dispatch, and whole models through KESTRUNE_BACKEND=cuda's
// operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "model/layers.h"
#include "backend/cuda/cuda.h"
#include "backend/cuda/matvec.h"
#include "backend/cuda/ops.h"
#include "emulator/emulator.h"
#include "fake_device.h"
#include "model/forward.h"
#include "model/model.h"
#include "model_fixture.h"
#include "quant/blocks.h"
#include "quant/types.h"
#include "spec_support.h"

namespace kestrune {
namespace {

using testing::fake;
using testing::fake_api;

TEST(CudaBuffers, GrowKeepOrReplace) {
  const DeviceApi& api = fake_api();
  fake().fail_malloc_at = 2;
  Buffer b(&api, Buffer::Device);
  ASSERT_TRUE(ensure_device(b, 64).ok());
  void* first = b.ptr;
  ASSERT_TRUE(ensure_device(b, 32).ok());  // big enough: untouched
  EXPECT_EQ(b.ptr, first);
  ASSERT_TRUE(ensure_device(b, 128).ok());
  EXPECT_EQ(b.capacity, 128u);
  EXPECT_EQ(fake().frees, 1);
  const Status failed = ensure_device(b, 256);  // third allocation fails
  EXPECT_EQ(failed.error().message, "cuda: cudaMalloc: out of memory (code 2)");
  EXPECT_EQ(b.capacity, 128u);
  Buffer p(&api, Buffer::Pinned);
  fake().fail_malloc_at = fake().mallocs;
  EXPECT_EQ(ensure_pinned(p, 8).error().message, "cuda: cudaMallocHost: out of memory (code 2)");
  EXPECT_EQ(p.ptr, nullptr);
}

TEST(CudaBuffers, GrowPreservingDoublesAndKeepsContents) {
  const DeviceApi& api = fake_api();
  Buffer b(&api, Buffer::Device);
  ASSERT_TRUE(grow_preserving(b, 16).ok());
  for (int i = 0; i < 4; ++i) b.floats()[i] = float(i + 1);
  ASSERT_TRUE(grow_preserving(b, 20).ok());
  EXPECT_EQ(b.capacity, 32u);  // max(20, 2 × 16)
  for (int i = 0; i < 4; ++i) EXPECT_EQ(b.floats()[i], float(i + 1));
  // A failed copy frees the new allocation and keeps the old one.
  void* before = b.ptr;
  fake().fail_copy_at = fake().copies;
  const long live = fake().live;
  const Status s = grow_preserving(b, 100);
  EXPECT_EQ(s.error().message, "cuda: cudaMemcpy D2D (grow): an illegal memory access was encountered (code 700)");
  EXPECT_EQ(b.ptr, before);
  EXPECT_EQ(fake().live, live);
}

TEST(CudaWeights, UploadedOnceFailedUploadsRetried) {
  const DeviceApi& api = fake_api();
  fake().fail_copy_at = 0;
  Cuda cuda = make_cuda(api, 1, false, false);
  CudaContext& c = *cuda.ctx;
  const std::vector<uint8_t> bytes(68, 7);
  auto failed = resident_weight(c, bytes.data(), bytes.size());
  EXPECT_EQ(failed.error().message, "cuda: cudaMemcpy H2D: an illegal memory access was encountered (code 700)");
  EXPECT_TRUE(c.weights.empty());
  EXPECT_EQ(fake().live, 0);  // the allocation went back
  auto a = resident_weight(c, bytes.data(), bytes.size());
  auto b = resident_weight(c, bytes.data(), bytes.size());
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(fake().copies, 2);
  cuda.ctx.reset();  // the table goes with its backend
  EXPECT_EQ(fake().live, 0);
  // A later backend (a later model) never finds an earlier copy at a reused address.
  Cuda next = make_cuda(api, 1, false, false);
  ASSERT_TRUE(resident_weight(*next.ctx, bytes.data(), bytes.size()).ok());
  EXPECT_EQ(fake().copies, 3);
}

TEST(CudaWeights, NormVectorsUploadedOncePerLength) {
  Cuda cuda = make_cuda(fake_api(), 1, false, false);
  const std::vector<float> v(64, 1.0f);
  const int before = fake().copies;
  auto a = resident_norm(*cuda.ctx, v);
  auto b = resident_norm(*cuda.ctx, v);
  auto shorter = resident_norm(*cuda.ctx, std::span<const float>(v).first(32));
  ASSERT_TRUE(a.ok() && b.ok() && shorter.ok());
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(fake().copies - before, 2);
}

TEST(CudaLayers, DroppedDecodeStateForgetsItsLayers) {
  Backend backend{make_cuda(fake_api(), 1, false, false)};
  LayerStore& store = *std::get<Cuda>(backend).ctx->layers;
  auto lease = hold_layers(backend, {11, 12});
  auto other = hold_layers(backend, {13});
  for (uint64_t n : {11, 12, 13}) store.attn[n], store.gdn[n];
  lease.reset();
  EXPECT_EQ(store.attn.count(11) + store.gdn.count(12), 0u);
  EXPECT_EQ(store.attn.count(13) + store.gdn.count(13), 2u);
  backend = Backend{Cpu{}};  // a lease outliving its backend does nothing
  other.reset();
  EXPECT_EQ(hold_layers(backend, {1}), nullptr);
}

TEST(CudaWeights, ProgressEvery32Uploads) {
  UploadCounters c;
  std::vector<std::string> lines;
  for (int i = 0; i < 100; ++i) {
    if (auto l = count_upload(c, 25'000'000, true)) lines.push_back(*l);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"# progress: 32 resident tensors, 0.8 GB uploaded\n",
                                             "# progress: 64 resident tensors, 1.6 GB uploaded\n",
                                             "# progress: 96 resident tensors, 2.4 GB uploaded\n"}));
  EXPECT_FALSE(count_upload(c, 1, false).has_value());
}

std::vector<float> iota(size_t n, float from) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = from + float(i);
  return v;
}

// Random blocks with finite, modest scales.
std::vector<uint8_t> random_rows(uint32_t type, uint64_t ne0, uint64_t rows, std::mt19937& rng) {
  const BlockFormat* f = block_format(type);
  std::vector<uint8_t> data(ne0 / f->values * rows * f->bytes);
  for (auto& v : data) v = uint8_t(rng());
  const int at = type == kQ6_K ? 208 : 0;
  for (size_t k = 0; k < data.size(); k += f->bytes) {
    data[k + at + 1] = uint8_t(0x1c + rng() % 8);  // |d| in [2^-8, 2^-1)
    if (type == kQ4_K || type == kQ5_K) data[k + 3] = uint8_t(0x1c + rng() % 8);
  }
  return data;
}

double ref_dot(const TensorView& v, uint64_t r, const float* x) {
  auto row = dequant_row(v, r);
  double s = 0;
  for (size_t i = 0; i < row->size(); ++i) s += double((*row)[i]) * x[i];
  return s;
}

// How far a product may land from ref_dot: float rounding, and with int8 activations
// half a quantization step (amax / 254 of its 32-element block) per element.
double allowed(const TensorView& v, uint64_t r, const float* x, bool int8) {
  auto row = dequant_row(v, r);
  double mag = 0, quant = 0;
  for (size_t b = 0; b < row->size(); b += 32) {
    double amax = 0;
    for (size_t i = b; i < b + 32; ++i) amax = std::max(amax, double(std::fabs(x[i])));
    for (size_t i = b; i < b + 32; ++i) {
      mag += std::fabs(double((*row)[i]) * x[i]);
      quant += std::fabs((*row)[i]) * amax / 254;
    }
  }
  return 1e-5 * mag + (int8 ? 1.001 * quant : 0) + 1e-30;
}

// Every dispatch operation, carried out by the executor on the fake device, against
// the decoded rows: catches operands at the wrong column, weight or output.
TEST(CudaProducts, EveryOperationAgainstTheDecodedRows) {
  std::mt19937 rng(5);
  const uint32_t types[] = {kQ8_0, kQ4_K, kQ5_K, kQ6_K};
  for (bool x8 : {false, true}) {
    for (uint32_t t0 : types) {
      for (uint32_t t1 : types) {
        const uint64_t cols = 512, rows0 = 9, rows1 = t0 == t1 ? 9 : 7;
        const auto w0 = random_rows(t0, cols, rows0, rng), w1 = random_rows(t1, cols, rows1, rng);
        TensorInfo i0{"w0", {cols, rows0}, t0, 0}, i1{"w1", {cols, rows1}, t1, 0};
        const TensorView v0{&i0, w0.data(), w0.size()}, v1{&i1, w1.data(), w1.size()};
        const DeviceShape s0 = *device_shape(v0), s1 = *device_shape(v1);
        std::normal_distribution<float> nd;
        std::vector<float> x(3 * cols);
        for (auto& e : x) e = nd(rng);
        Cuda cuda = make_cuda(fake_api(), 1, x8, false);
        CudaContext& c = *cuda.ctx;
        const int C = int(cols);
        struct Op {
          const char* name;
          int columns;  // x and y0 columns
          bool second;  // y1 holds W1 · x
          std::function<Status(float*, float*)> run;
        };
        std::vector<float> tmp(rows0);
        const std::vector<Op> ops = {
            {"single", 1, false, [&](float* y0, float*) { return dev_matvec(c, s0.fmt, w0.data(), x.data(), y0, C, 9); }},
            {"n2", 2, false, [&](float* y0, float*) { return dev_matvec_n2(c, s0.fmt, w0.data(), x.data(), y0, C, 9); }},
            {"n3", 3, false, [&](float* y0, float*) { return dev_matvec_n3(c, s0.fmt, w0.data(), x.data(), y0, C, 9); }},
            {"dual2", 1, true,
             [&](float* y0, float* y1) {
               return dev_matvec_dual2(c, s0.fmt, w0.data(), 9, s1.fmt, w1.data(), int(rows1), x.data(), y0, y1, C);
             }},
            {"dual", 1, true,
             [&](float* y0, float* y1) {
               return rows1 == rows0 ? dev_matvec_dual(c, s0.fmt, w0.data(), s1.fmt, w1.data(), x.data(), y0, y1, C, 9)
                                     : dev_matvec_dual2(c, s0.fmt, w0.data(), 9, s1.fmt, w1.data(), int(rows1),
                                                        x.data(), y0, y1, C);
             }},
        };
        for (const auto& op : ops) {
          std::vector<float> y0(size_t(op.columns) * rows0, NAN), y1(rows1, NAN);
          const Status st = op.run(y0.data(), y1.data());
          const std::string what = std::string(op.name) + " " + type_name(t0) + "/" + type_name(t1) + (x8 ? " x8" : "");
          ASSERT_TRUE(st.ok()) << what << ": " << st.error().message;
          for (int col = 0; col < op.columns; ++col) {
            const float* xc = x.data() + col * cols;
            for (uint64_t r = 0; r < rows0; ++r) {
              EXPECT_NEAR(y0[col * rows0 + r], ref_dot(v0, r, xc), allowed(v0, r, xc, x8 && t0 == kQ4_K))
                  << what << " col " << col << " row " << r;
            }
          }
          if (!op.second) continue;
          for (uint64_t r = 0; r < rows1; ++r) {
            EXPECT_NEAR(y1[r], ref_dot(v1, r, x.data()), allowed(v1, r, x.data(), x8 && t1 == kQ4_K))
                << what << " W1 row " << r;
          }
        }
        // acc += W·x, through tmp on the x8 path.
        std::vector<float> acc(rows0, 1.0f);
        ASSERT_TRUE(dev_matvec_residual(c, s0.fmt, w0.data(), x.data(), tmp.data(), acc.data(), C, 9).ok());
        for (uint64_t r = 0; r < rows0; ++r) {
          EXPECT_NEAR(acc[r], 1.0 + ref_dot(v0, r, x.data()), 1e-6 + allowed(v0, r, x.data(), x8 && t0 == kQ4_K));
        }
      }
    }
  }
}

TEST(CudaProducts, EligibleWeightsRunOnTheDeviceAndTheRestOnTheHost) {
  std::mt19937 rng(9);
  const auto w = random_rows(kQ6_K, 256, 5, rng);
  TensorInfo info{"blk.0.ffn_down.weight", {256, 5}, kQ6_K, 0};
  const TensorView view{&info, w.data(), w.size()};
  const std::vector<float> x = iota(256, -128.0f);
  const Backend b{make_cuda(fake_api(), 1, false, false)};
  const Cuda& cuda = std::get<Cuda>(b);
  auto y = project(b, Matrix{view}, x);
  ASSERT_TRUE(y.ok()) << y.error().message;
  for (uint64_t r = 0; r < 5; ++r) EXPECT_NEAR((*y)[r], ref_dot(view, r, x.data()), 1e-4 * (1 + std::fabs((*y)[r])));
  EXPECT_EQ(fake().launches, 1);
  ASSERT_TRUE(project(b, Matrix{view}, x).ok());
  EXPECT_EQ(cuda.ctx->weights.size(), 1u);
  EXPECT_EQ(project(b, Matrix{view}, iota(255, 0)).error().message,
            "blk.0.ffn_down.weight: matvec x len 255 != ne0 256");
  // A dense copy stays on the host and never touches the device.
  CachedTensor dense{{2, 2}, {1, 2, 3, 4}};
  const int launches = fake().launches;
  auto d = project(b, Matrix{&dense}, std::vector<float>{1, 1});
  EXPECT_EQ(*d, (std::vector<float>{3, 7}));
  EXPECT_EQ(fake().launches, launches);
  // A failed launch surfaces with its label.
  fake().fail_copy_at = fake().copies + 1;
  EXPECT_EQ(project(b, Matrix{view}, x).error().message,
            "cuda: cudaMemcpy D2H (columns): an illegal memory access was encountered (code 700)");
}

// Whole models with the cuda backend's operations over the fake device: every
// quantized product on the "device", the logits within float tolerance of the CPU's.
TEST(CudaModel, FallbackOperationsMatchTheCpuBackend) {
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    for (const char* types : {"q8_0", "q4k-mix"}) {
      auto path = testing::generated_model(std::string("--preset tiny --seed 1 --types ") + types);
      if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
      auto m = testing::load_with(*path, {{"KESTRUNE_WEIGHTS", "lazy"}});
      ASSERT_TRUE(m);
      Model& model = *m;
      const std::vector<uint32_t> tokens = {1, 200, 7, 498, 3};
      auto run = [&](Backend b) {
        model.backend = std::move(b);
        DecodeState st = new_state(model);
        std::vector<std::vector<float>> out;
        for (uint32_t t : tokens) {
          auto l = forward(model, st, t);
          EXPECT_TRUE(l.ok()) << l.error().message;
          if (!l.ok()) break;
          out.push_back(std::move(l).value());
        }
        return out;
      };
      const auto cpu = run(Backend{make_cpu(1)});
      const auto cuda = run(Backend{make_cuda(device.api(), 1, false, false)});
      EXPECT_GT(fake().launches, 0);
      // Later generations reuse the resident weights and staging buffers.
      const long live = fake().live;
      for (int g = 0; g < 3; ++g) {
        DecodeState st = new_state(model);
        ASSERT_TRUE(forward(model, st, 5).ok());
      }
      EXPECT_EQ(fake().live, live);
      ASSERT_EQ(cuda.size(), cpu.size());
      for (size_t t = 0; t < cpu.size(); ++t) {
        double num = 0, den = 0;
        for (size_t i = 0; i < cpu[t].size(); ++i) {
          num += std::pow(double(cuda[t][i]) - cpu[t][i], 2);
          den += std::pow(double(cpu[t][i]), 2);
        }
        EXPECT_LT(std::sqrt(num / den), 1e-4) << types << " token " << t;
      }
    }
  }
}

// The int8-activation products change the numbers, so the kernels answer to their host
// twins here rather than to the CPU backend.
TEST(CudaModel, Int8ActivationsOnTheKernelsMatchTheTwins) {
  auto path = testing::generated_model("--preset tiny --seed 2 --types q4k-mix --interval 1");
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  auto m = testing::load_with(*path, {{"KESTRUNE_WEIGHTS", "lazy"}});
  ASSERT_TRUE(m);
  Model& model = *m;
  std::vector<std::vector<float>> runs[2];
  for (int d = 0; d < 2; ++d) {
    model.backend = Backend{make_cuda(testing::kTestDevices[d].api(), 1, true, false)};
    DecodeState st = new_state(model);
    for (uint32_t t : {1u, 200u, 7u}) {
      auto l = forward(model, st, t);
      ASSERT_TRUE(l.ok()) << testing::kTestDevices[d].name << ": " << l.error().message;
      runs[d].push_back(std::move(l).value());
    }
  }
  const auto x8 = std::count_if(testing::fake().launched.begin(), testing::fake().launched.end(),
                                [](const Launch& l) { return l.kernel >= Kernel::MvWideX8 && l.kernel <= Kernel::MvSplit4X8; });
  EXPECT_GT(x8, 0);
  for (size_t t = 0; t < runs[0].size(); ++t) {
    const auto &twin = runs[0][t], &emu = runs[1][t];
    double num = 0, den = 0;
    for (size_t i = 0; i < twin.size(); ++i) num += std::pow(double(emu[i]) - twin[i], 2), den += std::pow(double(twin[i]), 2);
    EXPECT_LT(std::sqrt(num / den), 1e-4) << "token " << t;
    EXPECT_EQ(std::max_element(twin.begin(), twin.end()) - twin.begin(), std::max_element(emu.begin(), emu.end()) - emu.begin());
  }
}

// No usable device: the first product fails with the runtime's message, no crash.
TEST(CudaModel, WithoutADeviceTheFirstProductFails) {
  using testing::ScopedEnv;
  auto path = testing::generated_model("--preset tiny --seed 1 --types q8_0");
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  if (!cuda_runtime_built()) GTEST_SKIP() << "built without CUDA";
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  ScopedEnv env{{"KESTRUNE_WEIGHTS", "lazy"}, {"KESTRUNE_BACKEND", "cuda"}};
  ::testing::internal::CaptureStderr();
  auto m = testing::load_kept_copy(*path);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(m.ok()) << m.error().message;
  EXPECT_TRUE(err.ends_with("# backend: cuda (Q8_0 fused dequant-GEMV resident; other ops CPU fallback)\n"));
  DecodeState st = new_state(**m);
  auto l = forward(**m, st, 1);
  if (l.ok()) GTEST_SKIP() << "a CUDA device is visible";
  const std::string msg = l.error().message;
  const auto open = msg.rfind(" (code ");
  ASSERT_NE(open, std::string::npos) << msg;
  const int code = std::stoi(msg.substr(open + 7));
  EXPECT_EQ(msg, cuda_error_message("cudaMalloc", cuda_runtime_api().error_string(code), code));
}

}  // namespace
}  // namespace kestrune
