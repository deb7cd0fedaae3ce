// Marker tokens that rendered chat text spells out ("<|im_start|>", "<think>", ...):
// they stand for their own id instead of going through the BPE encoder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "gguf/gguf.h"
#include "tokenizer/tokenizer.h"

namespace kestrune {

struct SpecialTokens {
  std::unordered_map<std::string, uint32_t> ids;  // literal -> id
  std::vector<size_t> lengths;                    // distinct literal lengths, longest first
  std::vector<bool> first_byte = std::vector<bool>(256, false);
  std::vector<uint32_t> control;  // ids of control tokens, in id order
};

// Tokens typed control (3) or user-defined (4) in tokenizer.ggml.token_type; without
// that array, the tokens spelled "<|...|>". The lowest id wins for a repeated literal.
SpecialTokens special_tokens(const GgufFile& file, const Tokenizer& tok);

// Token ids of `text`, each special literal (longest match first) as its own id and the
// text between them through the ordinary encoder.
Result<std::vector<uint32_t>> encode_with_specials(const Tokenizer& tok, const SpecialTokens& specials,
                                                   std::string_view text);

}  // namespace kestrune
