// The real kernel sources on the block emulator, at their boundary shapes, against the
// host twins (float64 sums of the same lane functions).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "backend/cpu/attention.h"
#include "backend/cuda/attn_lanes.h"
#include "backend/cuda/cuda.h"
#include "backend/cuda/gdn_lanes.h"
#include "backend/cuda/matvec.h"
#include "emulator/emulator.h"
#include "fake_device.h"

namespace kestrune {
namespace {

using testing::emulated_api;
using testing::fake_api;
using Bytes = std::vector<uint8_t>;
using Runner = std::function<Status(const DeviceApi&, const std::vector<void*>&)>;

template <class T>
Bytes bytes_of(const std::vector<T>& v) {
  Bytes b(v.size() * sizeof(T));
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

std::vector<float> floats_of(const Bytes& b) {
  std::vector<float> v(b.size() / 4);
  std::memcpy(v.data(), b.data(), 4 * v.size());
  return v;
}

// The buffers after `run` on the host twin and after it on the emulated device.
std::pair<std::vector<Bytes>, std::vector<Bytes>> run_both(std::vector<Bytes> bufs, const Runner& run) {
  std::vector<Bytes> twin = bufs;
  std::vector<void*> host;
  for (auto& b : twin) host.push_back(b.data());
  const Status ft = run(fake_api(), host);
  EXPECT_TRUE(ft.ok()) << ft.error().message;
  const DeviceApi& api = emulated_api();
  std::vector<void*> dev(bufs.size());
  for (size_t i = 0; i < bufs.size(); ++i) {
    EXPECT_EQ(api.malloc_device(&dev[i], bufs[i].size()), 0);
    EXPECT_EQ(api.copy(dev[i], bufs[i].data(), bufs[i].size(), CopyKind::HostToDevice), 0);
  }
  const Status st = run(api, dev);
  EXPECT_TRUE(st.ok()) << st.error().message;
  for (size_t i = 0; i < bufs.size(); ++i) {
    EXPECT_EQ(api.copy(bufs[i].data(), dev[i], bufs[i].size(), CopyKind::DeviceToHost), 0);
    api.free_device(dev[i]);
  }
  return {twin, bufs};
}

// Elementwise within `rel` of the twin's output, relative to the larger of the element
// and the output's RMS.
void expect_close(const Bytes& twin, const Bytes& emu, double rel, const std::string& what) {
  const auto a = floats_of(twin), b = floats_of(emu);
  double ss = 0;
  for (float v : a) ss += double(v) * v;
  const double rms = std::sqrt(ss / double(a.size())) + 1e-30;
  int bad = 0;
  for (size_t i = 0; i < a.size() && bad < 5; ++i) {
    if (!(std::fabs(double(a[i]) - b[i]) <= rel * std::max(rms, std::fabs(double(a[i]))))) {
      ADD_FAILURE() << what << " element " << i << ": twin " << a[i] << " emulated " << b[i];
      ++bad;
    }
  }
}

std::vector<float> normal(size_t n, std::mt19937& rng, float scale = 1.0f) {
  std::normal_distribution<float> nd(0.0f, scale);
  std::vector<float> v(n);
  for (auto& e : v) e = nd(rng);
  return v;
}

// Random blocks whose scales are finite and moderate.
Bytes random_weights(DeviceFormat f, int rows, int cols, std::mt19937& rng) {
  const FormatBlock b = format_block(f);
  Bytes w(size_t(rows) * (cols / b.values) * b.bytes);
  for (auto& v : w) v = uint8_t(rng());
  const size_t at = f == DeviceFormat::Q6_K ? 208 : 0;
  for (size_t k = 0; k < w.size(); k += b.bytes) {
    w[k + at + 1] = uint8_t(0x1c + rng() % 8);
    if (f == DeviceFormat::Q4_K || f == DeviceFormat::Q5_K) w[k + 3] = uint8_t(0x1c + rng() % 8);
  }
  return w;
}

TEST(EmulatedKernels, ProductsAtTheirBoundaryShapes) {
  using F = DeviceFormat;
  using P = ProductOp;
  struct Case {
    P op;
    F f0, f1;
    int rows, rows1, cols;
    bool x8;
  };
  const Case cases[] = {
      {P::Single, F::Q8_0, F::Q8_0, 7, 0, 768, false},      {P::N3, F::Q8_0, F::Q8_0, 2047, 0, 256, false},
      {P::Single, F::Q4_K, F::Q4_K, 2048, 0, 256, true},    {P::Single, F::Q4_K, F::Q4_K, 8191, 0, 256, true},
      {P::Single, F::Q4_K, F::Q4_K, 8192, 0, 256, true},    {P::N2, F::Q4_K, F::Q4_K, 8192, 0, 256, false},
      {P::N3, F::Q5_K, F::Q5_K, 2047, 0, 256, false},       {P::Single, F::Q6_K, F::Q6_K, 8192, 0, 256, false},
      {P::N2, F::Q6_K, F::Q6_K, 7, 0, 768, false},          {P::Residual, F::Q5_K, F::Q5_K, 2048, 0, 768, false},
      {P::Residual, F::Q4_K, F::Q4_K, 7, 0, 768, true},     {P::N3, F::Q4_K, F::Q4_K, 7, 0, 768, true},
      {P::Dual, F::Q4_K, F::Q4_K, 2047, 2047, 256, false},  {P::Dual2, F::Q4_K, F::Q6_K, 2048, 7, 768, false},
      {P::Single, F::Q5_K, F::Q5_K, 8191, 0, 256, false},
  };
  std::mt19937 rng(11);
  for (const Case& c : cases) {
    const int columns = c.op == P::N2 ? 2 : c.op == P::N3 ? 3 : 1;
    const bool second = c.op == P::Dual || c.op == P::Dual2;
    const std::string what = std::to_string(int(c.op)) + " " + format_name(c.f0) + " rows " + std::to_string(c.rows) +
                             " cols " + std::to_string(c.cols) + (c.x8 ? " x8" : "");
    std::vector<Bytes> bufs = {random_weights(c.f0, c.rows, c.cols, rng),
                               second ? random_weights(c.f1, c.rows1, c.cols, rng) : Bytes(4),
                               bytes_of(normal(size_t(columns) * c.cols, rng)),
                               bytes_of(normal(size_t(columns) * c.rows, rng)),
                               bytes_of(normal(size_t(std::max(c.rows1, 1)), rng)),
                               bytes_of(std::vector<float>(size_t(c.rows)))};
    ProductShape s{c.op, c.f0, c.f1, uint32_t(c.rows), uint32_t(c.rows1), uint32_t(c.cols), c.x8};
    auto [twin, emu] = run_both(bufs, [&](const DeviceApi& api, const std::vector<void*>& p) {
      Cuda cuda = make_cuda(api, 1, c.x8, false);
      const ProductOperands o{p[0], p[1], static_cast<const float*>(p[2]), static_cast<float*>(p[3]),
                              static_cast<float*>(p[4]), static_cast<float*>(p[5])};
      return run_product(*cuda.ctx, s, o);
    });
    expect_close(twin[3], emu[3], 2e-6, what);
    if (second) expect_close(twin[4], emu[4], 2e-6, what + " W1");
  }
}

TEST(EmulatedKernels, ElementwiseKernelsAtTheirBoundaryLengths) {
  std::mt19937 rng(3);
  for (int n : {7, 2047, 2048, 8191, 8192}) {
    const std::string at = " n " + std::to_string(n);
    std::vector<Bytes> bufs = {bytes_of(normal(size_t(n), rng)), bytes_of(normal(size_t(n), rng)),
                               bytes_of(normal(size_t(n), rng)), Bytes(size_t(n)), Bytes(4 * size_t((n + 31) / 32))};
    auto [t0, e0] = run_both(bufs, [&](const DeviceApi& api, const std::vector<void*>& p) {
      const auto* x = static_cast<const float*>(p[0]);
      return dev_rmsnorm(api, x, static_cast<const float*>(p[1]), static_cast<float*>(p[2]), n, 1e-6f, "rmsnorm");
    });
    expect_close(t0[2], e0[2], 1e-6, "rmsnorm" + at);
    auto [t1, e1] = run_both(bufs, [&](const DeviceApi& api, const std::vector<void*>& p) -> Status {
      KS_CHECK(dev_silu_mul(api, static_cast<float*>(p[2]), static_cast<const float*>(p[0]), n, "silu"));
      return dev_add_inplace(api, static_cast<float*>(p[1]), static_cast<const float*>(p[2]), n, "add");
    });
    EXPECT_EQ(t1[1], e1[1]) << "silu and add" << at;
    auto [t2, e2] = run_both(bufs, [&](const DeviceApi& api, const std::vector<void*>& p) {
      Launch l{Kernel::QuantizeXQ8};
      l.grid = uint32_t(n + 127) / 128;
      KernelArgs a;
      a.x = static_cast<const float*>(p[0]);
      a.xq = static_cast<int8_t*>(p[3]);
      a.xs = static_cast<float*>(p[4]);
      a.n = n;
      return check_cuda(api, api.launch(l, a), "quantize");
    });
    EXPECT_EQ(t2[3], e2[3]) << "quantized" << at;
    EXPECT_EQ(t2[4], e2[4]) << "scales" << at;
  }
}

Status launch_ext(const DeviceApi& api, Kernel k, uint32_t grid, uint32_t block, const void* ext) {
  Launch l{k};
  l.grid = grid;
  l.block = block;
  KernelArgs a;
  a.ext = ext;
  return check_cuda(api, api.launch(l, a), kernel_name(k));
}

// The core and, over the same cache, the split kernel with its combine.
TEST(EmulatedKernels, AttentionAtItsBoundaryPositions) {
  std::mt19937 rng(7);
  for (int hd : {128, 256}) {
    for (int pos : {1, 255, 257, 3000}) {
      const int n_head = 2, n_pos = pos + 1, n_split = lanes::attn_split_count(n_pos);
      const size_t q = size_t(n_head) * hd;
      const size_t partials = size_t(n_head) * std::max(size_t(n_pos), size_t(n_split) * (hd + 2));
      std::vector<Bytes> bufs = {bytes_of(normal(2 * q, rng)),          bytes_of(normal(size_t(hd), rng, 0.3f)),
                                 Bytes(4 * q),                         bytes_of(normal(size_t(hd), rng)),
                                 bytes_of(normal(size_t(hd), rng)),    bytes_of(normal(size_t(n_pos) * hd, rng)),
                                 bytes_of(normal(size_t(n_pos) * hd, rng)), Bytes(4 * q),
                                 Bytes(4 * size_t(n_head) * n_pos),    bytes_of(rope_frequencies(64, 1e7f)),
                                 Bytes(4 * q),                         Bytes(4 * partials)};
      auto [twin, emu] = run_both(bufs, [&](const DeviceApi& api, const std::vector<void*>& p) -> Status {
        auto f = [&](int i) { return static_cast<float*>(p[size_t(i)]); };
        AttnOperands o{f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(2), f(7), f(8), f(9)};
        o.head_dim = hd, o.rope_dim = 64, o.n_head = n_head, o.n_kv = 1, o.kv_dim = hd, o.pos = pos, o.n_pos = n_pos;
        o.eps = 1e-6f, o.scale = 1.0f / std::sqrt(float(hd));
        KS_CHECK(launch_ext(api, Kernel::AttnQPrep, uint32_t(n_head), 256, &o));
        KS_CHECK(launch_ext(api, Kernel::AttnKvAppend, 1, 256, &o));
        KS_CHECK(launch_ext(api, Kernel::AttnCore, uint32_t(n_head), 256, &o));
        o.out = f(10), o.scores = f(11), o.n_split = n_split;
        Launch l{Kernel::AttnSplit};
        l.grid = uint32_t(n_head), l.grid_y = uint32_t(n_split), l.block = 256;
        KernelArgs a;
        a.ext = &o;
        KS_CHECK(check_cuda(api, api.launch(l, a), "split"));
        return launch_ext(api, Kernel::AttnCombine, uint32_t(n_head), 256, &o);
      });
      const std::string at = " head_dim " + std::to_string(hd) + " pos " + std::to_string(pos);
      expect_close(twin[2], emu[2], 1e-6, "queries" + at);
      expect_close(twin[5], emu[5], 1e-6, "keys" + at);
      EXPECT_EQ(twin[6], emu[6]) << "values" << at;
      expect_close(twin[7], emu[7], 1e-5, "output" + at);
      expect_close(twin[7], emu[10], 1e-5, "split output" + at);
    }
  }
}

TEST(EmulatedKernels, GdnChainAtBothHeadSizes) {
  std::mt19937 rng(13);
  for (int d : {64, 128}) {
    const int n_k = 1, n_v = 2, K = 4, n = 300, ch = (2 * n_k + n_v) * d;
    const size_t state = size_t(n_v) * d * d;
    std::vector<float> a_log = normal(size_t(n_v), rng, 0.2f);
    for (auto& v : a_log) v = -std::fabs(v);
    std::vector<Bytes> bufs = {
        bytes_of(normal(size_t(ch) * K, rng, 0.5f)), bytes_of(normal(size_t(K - 1) * ch, rng)), Bytes(4 * size_t(K - 1) * ch),
        bytes_of(normal(size_t(ch), rng)),           Bytes(4 * size_t(ch)),                     bytes_of(normal(size_t(n_v) * n, rng, 0.1f)),
        bytes_of(normal(size_t(n_v) * n, rng, 0.1f)), bytes_of(normal(size_t(n), rng)),          bytes_of(normal(size_t(n_v), rng)),
        bytes_of(a_log),                             Bytes(4 * size_t(n_v)),                    Bytes(4 * size_t(n_v)),
        bytes_of(normal(state, rng, 0.1f)),          Bytes(4 * state),                          Bytes(4 * size_t(n_v) * d),
        bytes_of(normal(size_t(n_v) * d, rng)),      bytes_of(normal(size_t(d), rng)),          Bytes(4 * size_t(n_v) * d)};
    auto [twin, emu] = run_both(bufs, [&](const DeviceApi& api, const std::vector<void*>& p) -> Status {
      auto f = [&](int i) { return static_cast<float*>(p[size_t(i)]); };
      GdnKernelArgs a;
      a.conv_w = f(0), a.state_in = f(1), a.state_out = f(2), a.qkv = f(3), a.conv_out = f(4);
      a.channels = ch, a.K = K, a.q_scale = 1.0f / std::sqrt(float(d)), a.k_scale = 1.0f;
      a.d = d, a.n_k = n_k, a.n_v = n_v;
      KS_CHECK(launch_ext(api, Kernel::GdnConvScaled, uint32_t(2 * n_k + n_v), 256, &a));
      a.alpha = f(5), a.beta_w = f(6), a.xn = f(7), a.dt_bias = f(8), a.a = f(9), a.decay = f(10), a.beta = f(11), a.n = n;
      KS_CHECK(launch_ext(api, Kernel::GdnAbGates, uint32_t(n_v), 256, &a));
      a.state_in = f(12), a.state_out = f(13), a.out = f(14);
      a.q = f(4), a.k = f(4) + n_k * d, a.v = f(4) + 2 * n_k * d;
      const bool wide = d == 128;
      KS_CHECK(launch_ext(api, wide ? Kernel::GdnScanWide : Kernel::GdnScan, uint32_t(n_v), wide ? 256 : uint32_t(d), &a));
      a.scan = f(14), a.z = f(15), a.norm = f(16), a.gated = f(17), a.eps = 1e-6f;
      return launch_ext(api, Kernel::GatedNormSilu, uint32_t(n_v), 256, &a);
    });
    const char* names[] = {"conv history", "conv out", "decay", "beta", "scan state", "scan out", "gated"};
    const int idx[] = {2, 4, 10, 11, 13, 14, 17};
    for (int i = 0; i < 7; ++i) expect_close(twin[size_t(idx[i])], emu[size_t(idx[i])], 1e-5, names[i] + (" d " + std::to_string(d)));
  }
}

}  // namespace
}  // namespace kestrune
