// Marker tokens in rendered chat text and the grammar mask before sampling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "generation/generate.h"
#include "sampler/sampler.h"
#include "tokenizer/byte_mapping.h"
#include "tokenizer/special.h"

namespace kestrune {
namespace {

// The 256 byte tokens, one merge ("a" "b" -> id 256), then the markers.
struct Vocab {
  Tokenizer tok;
  GgufFile file;
};

Vocab make_vocab(bool typed) {
  std::vector<std::string> tokens;
  for (int b = 0; b < 256; ++b) {
    std::string s;
    uint32_t cp = byte_to_char(static_cast<uint8_t>(b));
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    tokens.push_back(s);
  }
  tokens.push_back("ab");                // 256
  tokens.push_back("<|im_start|>");      // 257 control
  tokens.push_back("<think>");           // 258 user-defined
  tokens.push_back("<|im_start|>x");     // 259 longer, overlapping literal (control)
  tokens.push_back("<|plain|>");         // 260 normal when typed
  std::vector<std::string> merges{"a b"};
  Vocab v{*tokenizer_from_lists(tokens, merges), {}};
  if (typed) {
    meta::ArrInt types;
    types.v.assign(256, 1);
    types.v.insert(types.v.end(), {1, 3, 4, 3, 1});
    v.file.metadata.push_back({"tokenizer.ggml.token_type", types});
  }
  return v;
}

TEST(ChatMarkers, SpecialLiteralsEncodeAsTheirIds) {
  struct Case {
    bool typed;
    std::string text;
    std::vector<uint32_t> want;
  };
  const uint32_t a = 'a', b = 'b', lt = '<';
  const std::vector<Case> cases = {
      {true, "ab<|im_start|>ab", {256, 257, 256}},
      {true, "<|im_start|>x<think>", {259, 258}},
      {true, "<think", {lt, 't', 'h', 'i', 'n', 'k'}},
      {true, "<|plain|>", {lt, '|', 'p', 'l', 'a', 'i', 'n', '|', '>'}},
      {false, "<|plain|>a<think>", {260, a, lt, 't', 'h', 'i', 'n', 'k', '>'}},
      {true, "", {}},
      {true, "b<|im_start|><|im_start|>", {b, 257, 257}},
  };
  for (const Case& c : cases) {
    Vocab v = make_vocab(c.typed);
    SpecialTokens specials = special_tokens(v.file, v.tok);
    auto ids = encode_with_specials(v.tok, specials, c.text);
    ASSERT_TRUE(ids.ok()) << c.text;
    EXPECT_EQ(*ids, c.want) << c.text;
  }
  Vocab typed = make_vocab(true);
  EXPECT_EQ(special_tokens(typed.file, typed.tok).control, (std::vector<uint32_t>{257, 259}));
}

TokenConstraint allow_only(std::vector<uint32_t> allowed, std::vector<uint32_t>& seen) {
  TokenConstraint c;
  c.fill = [allowed](std::span<uint32_t> words) -> Status {
    for (uint32_t id : allowed) words[id / 32] |= 1u << (id % 32);
    return Ok{};
  };
  c.accept = [&seen](uint32_t token) -> Status {
    seen.push_back(token);
    return Ok{};
  };
  return c;
}

TEST(ChatMarkers, MaskRestrictsGreedyAndSampledChoices) {
  std::vector<float> logits(70);
  for (size_t i = 0; i < logits.size(); ++i) logits[i] = static_cast<float>(i % 40);
  struct Case {
    float temperature;
    std::vector<uint32_t> allowed;
  };
  const std::vector<Case> cases = {{0.0f, {3, 33, 65}}, {0.0f, {64}}, {0.9f, {1, 2, 40, 69}}, {1.5f, {0}}};
  for (const Case& c : cases) {
    for (uint64_t seed = 0; seed < 8; ++seed) {
      std::vector<uint32_t> seen;
      TokenConstraint constraint = allow_only(c.allowed, seen);
      Sampler s = make_sampler(c.temperature, 0, 1.0f, seed);
      auto token = sample_constrained(s, logits, constraint);
      ASSERT_TRUE(token.ok());
      EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), *token), c.allowed.end());
      EXPECT_EQ(seen, std::vector<uint32_t>{*token});
      if (c.temperature == 0.0f) EXPECT_EQ(*token, c.allowed == std::vector<uint32_t>{64} ? 64u : 33u);
    }
  }
  std::vector<uint32_t> seen;
  TokenConstraint none = allow_only({}, seen);
  Sampler s = make_sampler(0.0f, 0, 1.0f, 1);
  auto empty = sample_constrained(s, logits, none);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message, "constraint: no token allowed");
}

}  // namespace
}  // namespace kestrune
