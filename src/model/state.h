// Per-sequence decode state: one LayerState per main layer plus the position and the
// draft-head bookkeeping.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "layers/state.h"

namespace kestrune {

struct DecodeState {
  std::vector<LayerState> layers;  // schedule order
  uint32_t position = 0;           // pos of the next token
  // Residual stream after the last layer of the previous token, before the final norm.
  std::vector<float> hidden;
  std::optional<KvCache> draft_cache;  // present exactly when the model has a draft head
  uint32_t draft_position = 0;
  // Draft-agreement instrument.
  bool alpha_pending = false;
  uint32_t alpha_draft = 0;
  uint64_t alpha_hits = 0;
  uint64_t alpha_total = 0;
  uint64_t nonce = 0;  // drawn only with a draft head
  // The backend's data of these layers (device caches and states) lives while this does.
  std::shared_ptr<const void> backend_lease;
};

}  // namespace kestrune
