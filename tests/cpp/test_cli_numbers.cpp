#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cli/numbers.h"
#include "cli/options.h"
#include "generation/generate.h"

namespace kestrune {
namespace {

constexpr const char* kEmptyInt = "cannot parse integer from empty string";
constexpr const char* kBadDigit = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";
constexpr const char* kEmptyFloat = "cannot parse float from empty string";
constexpr const char* kBadFloat = "invalid float literal";

TEST(ParseU64, Table) {
  struct Case {
    const char* text;
    uint64_t value;
    const char* error;
  };
  const Case cases[] = {
      {"0", 0, nullptr},
      {"64", 64, nullptr},
      {"+7", 7, nullptr},
      {"007", 7, nullptr},
      {"18446744073709551615", UINT64_MAX, nullptr},
      {"", 0, kEmptyInt},
      {"+", 0, kBadDigit},
      {"-", 0, kBadDigit},
      {"-5", 0, kBadDigit},
      {"-0", 0, kBadDigit},
      {"++1", 0, kBadDigit},
      {" 1", 0, kBadDigit},
      {"1 ", 0, kBadDigit},
      {"1.0", 0, kBadDigit},
      {"0x10", 0, kBadDigit},
      {"1_000", 0, kBadDigit},
      {"18446744073709551616", 0, kTooLarge},
      {"99999999999999999999999", 0, kTooLarge},
      // The first failure from the left decides.
      {"99999999999999999999x", 0, kTooLarge},
      {"1x99999999999999999999", 0, kBadDigit},
  };
  for (const Case& c : cases) {
    auto r = parse_u64(c.text);
    if (c.error) {
      ASSERT_FALSE(r.ok()) << c.text;
      EXPECT_EQ(r.error().message, c.error) << c.text;
    } else {
      ASSERT_TRUE(r.ok()) << c.text << ": " << r.error().message;
      EXPECT_EQ(*r, c.value) << c.text;
    }
  }
}

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

TEST(ParseF32, AcceptedLiterals) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* text;
    float value;
  };
  const Case cases[] = {
      {"0", 0.0f},         {"1", 1.0f},           {"+0.5", 0.5f},       {"-0.5", -0.5f},     {".5", 0.5f},
      {"5.", 5.0f},        {"0.95", 0.95f},       {"0.6", 0.6f},        {"1e3", 1000.0f},    {"1E-2", 0.01f},
      {"2.5e+1", 25.0f},   {"inf", inf},          {"-inf", -inf},       {"+Infinity", inf},  {"INF", inf},
      {"1e39", inf},       {"-1e400", -inf},      {"1e-50", 0.0f},      {"0e999999999", 0.0f},
      {"3.4028235e38", std::numeric_limits<float>::max()},
      {"1.4e-45", std::numeric_limits<float>::denorm_min()},
      // Correct rounding straight to f32 (a detour through double could round twice).
      {"1.00000005960464477539062500000001", 1.00000012f},
      {"0.1000000000000000000000000000000000000000000001", 0.1f},
  };
  for (const Case& c : cases) {
    auto r = parse_f32(c.text);
    ASSERT_TRUE(r.ok()) << c.text << ": " << r.error().message;
    EXPECT_EQ(bits(*r), bits(c.value)) << c.text;
  }
  auto neg_zero = parse_f32("-0");
  ASSERT_TRUE(neg_zero.ok());
  EXPECT_TRUE(std::signbit(*neg_zero));
  for (const char* nan : {"NaN", "nan", "-nan", "+NAN"}) {
    auto r = parse_f32(nan);
    ASSERT_TRUE(r.ok()) << nan;
    EXPECT_TRUE(std::isnan(*r)) << nan;
  }
}

TEST(ParseF32, RejectedLiterals) {
  EXPECT_EQ(parse_f32("").error().message, kEmptyFloat);
  for (const char* text : {"+", "-", ".", "e5", "1e", "1e+", "1.2.3", "abc", " 1", "1 ", "0x1p3", "1_0", "infinit",
                           "infinityy", "nan(1)", "1f", "--1", "+-1", "in"}) {
    auto r = parse_f32(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error().message, kBadFloat) << text;
  }
}

