// Many sequences in one pass over the weights. A batched step gathers one column per
// decoding sequence and prompt chunks of sequences still reading their prompt, runs the
// layers once over all of them (products over every column; attention and the GDN
// recurrence per sequence) and hands each sequence the logits after its last token.
// Every column is computed on its own in a fixed order, so each sequence's logits are
// the bits it would get alone (on the CPU, exact and int8 alike).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

#include "common/error.h"
#include "model/model.h"
#include "model/state.h"

namespace kestrune {

// One sequence's tokens of a pass, fed at its state's position.
struct BatchItem {
  DecodeState* state = nullptr;
  std::span<const uint32_t> tokens;
};

// Runs every item in one pass and advances each state by its tokens. Each item gets the
// logits after its last token, or its own error: an item whose tokens have no
// embedding leaves the pass before it runs, and its state as it was.
std::vector<Result<std::vector<float>>> forward_batch(const Model& model, std::span<const BatchItem> items);

struct BatchLimits {
  size_t max_batch = 16;    // sequences in one step
  size_t step_tokens = 64;  // columns in one step, prompt chunks included
};

// Steps the sequences of concurrent callers together. A caller joins for the life of a
// generation; each feed waits for a step that carries it. The first caller to find no
// step running leads the next one: it waits until every joined sequence has its feed in
// (at most an eighth of the last step's time, and at least 2 ms: a sequence that misses
// a step would otherwise fall into a cohort of its own), takes them (decoding sequences first, then prompt chunks within the step's
// budget) and runs one pass. A caller that stops feeding (finished, cancelled) leaves at
// once by dropping its seat.
struct Batcher {
  const Model* model = nullptr;
  BatchLimits limits;

  struct Feed {
    DecodeState* state = nullptr;
    std::span<const uint32_t> tokens;  // what is left to feed
    Result<std::vector<float>> logits = std::vector<float>();
    bool done = false;
  };
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Feed*> pending;
  size_t seated = 0;
  bool stepping = false;
  uint64_t steps = 0;  // passes run, for the tests and the benchmark
  std::chrono::steady_clock::duration last_step{};
};

// A joined sequence; the step leader waits for the feeds of every seat.
struct BatchSeat {
  Batcher* batcher = nullptr;
  BatchSeat() = default;
  explicit BatchSeat(Batcher& b);
  BatchSeat(BatchSeat&& o) noexcept : batcher(o.batcher) { o.batcher = nullptr; }
  BatchSeat& operator=(BatchSeat&& o) noexcept;
  BatchSeat(const BatchSeat&) = delete;
  BatchSeat& operator=(const BatchSeat&) = delete;
  ~BatchSeat() { leave(); }
  void leave();
};

// Whether the model's switches let sequences share steps: the per-layer lines, the
// draft-agreement instrument and the speculative regime each need a pass of their own.
bool batchable(const Model& model);

// Feeds `tokens` for `state` through shared steps and returns the logits after the last
// one; a long run goes through several steps, at most the step budget at a time.
Result<std::vector<float>> batched_feed(Batcher& batcher, DecodeState& state, std::span<const uint32_t> tokens);

}  // namespace kestrune
