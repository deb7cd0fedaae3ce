#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "gguf/gguf.h"
#include "tokenizer/byte_mapping.h"
#include "tokenizer/tokenizer.h"
#include "tokenizer_support.h"

namespace kestrune {
namespace {

using testing::utf8_of;
using Strings = std::vector<std::string>;

// The 256 mapped byte symbols in byte order, then `extra`.
Strings byte_tokens(const Strings& extra = {}) {
  Strings t;
  for (unsigned b = 0; b < 256; ++b) t.push_back(utf8_of(byte_to_char(static_cast<uint8_t>(b))));
  t.insert(t.end(), extra.begin(), extra.end());
  return t;
}

Tokenizer make(const Strings& tokens, const Strings& merges) {
  auto tok = tokenizer_from_lists(tokens, merges);
  EXPECT_TRUE(tok.ok()) << tok.error().message;
  return std::move(tok).value();
}

// Token strings of the ids `text` encodes to.
Strings encode_strings(const Tokenizer& tok, const Strings& tokens, std::string_view text) {
  auto ids = encode(tok, text);
  EXPECT_TRUE(ids.ok()) << ids.error().message;
  Strings out;
  if (ids.ok()) {
    for (uint32_t id : *ids) out.push_back(tokens.at(id));
  }
  return out;
}

template <class T>
void expect_error(const Result<T>& r, const std::string& message) {
  ASSERT_FALSE(r.ok()) << "expected: " << message;
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidData);
  EXPECT_EQ(r.error().message, message);
}

TEST(ByteMapping, GptTwoTable) {
  struct Case {
    uint8_t byte;
    uint32_t cp;
  };
  const Case cases[] = {{0x00, 0x100}, {0x0A, 0x10A}, {0x20, 0x120}, {0x21, 0x21}, {0x7E, 0x7E},
                        {0x7F, 0x121}, {0xA0, 0x142}, {0xA1, 0xA1}, {0xAC, 0xAC}, {0xAD, 0x143},
                        {0xAE, 0xAE}, {0xFF, 0xFF}};
  for (const auto& c : cases) {
    EXPECT_EQ(byte_to_char(c.byte), c.cp) << int{c.byte};
    EXPECT_EQ(char_to_byte(c.cp), c.byte) << int{c.byte};
  }
  std::set<uint32_t> seen;
  for (unsigned b = 0; b < 256; ++b) {
    uint32_t cp = byte_to_char(static_cast<uint8_t>(b));
    EXPECT_TRUE(seen.insert(cp).second);
    EXPECT_EQ(char_to_byte(cp), b);
  }
  for (uint32_t cp : {0x20u, 0x0Au, 0x7Fu, 0xADu, 0x144u, 0x4E2Du}) EXPECT_FALSE(char_to_byte(cp)) << cp;
}

const Strings kHelloTokens = byte_tokens({"He", "ll", "Hell", "Hello", "Ġw", "or", "Ġwor", "ld", "Ġworld"});
const Strings kHelloMerges = {"H e", "l l", "He ll", "Hell o", "Ġ w", "o r", "Ġw or", "l d", "Ġwor ld"};

TEST(Tokenizer, EncodesWithMappedBlank) {
  Tokenizer tok = make(kHelloTokens, kHelloMerges);
  EXPECT_EQ(encode_strings(tok, kHelloTokens, "Hello world"), (Strings{"Hello", "Ġworld"}));
  EXPECT_EQ(encode_strings(tok, kHelloTokens, "Hello\n"), (Strings{"Hello", "Ċ"}));
  EXPECT_EQ(encode_strings(tok, kHelloTokens, ""), Strings{});
}

TEST(Tokenizer, MergeOrder) {
  struct Case {
    const char* name;
    Strings merges;
    std::string text;
    Strings expected;
  };
  const Case cases[] = {
      {"lowest rank first", {"b c", "a b"}, "abc", {"a", "bc"}},
      {"lowest rank first, other order", {"a b", "b c"}, "abc", {"ab", "c"}},
      {"leftmost among equal pairs", {"a a"}, "aaa", {"aa", "a"}},
      {"one merge per scan", {"a a"}, "aaaa", {"aa", "aa"}},
      {"merged symbols merge again", {"a a", "aa aa"}, "aaaaa", {"aaaa", "a"}},
      {"repeated line keeps last rank", {"a b", "b c", "a b"}, "abc", {"a", "bc"}},
      {"lines without one blank are inert", {"ab", "a  b", " a", "b "}, "ab", {"a", "b"}},
  };
  for (const auto& c : cases) {
    Strings tokens = byte_tokens({"ab", "bc", "aa", "aaaa"});
    Tokenizer tok = make(tokens, c.merges);
    EXPECT_EQ(encode_strings(tok, tokens, c.text), c.expected) << c.name;
  }
}

TEST(Tokenizer, DuplicateTokensKeepLastIndex) {
  Strings tokens = byte_tokens({"ab", "a", "ab"});
  Tokenizer tok = make(tokens, {"a b"});
  auto ids = encode(tok, "ab a");
  ASSERT_TRUE(ids.ok());
  EXPECT_EQ(*ids, (std::vector<uint32_t>{258, 32, 257}));
}

TEST(Tokenizer, MissingVocabEntries) {
  Strings no_newline = byte_tokens();
  no_newline['\n'] = "x";
  Tokenizer tok = make(no_newline, {"a b", "Ġ a"});
  expect_error(encode(tok, "ab"), "no vocab entry for merged part \"ab\"");
  expect_error(encode(tok, "x a"), "no vocab entry for merged part \"Ġa\"");
  expect_error(encode(tok, "x\n"), "no vocab entry for merged part \"Ċ\"");
}

TEST(Tokenizer, RejectsInvalidUtf8) {
  Tokenizer tok = make(kHelloTokens, kHelloMerges);
  expect_error(encode(tok, "a\xFF"), "encode: invalid utf-8 sequence of 1 bytes from index 1");
  expect_error(encode(tok, "a\xE4\xB8"), "encode: incomplete utf-8 byte sequence from index 1");
}

TEST(Tokenizer, MarkerTextIsOrdinary) {
  Strings tokens = byte_tokens({"<|im_start|>", "<|", "|>"});
  Tokenizer tok = make(tokens, {"< |", "| >"});
  EXPECT_EQ(encode_strings(tok, tokens, "<|im_start|>"),
            (Strings{"<|", "i", "m", "_", "s", "t", "a", "r", "t", "|>"}));
}

TEST(Tokenizer, TokenBytes) {
  Strings tokens = byte_tokens({"Ġthe", "<|im_end|>", "中", "é", "ĀĠ", " a"});
  Tokenizer tok = make(tokens, {"a b"});
  struct Case {
    uint32_t id;
    std::string bytes;
  };
  const Case cases[] = {
      {256, " the"},
      {257, "<|im_end|>"},
      {258, "中"},               // not a mapped character: its own UTF-8
      {259, "\xE9"},             // U+00E9 stands for byte 0xE9
      {260, std::string("\0 ", 2)},
      {261, " a"},
      {'\n', "\n"},
  };
  for (const auto& c : cases) {
    auto bytes = token_bytes(tok, c.id);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(*bytes, c.bytes) << c.id;
  }
  EXPECT_EQ(vocab_size(tok), 262u);
  expect_error(token_bytes(tok, 262), "token id 262 out of range (262)");
  expect_error(token_bytes(tok, UINT32_MAX), "token id 4294967295 out of range (262)");
}

TEST(Tokenizer, Decode) {
  Tokenizer tok = make(kHelloTokens, kHelloMerges);
  auto text = decode(tok, std::vector<uint32_t>{259, 264, 0xE4, 0xB8, 0xAD});
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text, "Hello world中");
  auto partial = decode(tok, std::vector<uint32_t>{0xE4, 0xB8});
  ASSERT_TRUE(partial.ok());
  EXPECT_EQ(*partial, "\xE4\xB8");
  expect_error(decode(tok, std::vector<uint32_t>{'a', 9999, 7777}), "token id 9999 out of range (265)");
}

