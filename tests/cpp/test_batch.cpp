// Many sequences in one pass: every sequence's logits are the bits of its solo run,
// whatever else shares the pass, on the exact and the int8 CPU paths; on the CUDA
// backend within float tolerance.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "emulator/emulator.h"
#include "model/batch.h"
#include "model/forward.h"
#include "model/prefill.h"
#include "spec_support.h"

namespace kestrune {
namespace {

// One sequence of a scenario: its prompt, the step it joins at and the step it leaves
// before (0: never), then one fixed token per step.
struct Seq {
  std::vector<uint32_t> prompt;
  size_t join = 0;
  size_t leave = 0;
};

std::vector<uint32_t> tokens(size_t n, uint32_t seed) {
  std::vector<uint32_t> t(n);
  for (size_t i = 0; i < n; ++i) t[i] = (seed * 131 + uint32_t(i) * 37) % 400;
  return t;
}

uint32_t next_token(size_t seq, size_t step) { return uint32_t(7 + 13 * seq + 29 * step) % 400; }

// The logits of each sequence at each step it took part in, batched or each alone.
using Trace = std::vector<std::vector<std::vector<float>>>;

Trace run_batched(const Model& m, const std::vector<Seq>& seqs, size_t steps) {
  std::vector<DecodeState> states;
  for (size_t i = 0; i < seqs.size(); ++i) states.push_back(new_state(m));
  Trace out(seqs.size());
  std::vector<std::vector<uint32_t>> fed(seqs.size());
  for (size_t s = 0; s < steps; ++s) {
    std::vector<BatchItem> items;
    std::vector<size_t> who;
    for (size_t i = 0; i < seqs.size(); ++i) {
      if (s < seqs[i].join || (seqs[i].leave && s >= seqs[i].leave)) continue;
      fed[i] = s == seqs[i].join ? seqs[i].prompt : std::vector<uint32_t>{next_token(i, s)};
      items.push_back({&states[i], fed[i]});
      who.push_back(i);
    }
    auto results = forward_batch(m, items);
    for (size_t j = 0; j < who.size(); ++j) {
      EXPECT_TRUE(results[j].ok()) << results[j].error().message;
      out[who[j]].push_back(results[j].ok() ? *results[j] : std::vector<float>());
    }
  }
  return out;
}

Trace run_alone(const Model& m, const std::vector<Seq>& seqs, size_t steps) {
  Trace out(seqs.size());
  for (size_t i = 0; i < seqs.size(); ++i) {
    DecodeState st = new_state(m);
    const size_t end = seqs[i].leave ? seqs[i].leave : steps;
    for (size_t s = seqs[i].join; s < end; ++s) {
      auto l = s == seqs[i].join ? prefill(m, st, seqs[i].prompt, kPrefillChunk) : forward(m, st, next_token(i, s));
      EXPECT_TRUE(l.ok()) << l.error().message;
      out[i].push_back(l.ok() ? *l : std::vector<float>());
    }
  }
  return out;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), 4 * a.size()) == 0;
}

double rel_error(const std::vector<float>& got, const std::vector<float>& want) {
  double num = 0, den = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    num += std::pow(double(got[i]) - want[i], 2);
    den += std::pow(double(want[i]), 2);
  }
  return std::sqrt(num / den);
}

const std::vector<Seq> kScenario = {
    {tokens(5, 1), 0, 0},    // decodes throughout
    {tokens(1, 2), 0, 3},    // a one-token prompt, leaves early (end of sequence)
    {tokens(70, 3), 0, 0},   // a prompt past one chunk
    {tokens(7, 4), 2, 0},    // joins mid-run
    {tokens(12, 5), 4, 6},   // joins and leaves
};

TEST(Batch, EverySequenceGetsItsSoloBits) {
  auto path = testing::generated_model("--preset tiny --seed 6 --types q4k-mix");
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  const struct {
    const char* what;
    testing::ScopedEnv::Vars env;
  } modes[] = {
      {"exact, 1 thread", {{"KESTRUNE_THREADS", "1"}}},
      {"exact, 2 threads", {{"KESTRUNE_THREADS", "2"}}},
      {"int8", {{"KESTRUNE_THREADS", "2"}, {"KESTRUNE_CPU_XQUANT", "q8"}}},
      {"eager weights", {{"KESTRUNE_WEIGHTS", "eager"}}},
  };
  for (const auto& mode : modes) {
    auto m = testing::load_with(*path, mode.env);
    ASSERT_TRUE(m);
    const Trace batched = run_batched(*m, kScenario, 8), alone = run_alone(*m, kScenario, 8);
    for (size_t i = 0; i < kScenario.size(); ++i) {
      ASSERT_EQ(batched[i].size(), alone[i].size()) << mode.what << " sequence " << i;
      for (size_t s = 0; s < alone[i].size(); ++s) {
        EXPECT_TRUE(same_bits(batched[i][s], alone[i][s])) << mode.what << " sequence " << i << " step " << s;
      }
    }
  }
}

