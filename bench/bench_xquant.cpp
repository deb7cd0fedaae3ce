// The int8 products (KESTRUNE_CPU_XQUANT=q8) beside the exact ones, in one run and
// interleaved round by round, since the machine is shared and noisy:
//   decode   tokens/s of one forward call per token, 1 and 2 threads
//   prefill  tokens/s of a 512-token prompt (KESTRUNE_BENCH_PROMPT), 2 threads
//   products G weights/s of one product per format on one thread
// on the 0.8B-shaped Q8_0 and Q4_K/Q6_K-mix files (bench_models.h; both paths stream
// the weights from the mapping). Each figure prints as median [min, max] over rounds.
//
//   ./build/bench_xquant [rounds]         (default 3)
// Targets (tokens/s, 1 / 2 threads): int8 decode Q8_0 24 / 32, mix 32 / 40; int8
// prefill with 2 threads Q8_0 170, mix 210.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/cpu/matvec_fast.h"
#include "backend/cpu/xquant.h"
#include "bench_models.h"
#include "model/forward.h"
#include "model/model.h"
#include "model/prefill.h"
#include "quant/types.h"

using namespace kestrune;

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// CPU time of the calling thread: on a shared machine a one-thread rate per CPU-second
// is far steadier than per wall-clock second.
double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::unique_ptr<Model> load(const std::string& path, bool int8, int threads) {
  ::setenv("KESTRUNE_WEIGHTS", "lazy", 1);
  ::setenv("KESTRUNE_THREADS", std::to_string(threads).c_str(), 1);
  if (int8) ::setenv("KESTRUNE_CPU_XQUANT", "q8", 1);
  auto m = load_model(path);
  ::unsetenv("KESTRUNE_CPU_XQUANT");
  ::unsetenv("KESTRUNE_THREADS");
  ::unsetenv("KESTRUNE_WEIGHTS");
  if (!m.ok()) {
    std::fprintf(stderr, "load %s: %s\n", path.c_str(), m.error().message.c_str());
    std::exit(1);
  }
  return std::move(*m);
}

struct Series {
  std::vector<double> v;
  std::string str() const {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    char buf[96];
    std::snprintf(buf, sizeof buf, "%7.1f [%.1f, %.1f]", s[s.size() / 2], s.front(), s.back());
    return buf;
  }
  double median() const {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    return s[s.size() / 2];
  }
};

double decode_rate(const Model& m, int tokens) {
  DecodeState st = new_state(m);
  uint32_t t = 1;
  (void)forward(m, st, t);  // first-touch of the mapping outside the timing
  const double t0 = now();
  for (int i = 0; i < tokens; ++i) {
    auto l = forward(m, st, t);
    if (!l.ok()) std::exit(2);
    t = (t * 7 + 13) % 1000;
  }
  return tokens / (now() - t0);
}

double prefill_rate(const Model& m, size_t n) {
  std::vector<uint32_t> prompt(n);
  for (size_t i = 0; i < n; ++i) prompt[i] = uint32_t((i * 7 + 13) % 1000);
  DecodeState st = new_state(m);
  const double t0 = now();
  auto l = prefill(m, st, prompt);
  if (!l.ok()) std::exit(3);
  return double(n) / (now() - t0);
}

struct Weights {
  TensorInfo info;
  std::vector<uint8_t> data;
};

Weights random_weights(uint32_t type, uint64_t ne0, uint64_t rows) {
  const BlockFormat* fmt = block_format(type);
  Weights w;
  w.info = TensorInfo{"w", {ne0, rows}, type, 0};
  w.data.resize(ne0 / fmt->values * rows * fmt->bytes);
  uint64_t s = 0x9e3779b97f4a7c15ull;
  for (auto& b : w.data) {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    b = uint8_t(s);
  }
  for (size_t k = 0; k < w.data.size(); k += fmt->bytes) {
    uint8_t* p = w.data.data() + k;
    uint8_t* h = type == kQ6_K ? p + 208 : p;
    h[1] = uint8_t((h[1] & 0x83) | 0x20);
    if (type == kQ4_K || type == kQ5_K) p[3] = uint8_t((p[3] & 0x83) | 0x20);
  }
  return w;
}

