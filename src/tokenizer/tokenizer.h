// Byte-level BPE over the vocabulary and merge list of a model file. Text is split into
// pieces (pretokenize.h), each piece's bytes become mapped characters (byte_mapping.h),
// adjacent symbols are merged by rank, and the merged symbols are looked up as tokens.
// No token is special: marker text such as "<|im_end|>" encodes as ordinary characters.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "gguf/gguf.h"

namespace kestrune {

// Immutable after construction; safe for concurrent use from any number of threads.
//
// Merging works on symbol ids rather than strings: a symbol is a mapped string that can
// occur while merging (one mapped byte, a token, either side of a merge line, or a merge
// result). Symbols 0..255 are the single mapped bytes, so a piece's bytes are its
// initial symbols.
struct Tokenizer {
  // Token i's bytes (mapped characters reversed) are
  // token_data[token_offsets[i], token_offsets[i + 1]).
  std::string token_data;
  std::vector<size_t> token_offsets;

  // Symbol s is the mapped string sym_data[sym_offsets[s], sym_offsets[s + 1]);
  // sym_token[s] is the last token id with that string, or kNoToken.
  std::string sym_data;
  std::vector<size_t> sym_offsets;
  std::vector<uint32_t> sym_token;

  // Open-addressed table from (left, right) symbol pair to the merge's rank and result.
  struct Merge {
    uint64_t key;  // left << 32 | right, or kEmptyKey
    uint32_t rank;
    uint32_t result;
  };
  std::vector<Merge> merges;
  // False when the file carried no merge lines: encoding is then unavailable.
  bool has_merges = false;

  static constexpr uint32_t kNoToken = UINT32_MAX;
  static constexpr uint64_t kEmptyKey = UINT64_MAX;
};

// Builds the tokenizer from the metadata keys tokenizer.ggml.model (must be "gpt2"),
// tokenizer.ggml.tokens and tokenizer.ggml.merges (optional).
Result<Tokenizer> tokenizer_from_gguf(const GgufFile& file);

// Builds the tokenizer from token strings in id order and merge lines ("left right") in
// rank order. Later duplicates win, for tokens and for merges.
Result<Tokenizer> tokenizer_from_lists(std::span<const std::string> tokens,
                                       std::span<const std::string> merges);

// Token ids of `text` (UTF-8).
Result<std::vector<uint32_t>> encode(const Tokenizer& tok, std::string_view text);

// The bytes of token `id`; the view lives as long as `tok`.
Result<std::string_view> token_bytes(const Tokenizer& tok, uint32_t id);

// The concatenated bytes of `ids`, not necessarily valid UTF-8.
Result<std::string> decode(const Tokenizer& tok, std::span<const uint32_t> ids);

size_t vocab_size(const Tokenizer& tok);

// The lowest id whose bytes equal `bytes` (how callers find marker tokens).
std::optional<uint32_t> find_token_id(const Tokenizer& tok, std::string_view bytes);

}  // namespace kestrune
