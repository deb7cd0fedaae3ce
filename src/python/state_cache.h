// Finished decode states kept for reuse: a request whose tokens extend a kept state's
// tokens feeds only the new ones. A state is taken out while a generation uses it, so
// two generations never share one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/state.h"

namespace kestrune {

// A generated reply inside a state's tokens, tokens[start..end), with its text as the
// caller saw it: a conversation that quotes the reply back maps to the ids actually fed,
// which re-encoding the text need not reproduce.
struct ReplyRecord {
  size_t start = 0;
  size_t end = 0;
  std::string text;
};

struct CachedState {
  DecodeState state;
  std::vector<uint32_t> tokens;  // every id the state has consumed, in order
  std::vector<ReplyRecord> replies;
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

// The ids of a kept reply that followed exactly `prefix` and reads exactly `text`.
std::optional<std::vector<uint32_t>> recorded_reply(StateCache& cache, std::span<const uint32_t> prefix,
                                                    std::string_view text);

}  // namespace kestrune
