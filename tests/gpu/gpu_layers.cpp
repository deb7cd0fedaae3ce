// The layers (attention, feed-forward, logits head) on the device against the CPU
// reference at every width, and whole models on the device: host copies per token,
// device memory across generations, and speculative greedy decoding against plain
// greedy decoding.
#include "gpu_layers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/cuda/cuda.h"
#include "gpu_support.h"
#include "model/forward.h"
#include "model/layers.h"
#include "model/mtp.h"
#include "model/speculative.h"
#include "numerics/scalar.h"
#include "sampler/sampler.h"

namespace kestrune::gpu {
namespace {

int* g_passed = nullptr;
int* g_failed = nullptr;

void report(bool ok, const std::string& what, double metric, double tol) {
  (ok ? *g_passed : *g_failed) += 1;
  std::printf("%s %-58s rel %.3g (tol %.3g)\n", ok ? "PASS" : "FAIL", what.c_str(), metric, tol);
}

void report_count(bool ok, const std::string& what, const std::string& detail) {
  (ok ? *g_passed : *g_failed) += 1;
  std::printf("%s %-58s %s\n", ok ? "PASS" : "FAIL", what.c_str(), detail.c_str());
}

double rel_error(const Columns& got, const Columns& want) {
  double num = 0, den = 0;
  for (size_t j = 0; j < want.size(); ++j) {
    for (size_t i = 0; i < want[j].size(); ++i) {
      if (!std::isfinite(got[j][i])) return INFINITY;
      num += std::pow(double(got[j][i]) - want[j][i], 2);
      den += std::pow(double(want[j][i]), 2);
    }
  }
  return std::sqrt(num / std::max(den, 1e-300));
}

std::vector<float> normal(size_t n, std::mt19937& rng, float mean = 0.0f, float sd = 1.0f) {
  std::normal_distribution<float> nd(mean, sd);
  std::vector<float> v(n);
  for (auto& x : v) x = nd(rng);
  return v;
}

Columns columns(size_t k, size_t n, std::mt19937& rng) {
  Columns xs;
  for (size_t j = 0; j < k; ++j) xs.push_back(normal(n, rng));
  return xs;
}

struct Mat {
  TensorInfo info;
  std::vector<uint8_t> bytes;
  Mat(uint32_t type, uint64_t cols, uint64_t rows, std::mt19937& rng)
      : info{"w", {cols, rows}, type, 0}, bytes(random_rows(type, cols, rows, rng)) {}
  Matrix m() const { return TensorView{&info, bytes.data(), bytes.size()}; }
};

std::string width_tag(size_t k) { return " w" + std::to_string(k); }

// The CUDA runtime with every host/device copy counted.
struct CopyCounts {
  long to_device = 0, to_host = 0;
};
CopyCounts g_copies;

const DeviceApi& counting_api() {
  static const DeviceApi api{
      [](void** p, size_t b) { return cuda_runtime_api().malloc_device(p, b); },
      [](void* p) { return cuda_runtime_api().free_device(p); },
      [](void** p, size_t b) { return cuda_runtime_api().malloc_pinned(p, b); },
      [](void* p) { return cuda_runtime_api().free_pinned(p); },
      [](void* d, const void* s, size_t b, CopyKind k) {
        g_copies.to_device += k == CopyKind::HostToDevice;
        g_copies.to_host += k == CopyKind::DeviceToHost;
        return cuda_runtime_api().copy(d, s, b, k);
      },
      [](const Launch& l, const KernelArgs& a) { return cuda_runtime_api().launch(l, a); },
      [](int s) { return cuda_runtime_api().error_string(s); },
      nullptr,
  };
  return api;
}

// 0.8b-like attention: hidden 1024, 8 heads of 256 over 2 kv heads, 64 rotated dims. The
// first device call is at position 10 over a 10-position host cache.
void attention_checks() {
  std::mt19937 rng(31);
  const Backend cpu{make_cpu(1)};
  const AttentionGeometry g{256, 8, 2, 64, 1e7f, 1e-6f};
  for (uint32_t type : {kQ8_0, kQ4_K}) {
    const Mat q(type, 1024, 4096, rng), k(type, 1024, 512, rng), v(type, 1024, 512, rng), o(type, 2048, 1024, rng);
    const auto norm = normal(1024, rng, 1.0f, 0.1f), qn = normal(256, rng, 1.0f, 0.1f), kn = normal(256, rng, 1.0f, 0.1f);
    const AttnWeights w{norm, q.m(), k.m(), v.m(), qn, kn, o.m()};
    KvCache seed;
    for (uint32_t p = 0; p < 10; ++p) {
      Columns x = columns(1, 1024, rng);
      (void)attn_mixer(cpu, g, w, p, 0, seed, column_spans_mut(x));
    }
    for (size_t width = 1; width <= 3; ++width) {
      const Backend dev{make_cuda(cuda_runtime_api(), 1, false, false)};
      KvCache kv_cpu = seed, kv_dev = seed;
      Columns want = columns(width, 1024, rng), got = want;
      (void)attn_mixer(cpu, g, w, 10, 0, kv_cpu, column_spans_mut(want));
      Status st = attn_mixer(dev, g, w, 10, 5, kv_dev, column_spans_mut(got));
      // One more position on the device cache the first call extended.
      Columns next_want = columns(1, 1024, rng), next_got = next_want;
      (void)attn_mixer(cpu, g, w, uint32_t(10 + width), 0, kv_cpu, column_spans_mut(next_want));
      if (st.ok()) st = attn_mixer(dev, g, w, uint32_t(10 + width), 5, kv_dev, column_spans_mut(next_got));
      if (!st.ok()) std::printf("     %s\n", st.error().message.c_str());
      const double e = st.ok() ? std::max(rel_error(got, want), rel_error(next_got, next_want)) : INFINITY;
      report(e <= 1e-4, "attn pos 10 " + type_name(type) + width_tag(width), e, 1e-4);
    }
    // Long contexts over a random host cache: the core kernel, the first columns on the
    // split kernel (at 1024 attended positions) and a context of many chunks.
    for (uint32_t pos : {1022u, 4000u}) {
      KvCache kv{normal(size_t(pos) * 512, rng), normal(size_t(pos) * 512, rng)};
      for (size_t width : {1, 3}) {
        const Backend dev{make_cuda(cuda_runtime_api(), 1, false, false)};
        KvCache kv_cpu = kv, kv_dev = kv;
        Columns want = columns(width, 1024, rng), got = want;
        (void)attn_mixer(cpu, g, w, pos, 0, kv_cpu, column_spans_mut(want));
        const Status st = attn_mixer(dev, g, w, pos, 6, kv_dev, column_spans_mut(got));
        if (!st.ok()) std::printf("     %s\n", st.error().message.c_str());
        const double e = st.ok() ? rel_error(got, want) : INFINITY;
        report(e <= 1e-4, "attn pos " + std::to_string(pos) + " " + type_name(type) + width_tag(width), e, 1e-4);
      }
    }
  }
}

// 0.8b-like feed-forward (hidden 1024, ff 3584) in one format or a K-quant mix, with and
// without int8 activations.
void ffn_checks() {
  std::mt19937 rng(32);
  const Backend cpu{make_cpu(1)};
  struct Mix {
    const char* name;
    uint32_t gate, up, down;
  };
  for (const Mix mix : {Mix{"q8_0", kQ8_0, kQ8_0, kQ8_0}, Mix{"q4_k", kQ4_K, kQ4_K, kQ4_K},
                        Mix{"q6_k/q4_k/q5_k", kQ6_K, kQ4_K, kQ5_K}}) {
    const Mat gate(mix.gate, 1024, 3584, rng), up(mix.up, 1024, 3584, rng), down(mix.down, 3584, 1024, rng);
    const auto norm = normal(1024, rng, 1.0f, 0.1f);
    const FfnWeights w{norm, gate.m(), up.m(), down.m()};
    for (bool x8 : {false, true}) {
      // int8 activations of the Q4_K products: about 1% per product.
      const bool q4 = mix.gate == kQ4_K || mix.up == kQ4_K || mix.down == kQ4_K;
      const double tol = x8 && q4 ? 5e-2 : 1e-4;
      for (size_t width = 1; width <= 3; ++width) {
        const Backend dev{make_cuda(cuda_runtime_api(), 1, x8, false)};
        Columns want = columns(width, 1024, rng), got = want;
        (void)ffn_swiglu(cpu, w, 1e-6f, column_spans_mut(want));
        const Status st = ffn_swiglu(dev, w, 1e-6f, column_spans_mut(got));
        if (!st.ok()) std::printf("     %s\n", st.error().message.c_str());
        const double e = st.ok() ? rel_error(got, want) : INFINITY;
        report(e <= tol, std::string("ffn ") + mix.name + (x8 ? " x8" : "") + width_tag(width), e, tol);
      }
    }
  }
}

// A head of 9000 rows (the wide kernels) over hidden 1024, from columns on the device:
// the logits of every column come down in one copy.
void head_checks() {
  std::mt19937 rng(33);
  const Backend cpu{make_cpu(1)};
  for (uint32_t type : {kQ8_0, kQ6_K}) {
    const Mat head(type, 1024, 9000, rng);
    const Matrix m = head.m();
    const auto norm = normal(1024, rng, 1.0f, 0.1f);
    for (size_t width = 1; width <= 4; ++width) {
      const Backend dev{make_cuda(counting_api(), 1, false, false)};
      const Columns x = columns(width, 1024, rng);
      auto want = upload(cpu, x);
      Result<Columns> want_logits = want.ok() ? logits_head(cpu, norm, m, 1e-6f, *want) : want.error();
      auto on_device = upload(dev, x);
      const long down = g_copies.to_host;
      Result<Columns> got = on_device.ok() ? logits_head(dev, norm, m, 1e-6f, *on_device) : on_device.error();
      const long copies = g_copies.to_host - down;
      if (!got.ok()) std::printf("     %s\n", got.error().message.c_str());
      if (!want_logits.ok()) std::printf("     cpu: %s\n", want_logits.error().message.c_str());
      if (got.ok() && copies != 1) std::printf("     %ld downloads (want 1)\n", copies);
      const double e = got.ok() && want_logits.ok() && copies == 1 ? rel_error(*got, *want_logits) : INFINITY;
      report(e <= 1e-4, "logits head " + type_name(type) + width_tag(width), e, 1e-4);
    }
  }
}

uint32_t argmax(const std::vector<float>& v) { return uint32_t(std::max_element(v.begin(), v.end()) - v.begin()); }

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// After a warm-up token every token costs one upload (the embedding) and one download
// (the logits); generations leave device memory where it was.
void transfer_and_memory_check(const std::string& path) {
  auto m = load_kept_copy(path);
  if (!m) {
    report_count(false, "load " + base_name(path), "");
    return;
  }
  m->backend = Backend{make_cuda(counting_api(), 1, false, false)};
  long worst_up = 0, worst_down = 0;
  size_t free_after_first = 0, free_after_last = 0, total = 0;
  for (int generation = 0; generation < 6; ++generation) {
    DecodeState st = new_state(*m);
    uint32_t token = 1;
    for (int i = 0; i < 8; ++i) {
      const CopyCounts before = g_copies;
      auto l = forward(*m, st, token);
      if (!l.ok()) {
        std::printf("     %s\n", l.error().message.c_str());
        report_count(false, "transfers " + base_name(path), "forward failed");
        return;
      }
      if (generation > 0 || i > 0) {
        worst_up = std::max(worst_up, g_copies.to_device - before.to_device);
        worst_down = std::max(worst_down, g_copies.to_host - before.to_host);
      }
      token = argmax(*l);
    }
    if (generation == 0) continue;
    cudaDeviceSynchronize();
    cudaMemGetInfo(generation == 1 ? &free_after_first : &free_after_last, &total);
  }
  report_count(worst_up == 1 && worst_down == 1, "transfers per token " + base_name(path),
               "up " + std::to_string(worst_up) + ", down " + std::to_string(worst_down) + " (want 1 and 1)");
  const double grown_mb = (double(free_after_first) - double(free_after_last)) / 1e6;
  report_count(grown_mb <= 0, "device memory flat over generations " + base_name(path),
               "grew " + std::to_string(grown_mb) + " MB");
}

// Greedy tokens after `prompt`: plain decoding, or speculative rounds at `depth`.
std::vector<uint32_t> greedy(const Model& m, const std::vector<uint32_t>& prompt, unsigned depth, size_t n,
                             std::string& err) {
  DecodeState st = new_state(m);
  std::vector<float> logits;
  for (uint32_t t : prompt) {
    auto l = depth == 0 ? forward(m, st, t) : forward_mtp(m, st, t);
    if (!l.ok()) return err = l.error().message, std::vector<uint32_t>{};
    logits = std::move(l).value();
  }
  std::vector<uint32_t> out = {argmax(logits)};
  Sampler s = make_sampler(0.0f, 0, 1.0f, 0);
  while (out.size() < n) {
    if (depth == 0) {
      auto l = forward(m, st, out.back());
      if (!l.ok()) return err = l.error().message, std::vector<uint32_t>{};
      out.push_back(argmax(*l));
      continue;
    }
    auto r = speculative_round(m, depth, out.back(), st, s);
    if (!r.ok()) return err = r.error().message, std::vector<uint32_t>{};
    out.insert(out.end(), r->accepted.begin(), r->accepted.end());
    out.push_back(r->next);
  }
  out.resize(n);
  return out;
}

void speculative_check(const std::string& path) {
  setenv("KESTRUNE_MTP", "1", 1);
  auto m = load_on(path, "cuda");
  unsetenv("KESTRUNE_MTP");
  if (!m || !m->switches.speculative) {
    report_count(false, "speculative " + base_name(path), "regime not armed");
    return;
  }
  const std::vector<uint32_t> prompt = {1, 300, 17, 42};
  std::string err;
  const auto plain = greedy(*m, prompt, 0, 40, err);
  for (unsigned depth : {1u, 2u}) {
    const auto drafted = greedy(*m, prompt, depth, 40, err);
    if (!err.empty()) std::printf("     %s\n", err.c_str());
    size_t same = 0;
    while (same < plain.size() && same < drafted.size() && plain[same] == drafted[same]) ++same;
    report_count(err.empty() && same == plain.size(),
                 "speculative depth " + std::to_string(depth) + " = greedy " + base_name(path),
                 std::to_string(same) + " of " + std::to_string(plain.size()) + " tokens equal");
  }
}

}  // namespace

void layer_checks(const std::vector<std::string>& models, int& passed, int& failed) {
  g_passed = &passed;
  g_failed = &failed;
  attention_checks();
  ffn_checks();
  head_checks();
  for (const std::string& path : models) {
    transfer_and_memory_check(path);
    auto probe = load_on(path, "cpu");
    if (probe && probe->has_draft()) speculative_check(path);
  }
}

}  // namespace kestrune::gpu
