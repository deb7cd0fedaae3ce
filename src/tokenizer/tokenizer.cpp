#include "tokenizer/tokenizer.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "common/format.h"
#include "common/utf8.h"
#include "tokenizer/byte_mapping.h"
#include "tokenizer/pretokenize.h"

namespace kestrune {

namespace {

constexpr uint32_t kNoRank = UINT32_MAX;
// Pieces longer than this (in bytes) merge with a heap instead of repeated scans.
constexpr size_t kScanLimit = 32;

uint64_t mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

uint64_t hash_bytes(std::string_view s) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  uint64_t w = 0;
  std::memcpy(&w, s.data() + i, s.size() - i);
  return mix64(h ^ w);
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

uint32_t decode_utf8(std::string_view s, size_t i, size_t len) {
  auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(s[i + k])); };
  switch (len) {
    case 1: return b(0);
    case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default: return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

// Mapped characters become their bytes; any other character keeps its UTF-8 (bytes
// that are not UTF-8 at all, possible only for lists built in memory, are kept as is).
void append_token_bytes(std::string& out, std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<uint8_t>(s[i]);
    if (c >= 0x21 && c <= 0x7E) {  // printable ASCII stands for itself
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    size_t len = utf8_sequence_length(s, i);
    if (len == 0) {
      out += s[i++];
      continue;
    }
    auto byte = char_to_byte(decode_utf8(s, i, len));
    if (byte) {
      out += static_cast<char>(*byte);
    } else {
      out.append(s.substr(i, len));
    }
    i += len;
  }
}

std::string_view symbol_text(const Tokenizer& tok, uint32_t sym) {
  return std::string_view(tok.sym_data).substr(tok.sym_offsets[sym], tok.sym_offsets[sym + 1] - tok.sym_offsets[sym]);
}

// Open-addressed string -> symbol id table, needed only while building. Each slot keeps
// part of the hash so that most probes settle without touching the strings.
struct SymbolInterner {
  struct Slot {
    uint32_t id_plus_one;  // 0 marks an empty slot
    uint32_t tag;          // high half of the hash
  };
  Tokenizer& tok;
  std::vector<Slot> slots;
  std::vector<uint64_t> hashes;  // by symbol id
  size_t mask = 0;

  SymbolInterner(Tokenizer& t, size_t expected) : tok(t) {
    size_t capacity = 1024;
    while (capacity < 2 * expected) capacity *= 2;
    slots.assign(capacity, Slot{0, 0});
    mask = capacity - 1;
    hashes.reserve(expected);
  }

  uint32_t intern(std::string_view s) {
    if ((hashes.size() + 1) * 2 > slots.size()) grow();
    const uint64_t h = hash_bytes(s);
    const auto tag = static_cast<uint32_t>(h >> 32);
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot slot = slots[i];
      if (slot.id_plus_one == 0) {
        auto id = static_cast<uint32_t>(hashes.size());
        slots[i] = {id + 1, tag};
        hashes.push_back(h);
        tok.sym_data.append(s);
        tok.sym_offsets.push_back(tok.sym_data.size());
        tok.sym_token.push_back(Tokenizer::kNoToken);
        return id;
      }
      if (slot.tag == tag && symbol_text(tok, slot.id_plus_one - 1) == s) return slot.id_plus_one - 1;
    }
  }

  void grow() {
    std::vector<Slot> bigger(slots.size() * 2, Slot{0, 0});
    mask = bigger.size() - 1;
    for (const Slot& slot : slots) {
      if (slot.id_plus_one == 0) continue;
      size_t i = hashes[slot.id_plus_one - 1] & mask;
      while (bigger[i].id_plus_one != 0) i = (i + 1) & mask;
      bigger[i] = slot;
    }
    slots = std::move(bigger);
  }
};

uint64_t pair_key(uint32_t left, uint32_t right) { return (uint64_t{left} << 32) | right; }

const Tokenizer::Merge* find_merge(const Tokenizer& tok, uint32_t left, uint32_t right) {
  const uint64_t key = pair_key(left, right);
  const size_t mask = tok.merges.size() - 1;
  for (size_t i = mix64(key) & mask;; i = (i + 1) & mask) {
    const Tokenizer::Merge& m = tok.merges[i];
    if (m.key == key) return &m;
    if (m.key == Tokenizer::kEmptyKey) return nullptr;
  }
}

void put_merge(Tokenizer& tok, uint32_t left, uint32_t right, uint32_t rank, uint32_t result) {
  const uint64_t key = pair_key(left, right);
  const size_t mask = tok.merges.size() - 1;
  for (size_t i = mix64(key) & mask;; i = (i + 1) & mask) {
    Tokenizer::Merge& m = tok.merges[i];
    if (m.key == key || m.key == Tokenizer::kEmptyKey) {
      m = {key, rank, result};  // a repeated line keeps its last rank
      return;
    }
  }
}

// Per-call scratch space, reused across the pieces of one text.
struct Workspace {
  std::vector<uint32_t> sym, rank, result, next, prev;
  std::vector<uint64_t> heap;
};

// Rank and result of the pair (left, right) into rank[k], result[k].
inline void set_pair(const Tokenizer& tok, Workspace& ws, size_t k, uint32_t left, uint32_t right) {
  const Tokenizer::Merge* m = find_merge(tok, left, right);
  ws.rank[k] = m ? m->rank : kNoRank;
  ws.result[k] = m ? m->result : 0;
}

// Short pieces: scan the pair ranks for the lowest (leftmost on ties), merge, repeat.
void merge_by_scan(const Tokenizer& tok, Workspace& ws) {
  auto& sym = ws.sym;
  size_t n = sym.size();
  ws.rank.resize(n);
  ws.result.resize(n);
  for (size_t k = 0; k + 1 < n; ++k) set_pair(tok, ws, k, sym[k], sym[k + 1]);
  while (n > 1) {
    size_t best = 0;
    uint32_t best_rank = kNoRank;
    for (size_t k = 0; k + 1 < n; ++k) {
      if (ws.rank[k] < best_rank) {
        best_rank = ws.rank[k];
        best = k;
      }
    }
    if (best_rank == kNoRank) break;
    sym[best] = ws.result[best];
    sym.erase(sym.begin() + static_cast<ptrdiff_t>(best) + 1);
    ws.rank.erase(ws.rank.begin() + static_cast<ptrdiff_t>(best) + 1);
    ws.result.erase(ws.result.begin() + static_cast<ptrdiff_t>(best) + 1);
    --n;
    if (best > 0) set_pair(tok, ws, best - 1, sym[best - 1], sym[best]);
    if (best + 1 < n) set_pair(tok, ws, best, sym[best], sym[best + 1]);
  }
}

// Long pieces: a linked list of symbols and a min-heap of (rank, position). Positions
// keep their original order, so the heap's minimum is the lowest rank, leftmost on ties,
// exactly the pair a full scan would choose. rank[k] always holds the current pair at k;
// the text a pair at k spans only grows, so k never sees the same pair (rank) twice and an
// entry whose rank differs from rank[k] is stale.
void merge_by_heap(const Tokenizer& tok, Workspace& ws) {
  auto& sym = ws.sym;
  const auto n = static_cast<uint32_t>(sym.size());
  const uint32_t end = n;
  ws.rank.assign(n, kNoRank);
  ws.result.resize(n);
  ws.next.resize(n);
  ws.prev.resize(n);
  ws.heap.clear();
  auto update = [&](uint32_t k) {
    if (ws.next[k] == end) {
      ws.rank[k] = kNoRank;
      return;
    }
    set_pair(tok, ws, k, sym[k], sym[ws.next[k]]);
    if (ws.rank[k] != kNoRank) {
      ws.heap.push_back((uint64_t{ws.rank[k]} << 32) | k);
      std::push_heap(ws.heap.begin(), ws.heap.end(), std::greater<>());
    }
  };
  for (uint32_t k = 0; k < n; ++k) {
    ws.next[k] = k + 1;
    ws.prev[k] = k == 0 ? end : k - 1;
  }
  for (uint32_t k = 0; k + 1 < n; ++k) update(k);
  while (!ws.heap.empty()) {
    std::pop_heap(ws.heap.begin(), ws.heap.end(), std::greater<>());
    const uint64_t top = ws.heap.back();
    ws.heap.pop_back();
    const auto k = static_cast<uint32_t>(top & 0xFFFFFFFFu);
    if (ws.rank[k] != static_cast<uint32_t>(top >> 32)) continue;  // stale
    const uint32_t gone = ws.next[k];
    sym[k] = ws.result[k];
    ws.rank[gone] = kNoRank;
    ws.next[k] = ws.next[gone];
    if (ws.next[k] != end) ws.prev[ws.next[k]] = k;
    if (ws.prev[k] != end) update(ws.prev[k]);
    update(k);
  }
  size_t out = 0;
  for (uint32_t k = 0; k != end; k = ws.next[k]) sym[out++] = sym[k];  // node 0 never dies
  sym.resize(out);
}

Status emit(const Tokenizer& tok, uint32_t sym, std::vector<uint32_t>& ids) {
  uint32_t id = tok.sym_token[sym];
  if (id == Tokenizer::kNoToken) {
    return invalid_data(format("no vocab entry for merged part {}", quoted(symbol_text(tok, sym))));
  }
  ids.push_back(id);
  return {};
}

Status encode_piece(const Tokenizer& tok, std::string_view piece, Workspace& ws, std::vector<uint32_t>& ids) {
  if (piece.size() == 1) return emit(tok, static_cast<uint8_t>(piece[0]), ids);
  ws.sym.resize(piece.size());
  for (size_t k = 0; k < piece.size(); ++k) ws.sym[k] = static_cast<uint8_t>(piece[k]);
  if (piece.size() <= kScanLimit) {
    merge_by_scan(tok, ws);
  } else {
    merge_by_heap(tok, ws);
  }
  for (uint32_t sym : ws.sym) KS_CHECK(emit(tok, sym, ids));
  return {};
}

}  // namespace