std::vector<std::string> args(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

TEST(ParseOptions, ValuesAndOverrides) {
  auto r = parse_options(args({"--temp", "0.25", "--top-k", "+3", "--top-p", ".5", "--seed", "9", "--temp", "2"}),
                         Subcommand::Generate);
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(*r->temp, 2.0f);
  EXPECT_EQ(*r->top_k, 3u);
  EXPECT_EQ(*r->top_p, 0.5f);
  EXPECT_EQ(*r->seed, 9u);
  EXPECT_FALSE(r->system);
  EXPECT_EQ(r->max_turn_tokens, 1024u);

  auto chat = parse_options(args({"--system", "--temp", "--max-turn-tokens", "12"}), Subcommand::Chat);
  ASSERT_TRUE(chat.ok()) << chat.error().message;
  EXPECT_EQ(*chat->system, "--temp");  // taken verbatim, even when it looks like a flag
  EXPECT_EQ(chat->max_turn_tokens, 12u);
  EXPECT_FALSE(chat->temp);
}

TEST(ParseOptions, Errors) {
  struct Case {
    std::vector<std::string> args;
    Subcommand cmd;
    const char* message;
  };
  const Case cases[] = {
      {args({"--temp", ""}), Subcommand::Generate, "bad --temp '': empty, expected a number"},
      {args({"--temp", "hot"}), Subcommand::Chat, "bad --temp 'hot': not a number"},
      {args({"--top-k", "-1"}), Subcommand::Generate, "bad --top-k '-1': not a whole number"},
      {args({"--top-k", ""}), Subcommand::Generate, "bad --top-k '': empty, expected a whole number"},
      {args({"--top-p", "1e"}), Subcommand::Generate, "bad --top-p '1e': not a number"},
      {args({"--seed", "18446744073709551616"}), Subcommand::Generate,
       "bad --seed '18446744073709551616': too large"},
      {args({"--max-turn-tokens", "x"}), Subcommand::Chat, "bad --max-turn-tokens 'x': not a whole number"},
      {args({"--top-k"}), Subcommand::Generate, "--top-k: missing value"},
      {args({"--temp", "1", "--seed"}), Subcommand::Chat, "--seed: missing value"},
      {args({"--bogus", "1"}), Subcommand::Generate, "unknown flag --bogus"},
      {args({"--bogus"}), Subcommand::Generate, "unknown flag --bogus"},
      {args({"--TEMP", "1"}), Subcommand::Generate, "unknown flag --TEMP"},
      {args({"--system", "hi"}), Subcommand::Generate, "unknown flag --system"},
      {args({"--max-turn-tokens", "5"}), Subcommand::Generate, "unknown flag --max-turn-tokens"},
      {args({"--temp", "1", "extra"}), Subcommand::Generate, "unknown flag extra"},
      // The first bad pair stops parsing, even if a later one would override it.
      {args({"--top-k", "x", "--top-k", "5"}), Subcommand::Generate, "bad --top-k 'x': not a whole number"},
      {args({"--threads", "0"}), Subcommand::Chat, "bad --threads '0': use 1 or more"},
      {args({"--threads", "two"}), Subcommand::Generate, "bad --threads 'two': not a whole number"},
  };
  for (const Case& c : cases) {
    auto r = parse_options(c.args, c.cmd);
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.error().message, c.message);
  }
}

GgufFile with_meta(std::vector<MetaEntry> entries) {
  GgufFile f;
  f.version = 3;
  f.metadata = std::move(entries);
  return f;
}