TEST(Tokenizer, FindTokenIdTakesLowestMatchingBytes) {
  Strings tokens = byte_tokens({"<|im_end|>", "Ġa", " a", "<|im_end|>"});
  Tokenizer tok = make(tokens, {});
  EXPECT_EQ(find_token_id(tok, "<|im_end|>"), 256u);
  EXPECT_EQ(find_token_id(tok, " a"), 257u);
  EXPECT_EQ(find_token_id(tok, "\n"), uint32_t{'\n'});
  EXPECT_EQ(find_token_id(tok, "<|im_start|>"), std::nullopt);
}

// ---- Construction from model metadata ----

MetaEntry str(const char* key, std::string v) { return {key, meta::Str{std::move(v)}}; }
MetaEntry arr(const char* key, Strings v) { return {key, meta::ArrStr{std::move(v)}}; }

GgufFile file_with(std::vector<MetaEntry> entries) {
  GgufFile f;
  f.version = 3;
  f.metadata = std::move(entries);
  return f;
}

TEST(TokenizerFromGguf, Builds) {
  auto tok = tokenizer_from_gguf(file_with({str("tokenizer.ggml.model", "gpt2"),
                                            arr("tokenizer.ggml.tokens", kHelloTokens),
                                            arr("tokenizer.ggml.merges", kHelloMerges)}));
  ASSERT_TRUE(tok.ok()) << tok.error().message;
  auto ids = encode(*tok, "Hello world");
  ASSERT_TRUE(ids.ok());
  EXPECT_EQ(*ids, (std::vector<uint32_t>{259, 264}));
}