Result<Tokenizer> tokenizer_from_lists(std::span<const std::string> tokens, std::span<const std::string> merges) {
  if (tokens.empty()) return invalid_data("empty vocab");
  Tokenizer tok;
  // Merge results are mostly tokens already: expect about one symbol per token.
  const size_t expected_symbols = 256 + tokens.size() + merges.size() / 8;
  SymbolInterner interner(tok, expected_symbols);
  tok.sym_offsets.reserve(expected_symbols + 1);
  tok.sym_token.reserve(expected_symbols);
  tok.sym_offsets.push_back(0);

  // Symbols 0..255: the mapped character of each byte value.
  std::string text;
  for (unsigned b = 0; b < 256; ++b) {
    text.clear();
    append_utf8(text, byte_to_char(static_cast<uint8_t>(b)));
    interner.intern(text);
  }

  tok.token_offsets.reserve(tokens.size() + 1);
  tok.token_offsets.push_back(0);
  for (size_t id = 0; id < tokens.size(); ++id) {
    tok.sym_token[interner.intern(tokens[id])] = static_cast<uint32_t>(id);
    append_token_bytes(tok.token_data, tokens[id]);
    tok.token_offsets.push_back(tok.token_data.size());
  }

  // Symbols never contain a blank (0x20 maps to U+0120), so only a line with exactly
  // one blank between two nonempty sides can ever match a pair; the others are inert.
  tok.has_merges = !merges.empty();
  size_t capacity = 2;
  while (capacity < 2 * merges.size()) capacity *= 2;
  tok.merges.assign(capacity, Tokenizer::Merge{Tokenizer::kEmptyKey, 0, 0});
  for (size_t rank = 0; rank < merges.size(); ++rank) {
    std::string_view line = merges[rank];
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank == 0 || blank + 1 == line.size() ||
        line.find(' ', blank + 1) != std::string_view::npos) {
      continue;
    }
    uint32_t left = interner.intern(line.substr(0, blank));
    uint32_t right = interner.intern(line.substr(blank + 1));
    text.assign(line.substr(0, blank));
    text.append(line.substr(blank + 1));
    uint32_t result = interner.intern(text);
    put_merge(tok, left, right, static_cast<uint32_t>(rank), result);
  }
  return tok;
}

