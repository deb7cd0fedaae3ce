// Finished decode states kept for reuse: a request whose tokens extend a kept state's
// tokens feeds only the new ones. Requests are matched on their own token ids, never on
// ids a state happened to generate, so an answer never depends on what is cached. A state is taken out while a generation uses it, so
// two generations never share one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "model/state.h"

namespace kestrune {

struct CachedState {
  DecodeState state;
  std::vector<uint32_t> tokens;  // every id the state has consumed, in order
  uint64_t bytes = 0;
  uint64_t last_use = 0;
};

struct StateCacheLimits {
  size_t max_states = 4;
  uint64_t max_bytes = uint64_t{1} << 30;
};

struct StateCache {
  StateCacheLimits limits;
  std::mutex mutex;
  std::vector<CachedState> entries;
  uint64_t clock = 0;
};

// Host bytes held by a decode state and its token list.
uint64_t state_bytes(const DecodeState& state, size_t tokens);

// Takes out the entry with the longest token list that is a proper prefix of `tokens`.
std::optional<CachedState> checkout_state(StateCache& cache, std::span<const uint32_t> tokens);

// Keeps `entry` (replacing one with the same tokens), then drops the least recently
// used entries until the count and byte limits hold.
void checkin_state(StateCache& cache, CachedState entry);

}  // namespace kestrune
