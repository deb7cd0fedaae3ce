// Counts what a decode token costs the CUDA backend: kernel launches, host-device copies
// and device allocations, measured over the host fake device so that no GPU is needed.
// Only the model-level calls drive it, so the counts follow whatever the backend does.
//
//   cuda_launch_count MODEL.gguf [TOKENS]
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "backend/cuda/cuda.h"
#include "backend/cuda/dispatch.h"
#include "fake_device.h"
#include "model/forward.h"
#include "model/model.h"
#include "model/speculative.h"
#include "model_fixture.h"
#include "sampler/sampler.h"

namespace kestrune {
namespace {

using testing::fake;

struct Counts {
  long launches = 0, uploads = 0, downloads = 0, allocations = 0;
  size_t launched = 0;  // index into FakeDevice::launched
};

Counts snapshot() {
  const auto& f = fake();
  return {f.launches, f.to_device, f.to_host, f.mallocs, f.launched.size()};
}

void report(const char* prefix, const char* unit, const Counts& a, const Counts& b, int n) {
  const auto per = [n](long x) { return double(x) / n; };
  std::printf("%slaunches/%s %.2f\n", prefix, unit, per(b.launches - a.launches));
  std::printf("%suploads/%s %.2f\n", prefix, unit, per(b.uploads - a.uploads));
  std::printf("%sdownloads/%s %.2f\n", prefix, unit, per(b.downloads - a.downloads));
  std::printf("%sallocations/%s %.2f\n", prefix, unit, per(b.allocations - a.allocations));
}

void histogram(const Counts& a, const Counts& b) {
  std::map<std::string, int> by_kernel;
  for (size_t i = a.launched; i < b.launched; ++i) ++by_kernel[kernel_name(fake().launched[i].kernel)];
  std::printf("kernels of one decode token:\n");
  for (const auto& [name, count] : by_kernel) std::printf("  %-28s %d\n", name.c_str(), count);
}

int fail(const Error& e) {
  std::fprintf(stderr, "cuda_launch_count: %s\n", e.message.c_str());
  return 1;
}

int run(const std::string& path, int tokens) {
  testing::ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  testing::ScopedEnv env{{"KESTRUNE_WEIGHTS", "lazy"}, {"KESTRUNE_MTP", "1"}};
  auto loaded = testing::load_kept_copy(path);
  if (!loaded.ok()) return fail(loaded.error());
  Model& model = **loaded;
  model.backend = Backend{make_cuda(testing::fake_api(), 1, false, false)};
  Sampler greedy = make_sampler(0.0f, 0, 1.0f, 0);
  const uint32_t first = 1;

  // Plain decode: the first token uploads the weights; the next ones are measured.
  DecodeState st = new_state(model);
  auto logits = forward(model, st, first);
  if (!logits.ok()) return fail(logits.error());
  const Counts start = snapshot();
  Counts last_start = start;
  for (int i = 0; i < tokens; ++i) {
    last_start = snapshot();
    logits = forward(model, st, sample(greedy, *logits));
    if (!logits.ok()) return fail(logits.error());
  }
  const Counts end = snapshot();
  report("", "token", start, end, tokens);
  histogram(last_start, end);

  if (!model.has_draft() || !model.switches.speculative) return 0;
  // Depth-1 rounds: one draft and one two-column verification each. The first round
  // sets up the verification buffers and is not measured.
  st = new_state(model);
  logits = forward_mtp(model, st, first);
  if (!logits.ok()) return fail(logits.error());
  uint32_t next = sample(greedy, *logits);
  Counts spec_start;
  long accepted = 0;
  for (int i = 0; i <= tokens; ++i) {
    if (i == 1) spec_start = snapshot();
    auto r = speculative_round(model, 1, next, st, greedy);
    if (!r.ok()) return fail(r.error());
    if (i > 0) accepted += long(r->accepted.size());
    next = r->next;
  }
  report("spec1 ", "round", spec_start, snapshot(), tokens);
  std::printf("spec1 accepted/round %.2f\n", double(accepted) / tokens);
  return 0;
}

}  // namespace
}  // namespace kestrune

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: cuda_launch_count MODEL.gguf [TOKENS]\n");
    return 2;
  }
  const int tokens = argc == 3 ? std::atoi(argv[2]) : 8;
  if (tokens < 1) {
    std::fprintf(stderr, "cuda_launch_count: TOKENS must be a positive integer\n");
    return 2;
  }
  return kestrune::run(argv[1], tokens);
}
