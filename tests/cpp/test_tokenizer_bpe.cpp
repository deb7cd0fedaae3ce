// The merge algorithm against a plain implementation of the rule (one full rescan per
// merge over string symbols), and encode/decode round trips.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tokenizer/tokenizer.h"
#include "tokenizer_support.h"

namespace kestrune {
namespace {

using testing::VocabLists;

std::vector<std::string> corpus(uint32_t seed, size_t n) {
  std::mt19937 rng(seed);
  std::vector<std::string> texts;
  for (size_t i = 0; i < n; ++i) texts.push_back(testing::random_text(rng));
  return texts;
}

const VocabLists& trained_vocab() {
  static const VocabLists v = testing::train_vocab(corpus(1, 120), 250);
  return v;
}

// The trained vocabulary with the awkward cases added: repeated lines, merges whose
// result is no token, lines that can never match, and ranks out of training order.
VocabLists quirky_vocab() {
  VocabLists v = trained_vocab();
  std::mt19937 rng(2);
  std::vector<std::string> extra = {"e Ġ", "Ġ Ġ", "Ċ Ċ", "a  b", "ab", " a", "t h", "Ġ t", "ä ¸"};
  for (size_t i = 0; i < 20; ++i) extra.push_back(v.merges[rng() % v.merges.size()]);
  for (const auto& m : extra) v.merges.insert(v.merges.begin() + static_cast<ptrdiff_t>(rng() % v.merges.size()), m);
  return v;
}

const std::optional<VocabLists>& real_vocab() {
  static const std::optional<VocabLists> v = testing::load_vocab_json(testing::vocab_json_path());
  return v;
}

// Returns how many texts failed to encode (identically in both).
size_t expect_same_as_reference(const VocabLists& v, const std::vector<std::string>& texts) {
  auto tok = tokenizer_from_lists(v.tokens, v.merges);
  EXPECT_TRUE(tok.ok()) << tok.error().message;
  if (!tok.ok()) return 0;
  const testing::ReferenceBpe ref = testing::make_reference(v.tokens, v.merges);
  size_t failures = 0, errors = 0;
  for (const auto& text : texts) {
    auto got = encode(*tok, text);
    auto want = testing::reference_encode(ref, text);
    EXPECT_EQ(got.ok(), want.ok()) << text;
    if (got.ok() != want.ok()) {
      ++failures;
    } else if (want.ok()) {
      if (*got != *want) ++failures;
      EXPECT_EQ(*got, *want) << text;
    } else {
      ++errors;
      EXPECT_EQ(got.error().message, want.error().message) << text;
    }
    if (failures > 5) {
      ADD_FAILURE() << "too many mismatches";
      break;
    }
  }
  return errors;
}

void expect_round_trips(const VocabLists& v, const std::vector<std::string>& texts) {
  auto tok = tokenizer_from_lists(v.tokens, v.merges);
  ASSERT_TRUE(tok.ok()) << tok.error().message;
  for (const auto& text : texts) {
    auto ids = encode(*tok, text);
    ASSERT_TRUE(ids.ok()) << ids.error().message;
    auto back = decode(*tok, *ids);
    ASSERT_TRUE(back.ok()) << back.error().message;
    ASSERT_EQ(*back, text);
  }
}

TEST(BpeDifferential, TrainedVocab) { EXPECT_EQ(expect_same_as_reference(trained_vocab(), corpus(3, 4000)), 0u); }

TEST(BpeDifferential, QuirkyVocab) {
  // Some texts must reach a merge result that is no token.
  EXPECT_GT(expect_same_as_reference(quirky_vocab(), corpus(4, 4000)), 0u);
}

TEST(BpeDifferential, RealVocab) {
  if (!real_vocab()) GTEST_SKIP() << "no " << testing::vocab_json_path();
  expect_same_as_reference(*real_vocab(), corpus(5, 3000));
}

TEST(BpeRoundTrip, TrainedVocab) { expect_round_trips(trained_vocab(), corpus(6, 3000)); }

TEST(BpeRoundTrip, RealVocab) {
  if (!real_vocab()) GTEST_SKIP() << "no " << testing::vocab_json_path();
  std::mt19937 rng(8);
  std::vector<std::string> texts = corpus(7, 2000);
  for (int i = 0; i < 1000; ++i) texts.push_back(testing::random_unicode(rng, 80));
  expect_round_trips(*real_vocab(), texts);
}

// Built once; null when the vocabulary file is absent.
const Tokenizer* real_tokenizer() {
  static const std::optional<Tokenizer> tok = []() -> std::optional<Tokenizer> {
    if (!real_vocab()) return std::nullopt;
    auto built = tokenizer_from_lists(real_vocab()->tokens, real_vocab()->merges);
    if (!built.ok()) return std::nullopt;
    return std::move(built).value();
  }();
  return tok ? &*tok : nullptr;
}

class RealVocabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!real_vocab()) GTEST_SKIP() << "no " << testing::vocab_json_path();
    tok_ = real_tokenizer();
    ASSERT_NE(tok_, nullptr);
  }

  std::vector<std::string> strings_of(std::string_view text) const {
    auto ids = encode(*tok_, text);
    EXPECT_TRUE(ids.ok()) << ids.error().message;
    std::vector<std::string> out;
    if (ids.ok()) {
      for (uint32_t id : *ids) out.push_back(real_vocab()->tokens.at(id));
    }
    return out;
  }

  const Tokenizer* tok_ = nullptr;
};

TEST_F(RealVocabTest, Encodes) {
  struct Case {
    const char* text;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {"Hello world", {"Hello", "Ġworld"}},
      {"It's the end.", {"It", "'s", "Ġthe", "Ġend", "."}},
      {"2024", {"2", "0", "2", "4"}},
      {"\n\n", {"ĊĊ"}},
      {"    return x;", {"ĠĠĠ", "Ġreturn", "Ġx", ";"}},
  };
  for (const auto& c : cases) EXPECT_EQ(strings_of(c.text), c.tokens) << c.text;
}

TEST_F(RealVocabTest, MarkersAreFoundByBytesButNeverEncoded) {
  const uint32_t im_start = 151644, im_end = 151645;
  EXPECT_EQ(vocab_size(*tok_), 151669u);
  EXPECT_EQ(find_token_id(*tok_, "<|im_start|>"), im_start);
  EXPECT_EQ(find_token_id(*tok_, "<|im_end|>"), im_end);
  auto ids = encode(*tok_, "<|im_start|>user\nhi<|im_end|>");
  ASSERT_TRUE(ids.ok());
  for (uint32_t id : *ids) {
    EXPECT_NE(id, im_start);
    EXPECT_NE(id, im_end);
  }
  auto text = decode(*tok_, *ids);
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text, "<|im_start|>user\nhi<|im_end|>");
}

TEST_F(RealVocabTest, ScriptsRoundTrip) {
  for (const char* text : {"日本語のテキストと中文字符。", "مرحبا بالعالم", "नमस्ते दुनिया", "ภาษาไทย",
                           "\U0001F469\u200D\U0001F4BB \U0001F44D", "e\u0301\u0301\u0301", "a\u00A0b\u3000c\u2028d\u0085"}) {
    auto ids = encode(*tok_, text);
    ASSERT_TRUE(ids.ok()) << ids.error().message;
    EXPECT_LT(ids->size(), std::string_view(text).size()) << text;
    auto back = decode(*tok_, *ids);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, text);
  }
}

}  // namespace
}  // namespace kestrune
