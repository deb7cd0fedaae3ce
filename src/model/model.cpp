#include "model/model.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "common/diag.h"
#include "common/format.h"
#include "quant/types.h"

namespace kestrune {

namespace {

// White_Space code points as UTF-8, for trimming probe ids.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    " ",      "\t",     "\n",     "\v",     "\f",     "\r",     "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

std::string_view trim(std::string_view s) {
  for (bool moved = true; moved;) {
    moved = false;
    for (auto ws : kWhiteSpace) {
      if (s.starts_with(ws)) { s.remove_prefix(ws.size()); moved = true; }
      if (s.ends_with(ws)) { s.remove_suffix(ws.size()); moved = true; }
    }
  }
  return s;
}

// Decimal u32 with an optional leading "+"; absent for anything else.
std::optional<uint32_t> parse_u32(std::string_view s) {
  if (s.starts_with('+')) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

uint64_t head_row_count(const ModelFile& file, const std::string& name) {
  const TensorInfo* t = find_tensor(file.gguf, name);
  if (!t) return 0;
  uint64_t rows = 1;
  for (size_t i = 1; i < t->dims.size(); ++i) rows *= t->dims[i];
  return rows;
}

const char* on_off(bool v) { return v ? "on" : "off"; }

// Why speculation stays off although KESTRUNE_MTP=1 asks for it: the first unmet condition.
const char* mtp_blocker(const Model& m, const RuntimeOptions& options) {
  if (!m.has_draft()) return "the file has no draft head";
  if (!m.switches.lazy) return "it needs streamed weights (KESTRUNE_WEIGHTS=eager is set)";
  if (options.trace) return "KESTRUNE_TRACE is set";
  if (options.mtp_alpha) return "KESTRUNE_MTP_ALPHA is set";
  return "KESTRUNE_LENS is set";
}

}  // namespace

std::vector<uint32_t> parse_lens(const std::string& value) {
  std::vector<uint32_t> ids;
  std::string_view rest = value;
  while (true) {
    const size_t comma = rest.find(',');
    if (auto id = parse_u32(trim(rest.substr(0, comma)))) ids.push_back(*id);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return ids;
}

ThreadChoice choose_threads(const LoadOptions& load, const RuntimeOptions& options) {
  if (load.threads && *load.threads > 0) return {std::min(*load.threads, kMaxThreads), "requested"};
  if (options.threads) return {*options.threads, "KESTRUNE_THREADS"};
  return {host_cores(), "cores available"};
}

Result<std::unique_ptr<Model>> load_model(std::unique_ptr<ModelFile> file, const LoadOptions& load) {
  const RuntimeOptions options = read_runtime_options();
  diag(ignored_options_line(options));
  auto m = std::make_unique<Model>();
  m->file = std::move(file);
  const GgufFile& gguf = m->file->gguf;
  KS_CHECK(arch_check(gguf));
  KS_TRY(m->config, config_from_gguf(gguf));
  m->attn = attention_geometry(m->config);
  m->gdn = gdn_geometry(m->config);

  for (const TensorInfo& t : gguf.tensors) {
    if (auto rs = row_size(t); !rs.ok()) {
      return invalid_data(format("tensor {}: {}; supported types: F32, F16, Q8_0, Q4_K, Q5_K, Q6_K", t.name,
                                 rs.error().message));
    }
  }
  KS_TRY(LoadedWeights w, load_weights(*m->file, choose_weights_mode(options)));
  ModelSwitches& sw = m->switches;
  sw.lazy = w.mode == WeightsMode::Lazy;
  m->weights.mode = w.mode;
  m->weights.cache = std::move(w.cache);
  m->weights.head_name = w.head.tensor_name;
  m->weights.head_rows = head_row_count(*m->file, m->weights.head_name);

  sw.trace = options.trace;
  diag(format("# trace: {}\n", on_off(sw.trace)));
  if (options.lens) sw.lens = parse_lens(*options.lens);
  diag(format("# lens: {} probe id(s)\n", sw.lens.size()));

  // The forward pass streams through the backend for lazy weights; the trace needs the
  // cached route.
  bind_model_weights(m->weights, *m->file, m->config, sw.lazy && !sw.trace ? Route::Streamed : Route::Cached);
  if (m->has_draft()) diag(format("# mtp: draft head present at blk.{}\n", m->weights.draft_layer));

  sw.alpha = options.mtp_alpha;
  if (sw.alpha && !m->has_draft()) diag("# mtp: KESTRUNE_MTP_ALPHA set but no nextn tensors -- instrument idle\n");
  diag(format("# mtp alpha instrument: {}\n", on_off(sw.alpha)));

  const ThreadChoice threads = choose_threads(load, options);
  diag(format("# threads: {} ({})\n", threads.count, threads.source));
  sw.speculative = options.mtp == "1" && !sw.trace && !sw.alpha && m->has_draft() && sw.lazy && sw.lens.empty();
  if (options.mtp == "1" && !sw.speculative) diag(format("# mtp: KESTRUNE_MTP=1 has no effect: {}\n", mtp_blocker(*m, options)));
  sw.spec_depth1 = options.mtp_depth == "1";
  diag(format("# mtp speculative: {}\n", sw.speculative ? "armed" : "off"));

  KS_TRY(m->backend, select_backend(options, threads.count));
  if (wants_packed_weights(m->backend, options)) pack_model_weights(m->weights, m->backend, *m->file);
  KS_CHECK(check_geometry(m->config, *m->file, state_limit_bytes(options.max_state_bytes)));
  return m;
}

Result<std::unique_ptr<Model>> load_model(const std::string& path, const LoadOptions& load) {
  KS_TRY(std::unique_ptr<ModelFile> file, open_model_file(path));
  return load_model(std::move(file), load);
}

Result<Matrix> head_matrix(const Model& m) {
  if (wants_file_blocks(m.backend) && m.weights.head_view.ok()) return Matrix{*m.weights.head_view};
  KS_TRY(const Matrix* head, bound(m.weights.head));
  return *head;
}

DecodeState new_state(const Model& model) {
  DecodeState s;
  s.layers.reserve(model.config.layer_kinds.size());
  for (LayerKind kind : model.config.layer_kinds) {
    LayerState ls;
    ls.nonce = next_nonce();
    if (kind == LayerKind::Attention) {
      ls.data = KvCache{};
    } else {
      ls.data = new_gdn_state(model.gdn);
    }
    s.layers.push_back(std::move(ls));
  }
  if (model.has_draft()) {
    s.draft_cache = KvCache{};
    s.nonce = next_nonce();
  }
  std::vector<uint64_t> nonces;
  for (const LayerState& ls : s.layers) nonces.push_back(ls.nonce);
  if (s.nonce != 0) nonces.push_back(s.nonce);
  s.backend_lease = hold_layers(model.backend, std::move(nonces));
  return s;
}

}  // namespace kestrune
