#include "model/batch.h"

#include <algorithm>
#include <chrono>

#include "backend/backend.h"
#include "model/forward.h"

namespace kestrune {

std::vector<Result<std::vector<float>>> forward_batch(const Model& m, std::span<const BatchItem> items) {
  std::vector<Result<std::vector<float>>> out(items.size(), std::vector<float>());
  Columns xs;
  std::vector<PassPart> parts;
  std::vector<size_t> members;
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].tokens.empty()) {
      out[i] = invalid_input("batch item without tokens");
      continue;
    }
    Columns mine;
    for (uint32_t t : items[i].tokens) {
      auto e = embed(m, t);
      if (!e.ok()) {
        out[i] = std::move(e).error();
        break;
      }
      mine.push_back(std::move(e).value());
    }
    if (!out[i].ok()) continue;
    parts.push_back({items[i].state, mine.size()});
    members.push_back(i);
    for (auto& c : mine) xs.push_back(std::move(c));
  }
  if (parts.empty()) return out;
  auto fail = [&](const Error& e) {
    for (size_t i : members) out[i] = e;
    return std::move(out);
  };

  auto x = upload(m.backend, std::move(xs));
  if (!x.ok()) return fail(x.error());
  if (Status st = run_layers(m, parts, *x); !st.ok()) return fail(st.error());
  for (const PassPart& p : parts) p.state->position += static_cast<uint32_t>(p.columns);
  // The head reads the last column of each sequence.
  std::vector<Activations> lasts;
  size_t first = 0;
  for (const PassPart& p : parts) {
    first += p.columns;
    auto last = slice(m.backend, *x, first - 1, 1);
    if (!last.ok()) return fail(last.error());
    lasts.push_back(std::move(last).value());
  }
  auto joined = parts.size() == 1 ? Result<Activations>(std::move(lasts[0])) : concat(m.backend, lasts);
  if (!joined.ok()) return fail(joined.error());
  auto logits = head_logits(m, *joined);
  if (!logits.ok()) return fail(logits.error());
  for (size_t j = 0; j < members.size(); ++j) out[members[j]] = std::move((*logits)[j]);
  return out;
}

bool batchable(const Model& model) {
  const ModelSwitches& sw = model.switches;
  return !sw.trace && sw.lens.empty() && !sw.alpha && !sw.speculative;
}

BatchSeat::BatchSeat(Batcher& b) : batcher(&b) {
  std::lock_guard<std::mutex> lock(b.mu);
  ++b.seated;
}

BatchSeat& BatchSeat::operator=(BatchSeat&& o) noexcept {
  if (this != &o) {
    leave();
    batcher = o.batcher;
    o.batcher = nullptr;
  }
  return *this;
}

void BatchSeat::leave() {
  if (batcher == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(batcher->mu);
    --batcher->seated;
  }
  // A leader waiting for this seat's feed stops waiting.
  batcher->cv.notify_all();
  batcher = nullptr;
}

namespace {

// The least a leader waits for the feeds of joined sequences that are still sampling.
constexpr auto kGather = std::chrono::milliseconds(2);

// Takes the next step's feeds under the lock: decoding feeds (one token) first in
// arrival order, then prompt chunks within what is left of the budget.
std::vector<Batcher::Feed*> take_step(Batcher& b, std::vector<BatchItem>& items) {
  std::vector<Batcher::Feed*> taken;
  size_t budget = std::max<size_t>(b.limits.step_tokens, 1);
  const size_t most = std::max<size_t>(b.limits.max_batch, 1);
  for (bool decoding : {true, false}) {
    for (Batcher::Feed* f : b.pending) {
      if (taken.size() == most || budget == 0) break;
      if ((f->tokens.size() == 1) != decoding) continue;
      const size_t n = std::min(f->tokens.size(), budget);
      items.push_back({f->state, f->tokens.first(n)});
      taken.push_back(f);
      budget -= n;
    }
  }
  std::erase_if(b.pending, [&](Batcher::Feed* f) { return std::find(taken.begin(), taken.end(), f) != taken.end(); });
  return taken;
}

}  // namespace

Result<std::vector<float>> batched_feed(Batcher& b, DecodeState& state, std::span<const uint32_t> tokens) {
  if (tokens.empty()) return std::vector<float>();
  Batcher::Feed me{&state, tokens};
  std::unique_lock<std::mutex> lock(b.mu);
  b.pending.push_back(&me);
  b.cv.notify_all();
  while (!me.done) {
    if (b.stepping) {
      b.cv.wait(lock);
      continue;
    }
    b.stepping = true;
    const auto deadline =
        std::chrono::steady_clock::now() + std::max<std::chrono::steady_clock::duration>(kGather, b.last_step / 8);
    while (b.pending.size() < std::min(b.seated, b.limits.max_batch) &&
           b.cv.wait_until(lock, deadline) != std::cv_status::timeout) {
    }
    std::vector<BatchItem> items;
    std::vector<Batcher::Feed*> taken = take_step(b, items);
    lock.unlock();
    const auto started = std::chrono::steady_clock::now();
    std::vector<Result<std::vector<float>>> results = forward_batch(*b.model, items);
    const auto took = std::chrono::steady_clock::now() - started;
    lock.lock();
    b.last_step = took;
    // A prompt cut by the budget goes first in the next step.
    for (size_t j = taken.size(); j-- > 0;) {
      Batcher::Feed* f = taken[j];
      const size_t fed = items[j].tokens.size();
      if (results[j].ok() && fed < f->tokens.size()) {
        f->tokens = f->tokens.subspan(fed);
        b.pending.push_front(f);
      } else {
        f->logits = std::move(results[j]);
        f->done = true;
      }
    }
    ++b.steps;
    b.stepping = false;
    b.cv.notify_all();
  }
  return std::move(me.logits);
}

}  // namespace kestrune