TEST(SamplingSettings, DefaultsFromMetadata) {
  struct Case {
    std::vector<MetaEntry> meta;
    float temp;
    uint64_t top_k;
    float top_p;
  };
  const std::vector<Case> cases = {
      {{}, 1.0f, 20, 0.95f},
      {{{"general.sampling.temp", meta::F32Bits{bits(0.6f)}},
        {"general.sampling.top_k", meta::UInt{40}},
        {"general.sampling.top_p", meta::F32Bits{bits(0.8f)}}},
       0.6f, 40, 0.8f},
      // Real files store top_k as int32.
      {{{"general.sampling.top_k", meta::Int{20}}}, 1.0f, 20, 0.95f},
      {{{"general.sampling.top_k", meta::Int{64}}}, 1.0f, 64, 0.95f},
      {{{"general.sampling.top_k", meta::Int{0}}}, 1.0f, 0, 0.95f},
      {{{"general.sampling.top_k", meta::Int{-1}}}, 1.0f, 20, 0.95f},
      {{{"general.sampling.top_k", meta::Str{"40"}}}, 1.0f, 20, 0.95f},
      // Only f32 counts for the floats.
      {{{"general.sampling.temp", meta::F64Bits{0x3FE3333333333333ull}},
        {"general.sampling.top_p", meta::UInt{1}}},
       1.0f, 20, 0.95f},
      // The first entry of a key decides.
      {{{"general.sampling.top_k", meta::Str{"x"}}, {"general.sampling.top_k", meta::UInt{5}}}, 1.0f, 20, 0.95f},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SamplingSettings s = sampling_settings(CliOptions{}, with_meta(cases[i].meta));
    EXPECT_EQ(s.temperature, cases[i].temp) << i;
    EXPECT_EQ(s.top_k, cases[i].top_k) << i;
    EXPECT_EQ(s.top_p, cases[i].top_p) << i;
  }
}

TEST(EosToken, OnlyTheFirstUIntEntryCounts) {
  const char* key = "tokenizer.ggml.eos_token_id";
  EXPECT_EQ(eos_token(with_meta({{key, meta::UInt{498}}})), 498u);
  EXPECT_EQ(eos_token(with_meta({})), std::nullopt);
  EXPECT_EQ(eos_token(with_meta({{key, meta::Int{498}}})), std::nullopt);
  EXPECT_EQ(eos_token(with_meta({{key, meta::Str{"498"}}, {key, meta::UInt{1}}})), std::nullopt);
  EXPECT_EQ(eos_token(with_meta({{key, meta::UInt{1ull << 40}}})), std::nullopt);
}

TEST(SamplingSettings, OptionsWinOverMetadata) {
  GgufFile f = with_meta({{"general.sampling.temp", meta::F32Bits{bits(0.6f)}},
                          {"general.sampling.top_k", meta::UInt{40}},
                          {"general.sampling.top_p", meta::F32Bits{bits(0.8f)}}});
  CliOptions o;
  o.temp = 0.0f;
  o.top_k = 3;
  o.top_p = 0.5f;
  o.seed = 17;
  SamplingSettings s = sampling_settings(o, f);
  EXPECT_EQ(s.temperature, 0.0f);
  EXPECT_EQ(s.top_k, 3u);
  EXPECT_EQ(s.top_p, 0.5f);
  EXPECT_EQ(s.seed, 17u);
}

TEST(SamplingSettings, LinePrintsShortestPlainDecimals) {
  struct Case {
    SamplingSettings s;
    const char* line;
  };
  const Case cases[] = {
      {{1.0f, 20, 0.95f, 0}, "# sampling: temp=1 top_k=20 top_p=0.95 seed=0\n"},
      {{0.6f, 40, 1.0f, UINT64_MAX}, "# sampling: temp=0.6 top_k=40 top_p=1 seed=18446744073709551615\n"},
      {{5e-7f, 0, 1e10f, 3}, "# sampling: temp=0.0000005 top_k=0 top_p=10000000000 seed=3\n"},
      {{std::numeric_limits<float>::infinity(), 1, std::numeric_limits<float>::quiet_NaN(), 1},
       "# sampling: temp=inf top_k=1 top_p=NaN seed=1\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(sampling_line(c.s), c.line);
}

}  // namespace
}  // namespace kestrune