TEST(Batch, ABadSequenceLeavesTheOthersIntact) {
  auto path = testing::generated_model("--preset tiny --seed 6 --types q4k-mix");
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  auto m = testing::load_with(*path, {});
  ASSERT_TRUE(m);
  DecodeState good = new_state(*m), bad = new_state(*m), solo = new_state(*m);
  const std::vector<uint32_t> prompt = tokens(6, 9), past_vocab = {1, 100000};
  const BatchItem items[] = {{&bad, past_vocab}, {&good, prompt}};
  auto results = forward_batch(*m, items);
  ASSERT_FALSE(results[0].ok());
  EXPECT_EQ(bad.position, 0u);  // left before the pass
  ASSERT_TRUE(results[1].ok()) << results[1].error().message;
  EXPECT_TRUE(same_bits(*results[1], *prefill(*m, solo, prompt, kPrefillChunk)));
  EXPECT_EQ(good.position, solo.position);
}

// Concurrent callers through the batcher: each one's logits are its solo bits, and they
// share steps.
TEST(Batch, ConcurrentFeedsShareStepsAndKeepTheirBits) {
  auto path = testing::generated_model("--preset tiny --seed 6 --types q4k-mix");
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  auto m = testing::load_with(*path, {});
  ASSERT_TRUE(m);
  constexpr size_t kSeqs = 4, kSteps = 12;
  const std::vector<Seq> seqs = {{tokens(3, 1)}, {tokens(90, 2)}, {tokens(1, 3)}, {tokens(20, 4)}};
  const Trace alone = run_alone(*m, seqs, kSteps);
  Batcher b;
  b.model = m.get();
  b.limits.step_tokens = 32;  // the long prompt takes several steps
  Trace got(kSeqs);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kSeqs; ++i) {
    threads.emplace_back([&, i] {
      const BatchSeat seat(b);
      DecodeState st = new_state(*m);
      for (size_t s = 0; s < kSteps; ++s) {
        const std::vector<uint32_t> feed = s == 0 ? seqs[i].prompt : std::vector<uint32_t>{next_token(i, s)};
        auto l = batched_feed(b, st, feed);
        got[i].push_back(l.ok() ? *l : std::vector<float>());
      }
    });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < kSeqs; ++i) {
    for (size_t s = 0; s < kSteps; ++s) EXPECT_TRUE(same_bits(got[i][s], alone[i][s])) << "sequence " << i << " step " << s;
  }
  EXPECT_LT(b.steps, kSeqs * kSteps);
  EXPECT_EQ(b.seated, 0u);
}

// On the CUDA backend columns go through the multi-column kernels: within 1e-4 of each
// sequence's solo run on the same backend.
TEST(Batch, CudaBatchesWithinTolerance) {
  auto path = testing::generated_model("--preset tiny --seed 6 --types q4k-mix");
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  const std::vector<Seq> seqs = {{tokens(3, 1)}, {tokens(2, 2)}, {tokens(4, 3), 1}};
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    auto m = testing::load_with(*path, {{"KESTRUNE_WEIGHTS", "lazy"}});
    ASSERT_TRUE(m);
    m->backend = Backend{make_cuda(device.api(), 1, false, false)};
    const Trace batched = run_batched(*m, seqs, 3), alone = run_alone(*m, seqs, 3);
    for (size_t i = 0; i < seqs.size(); ++i) {
      ASSERT_EQ(batched[i].size(), alone[i].size());
      for (size_t s = 0; s < alone[i].size(); ++s) {
        EXPECT_LT(rel_error(batched[i][s], alone[i][s]), 1e-4) << "sequence " << i << " step " << s;
      }
    }
  }
}

}  // namespace
}  // namespace kestrune