TEST(TokenizerFromGguf, Errors) {
  struct Case {
    const char* name;
    std::vector<MetaEntry> entries;
    std::string message;
  };
  const Case cases[] = {
      {"no model", {}, "kv tokenizer.ggml.model: expected string, got None"},
      {"model not a string",
       {{"tokenizer.ggml.model", meta::UInt{2}}},
       "kv tokenizer.ggml.model: expected string, got Some(UInt(2))"},
      {"other model",
       {str("tokenizer.ggml.model", "llama")},
       "tokenizer.ggml.model = \"llama\"; only byte-level BPE (gpt2) supported"},
      {"no tokens",
       {str("tokenizer.ggml.model", "gpt2")},
       "kv tokenizer.ggml.tokens: expected string array, got None"},
      {"unretained tokens",
       {str("tokenizer.ggml.model", "gpt2"), {"tokenizer.ggml.tokens", meta::Arr{8, 3}}},
       "kv tokenizer.ggml.tokens: array was parsed without retention; pass a retaining predicate"},
      {"empty vocab",
       {str("tokenizer.ggml.model", "gpt2"), arr("tokenizer.ggml.tokens", {})},
       "empty vocab"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_error(tokenizer_from_gguf(file_with(c.entries)), c.message);
  }
}

TEST(TokenizerFromGguf, WithoutMergesOnlyDecodes) {
  const std::vector<std::vector<MetaEntry>> merges_variants = {
      {},
      {arr("tokenizer.ggml.merges", {})},
      {str("tokenizer.ggml.merges", "H e")},
      {{"tokenizer.ggml.merges", meta::ArrInt{{1, 2}}}},
  };
  for (size_t i = 0; i < merges_variants.size(); ++i) {
    SCOPED_TRACE(i);
    std::vector<MetaEntry> entries = {str("tokenizer.ggml.model", "gpt2"), arr("tokenizer.ggml.tokens", kHelloTokens)};
    entries.insert(entries.end(), merges_variants[i].begin(), merges_variants[i].end());
    auto tok = tokenizer_from_gguf(file_with(entries));
    ASSERT_TRUE(tok.ok()) << tok.error().message;
    expect_error(encode(*tok, "Hello"), "encode unavailable: GGUF carries no merges");
    expect_error(encode(*tok, ""), "encode unavailable: GGUF carries no merges");
    auto text = decode(*tok, std::vector<uint32_t>{259, 264});
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(*text, "Hello world");
  }
}

TEST(TokenizerFromGguf, FirstMergesEntryCounts) {
  auto tok = tokenizer_from_gguf(file_with({str("tokenizer.ggml.model", "gpt2"),
                                            arr("tokenizer.ggml.tokens", kHelloTokens),
                                            str("tokenizer.ggml.merges", "none"),
                                            arr("tokenizer.ggml.merges", kHelloMerges)}));
  ASSERT_TRUE(tok.ok());
  expect_error(encode(*tok, "Hello"), "encode unavailable: GGUF carries no merges");
}

}  // namespace
}  // namespace kestrune