// G weights/s of one product, exact kernels and int8, on one thread: per wall-clock
// second, then per CPU-second of the thread.
void products(int rounds) {
  struct Shape {
    uint64_t rows, ne0;
    const char* what;
  } shapes[] = {{1024, 4096, "1024x4096"}, {248320, 1024, "248320x1024 (head)"}};
  std::printf("\nproducts, 1 thread, G weights/s: exact | int8 (%s)\n", xquant_isa_name(xquant_best_isa()));
  for (uint32_t type : {kQ8_0, kQ4_K, kQ5_K, kQ6_K}) {
    for (const Shape& sh : shapes) {
      const Weights w = random_weights(type, sh.ne0, sh.rows);
      const TensorView v{&w.info, w.data.data(), w.data.size()};
      std::vector<float> x(sh.ne0), y(sh.rows);
      for (size_t i = 0; i < x.size(); ++i) x[i] = float(int(i * 37 % 101) - 50) / 25.0f;
      const std::span<const float> xs[1] = {x};
      const std::span<float> ys[1] = {y};
      const double weights = double(sh.rows * sh.ne0);
      const int reps = sh.rows > 100000 ? 3 : 60;
      Series exact, int8, exact_cpu, int8_cpu;
      for (int r = 0; r < rounds; ++r) {
        double t0 = now(), c0 = cpu_now();
        for (int i = 0; i < reps; ++i) (void)matvec_rows_fast(v, x, y);
        exact.v.push_back(weights * reps / (now() - t0) / 1e9);
        exact_cpu.v.push_back(weights * reps / (cpu_now() - c0) / 1e9);
        t0 = now(), c0 = cpu_now();
        for (int i = 0; i < reps; ++i) (void)xquant_rows(xquant_best_isa(), v, xs, ys, nullptr);
        int8.v.push_back(weights * reps / (now() - t0) / 1e9);
        int8_cpu.v.push_back(weights * reps / (cpu_now() - c0) / 1e9);
      }
      std::printf("  %-5s %-20s %s | %s  (x%.2f)\n", type == kQ8_0 ? "Q8_0" : type == kQ4_K ? "Q4_K" : type == kQ5_K ? "Q5_K" : "Q6_K", sh.what, exact.str().c_str(),
                  int8.str().c_str(), int8.median() / exact.median());
      std::printf("  %-5s %-20s %s | %s  per CPU-second\n", "", "", exact_cpu.str().c_str(), int8_cpu.str().c_str());
      if (sh.rows > 100000) continue;
      // Eight columns per weight read, as batched prefill runs them.
      std::vector<std::vector<float>> y8(8, std::vector<float>(sh.rows));
      const std::vector<std::span<const float>> x8(8, std::span<const float>(x));
      const std::vector<std::span<float>> o8(y8.begin(), y8.end());
      Series many;
      for (int r = 0; r < rounds; ++r) {
        const double c0 = cpu_now();
        for (int i = 0; i < reps; ++i) (void)xquant_rows(xquant_best_isa(), v, x8, o8, nullptr);
        many.v.push_back(8 * weights * reps / (cpu_now() - c0) / 1e9);
      }
      std::printf("  %-5s %-20s %s G multiply-adds per CPU-second, int8, 8 columns\n", "", "", many.str().c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const char* pv = std::getenv("KESTRUNE_BENCH_PROMPT");
  const size_t prompt = pv && std::atol(pv) > 0 ? size_t(std::atol(pv)) : 512;
  const bool only_products = std::getenv("KESTRUNE_BENCH_PRODUCTS_ONLY") != nullptr;
  if (!only_products) {
    for (const char* types : {"q8_0", "q4k-mix"}) {
      const std::string path = model_path(types[1] == '8' ? "KESTRUNE_BENCH_Q8_0" : "KESTRUNE_BENCH_Q4K_MIX", types);
      if (path.empty()) return 1;
      std::map<std::string, Series> s;
      std::unique_ptr<Model> m[2][2];  // [int8][threads - 1]
      for (int q = 0; q < 2; ++q) {
        for (int t = 0; t < 2; ++t) m[q][t] = load(path, q == 1, t + 1);
      }
      for (int r = 0; r < rounds; ++r) {
        for (int t = 0; t < 2; ++t) {
          for (int q = 0; q < 2; ++q) s[std::string("decode ") + char('1' + t) + (q ? " int8" : " exact")].v.push_back(decode_rate(*m[q][t], 16));
        }
        for (int q = 0; q < 2; ++q) s[q ? "prefill 2 int8" : "prefill 2 exact"].v.push_back(prefill_rate(*m[q][1], prompt));
      }
      std::printf("\n%s (%s), tokens/s, %d rounds: exact | int8\n", types, path.c_str(), rounds);
      for (const char* k : {"decode 1", "decode 2", "prefill 2"}) {
        const Series& e = s[std::string(k) + " exact"];
        const Series& i = s[std::string(k) + " int8"];
        std::printf("  %-10s threads %s | %s  (x%.2f)\n", k, e.str().c_str(), i.str().c_str(), i.median() / e.median());
      }
      std::fflush(stdout);
    }
  }
  products(rounds);
  return 0;
}