Result<Tokenizer> tokenizer_from_gguf(const GgufFile& file) {
  KS_TRY(std::string model, meta_str(file, "tokenizer.ggml.model"));
  if (model != "gpt2") {
    return invalid_data(format("tokenizer.ggml.model = {}; only byte-level BPE (gpt2) supported", quoted(model)));
  }
  KS_TRY(const std::vector<std::string>* tokens, meta_str_array(file, "tokenizer.ggml.tokens"));
  // Merges of any other kind, or none at all, leave encoding unavailable but decoding works.
  std::span<const std::string> merges;
  if (const MetaValue* v = meta_find(file, "tokenizer.ggml.merges")) {
    if (const auto* lines = std::get_if<meta::ArrStr>(v)) merges = lines->v;
  }
  return tokenizer_from_lists(*tokens, merges);
}

Result<std::vector<uint32_t>> encode(const Tokenizer& tok, std::string_view text) {
  if (!tok.has_merges) return invalid_data("encode unavailable: GGUF carries no merges");
  if (auto err = utf8_error(text)) return invalid_data(format("encode: {}", *err));
  std::vector<uint32_t> ids;
  ids.reserve(text.size() / 3 + 1);
  Workspace ws;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = piece_end(text, pos);
    KS_CHECK(encode_piece(tok, text.substr(pos, end - pos), ws, ids));
    pos = end;
  }
  return ids;
}

Result<std::string_view> token_bytes(const Tokenizer& tok, uint32_t id) {
  if (id >= vocab_size(tok)) return invalid_data(format("token id {} out of range ({})", id, vocab_size(tok)));
  return std::string_view(tok.token_data).substr(tok.token_offsets[id], tok.token_offsets[id + 1] - tok.token_offsets[id]);
}

Result<std::string> decode(const Tokenizer& tok, std::span<const uint32_t> ids) {
  std::string out;
  for (uint32_t id : ids) {
    KS_TRY(std::string_view bytes, token_bytes(tok, id));
    out.append(bytes);
  }
  return out;
}

size_t vocab_size(const Tokenizer& tok) { return tok.token_offsets.empty() ? 0 : tok.token_offsets.size() - 1; }

std::optional<uint32_t> find_token_id(const Tokenizer& tok, std::string_view bytes) {
  const size_t n = vocab_size(tok);
  for (size_t id = 0; id < n; ++id) {
    const size_t begin = tok.token_offsets[id], end = tok.token_offsets[id + 1];
    if (end - begin == bytes.size() && std::memcmp(tok.token_data.data() + begin, bytes.data(), bytes.size()) == 0) {
      return static_cast<uint32_t>(id);
    }
  }
  return std::nullopt;
}

}  // namespace kestrune
