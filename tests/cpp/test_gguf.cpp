#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "gguf/gguf.h"
#include "gguf_builder.h"

using namespace kestrune;
using kestrune::testing::GgufBuilder;

namespace {

struct BadHeaderCase {
  const char* name;
  std::function<std::string()> bytes;
  const char* message;
};

std::string one_kv(std::function<void(GgufBuilder&)> kv) {
  GgufBuilder b;
  b.header(0, 1);
  kv(b);
  return b.bytes;
}

class BadHeader : public ::testing::TestWithParam<BadHeaderCase> {};

TEST_P(BadHeader, FailsWithMessage) {
  auto r = parse_gguf(GetParam().bytes());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Gguf, BadHeader,
    ::testing::Values(
        BadHeaderCase{"zip", [] { return std::string("PK\x03\x04rest", 8); }, "not a GGUF file (magic [80, 75, 3, 4])"},
        BadHeaderCase{"empty", [] { return std::string(); }, "failed to fill whole buffer"},
        BadHeaderCase{"version1", [] { GgufBuilder b; b.header(0, 0, 1); return b.bytes; },
                      "gguf v1 not supported (need >= 2)"},
        BadHeaderCase{"value_type_13", [] { return one_kv([](GgufBuilder& b) { b.str("k").put<uint32_t>(13); }); },
                      "unknown metadata value type id 13"},
        BadHeaderCase{"array_elem_13",
                      [] { return one_kv([](GgufBuilder& b) { b.kv_arr_header("k", 13, 1); }); },
                      "unknown metadata value type id 13"},
        BadHeaderCase{"array_of_arrays",
                      [] { return one_kv([](GgufBuilder& b) { b.kv_arr_header("k", 9, 0); }); },
                      "array of arrays not supported"},
        BadHeaderCase{"float_array",
                      [] { return one_kv([](GgufBuilder& b) { b.kv_arr_header("tokenizer.ggml.scores", 6, 1).put<float>(0); }); },
                      "retaining float arrays unsupported"},
        BadHeaderCase{"double_array",
                      [] { return one_kv([](GgufBuilder& b) { b.kv_arr_header("k", 12, 0); }); },
                      "retaining float arrays unsupported"},
        BadHeaderCase{"bad_utf8_lead",
                      [] { return one_kv([](GgufBuilder& b) { b.kv_str("k", "ab\xff"); }); },
                      "bad utf8 in string: invalid utf-8 sequence of 1 bytes from index 2"},
        BadHeaderCase{"bad_utf8_continuation",
                      [] { return one_kv([](GgufBuilder& b) { b.kv_str("k", "\xe2\x82x"); }); },
                      "bad utf8 in string: invalid utf-8 sequence of 2 bytes from index 0"},
        BadHeaderCase{"utf8_incomplete",
                      [] { return one_kv([](GgufBuilder& b) { b.kv_str("k", "a\xe2\x82"); }); },
                      "bad utf8 in string: incomplete utf-8 byte sequence from index 1"},
        BadHeaderCase{"bad_utf8_key",
                      [] { return one_kv([](GgufBuilder& b) { b.str("\xc0\x80").put<uint32_t>(4).put<uint32_t>(1); }); },
                      "bad utf8 in string: invalid utf-8 sequence of 1 bytes from index 0"},
        BadHeaderCase{"five_dims",
                      [] { GgufBuilder b; b.header(1, 0).tensor("t", {1, 1, 1, 1, 1}, 0, 0); return b.bytes; },
                      "tensor t: n_dims 5 > 4"},
        BadHeaderCase{"cut_in_tensor_infos",
                      [] {
                        GgufBuilder b;
                        b.header(2, 0).tensor("a", {4}, 0, 0);
                        return b.bytes + std::string("\x01\x00\x00", 3);
                      },
                      "failed to fill whole buffer"},
        BadHeaderCase{"huge_kv_count",
                      [] { GgufBuilder b; b.header(0, uint64_t(1) << 60); return b.bytes + std::string(76, 'x'); },
                      "failed to fill whole buffer"},
        BadHeaderCase{"huge_tensor_count",
                      [] { GgufBuilder b; b.header(uint64_t(1) << 60, 0); return b.bytes; },
                      "failed to fill whole buffer"},
        BadHeaderCase{"huge_string",
                      [] { GgufBuilder b; b.header(0, 1).put<uint64_t>(uint64_t(1) << 62); return b.bytes; },
                      "failed to fill whole buffer"},
        BadHeaderCase{"huge_array",
                      [] { return one_kv([](GgufBuilder& b) { b.kv_arr_header("k", 8, uint64_t(1) << 61); }); },
                      "failed to fill whole buffer"},
        BadHeaderCase{"alignment_zero",
                      [] { return one_kv([](GgufBuilder& b) { b.kv_u32("general.alignment", 0); }); },
                      "general.alignment must not be 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Gguf, ParsesVersionsMetadataAndTensors) {
  for (uint32_t version : {2u, 3u, 7u}) {
    GgufBuilder b;
    b.header(2, 3, version)
        .kv_u32("general.alignment", 64)
        .kv_str("general.architecture", "qwen35")
        .kv_arr_header("ints", 5, 2)
        .put<int32_t>(-1)
        .put<int32_t>(2)
        .tensor("a", {32, 2}, 8, 0)
        .tensor("scalar", {}, 0, 128);
    auto r = parse_gguf(b.bytes);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r->version, version);
    EXPECT_EQ(r->alignment, 64u);
    EXPECT_EQ(r->data_offset % 64, 0u);
    EXPECT_GE(r->data_offset, b.bytes.size());
    EXPECT_LT(r->data_offset, b.bytes.size() + 64);
    ASSERT_EQ(r->tensors.size(), 2u);
    EXPECT_EQ(r->tensors[0].dims, (std::vector<uint64_t>{32, 2}));
    EXPECT_TRUE(r->tensors[1].dims.empty());
    EXPECT_EQ(r->tensors[1].offset, 128u);
    EXPECT_EQ(render_meta(meta_find(*r, "ints")), "Some(ArrInt([18446744073709551615, 2]))");
  }
}

TEST(Gguf, AlignmentRules) {
  struct Case {
    std::function<void(GgufBuilder&)> kvs;
    uint64_t n_kv;
    uint64_t alignment;
  };
  const Case cases[] = {
      {[](GgufBuilder& b) { b.kv_i32("general.alignment", 64); }, 1, 32},  // signed: ignored
      {[](GgufBuilder& b) { b.kv_u64("general.alignment", 48); }, 1, 48},  // not a power of two
      {[](GgufBuilder& b) { b.kv_u32("general.alignment", 64).kv_u32("general.alignment", 16); }, 2, 16},
      {[](GgufBuilder& b) { b.kv_u32("general.alignment", 64).kv_str("general.alignment", "x"); }, 2, 64},
      {[](GgufBuilder&) {}, 0, 32},
  };
  for (const auto& c : cases) {
    GgufBuilder b;
    b.header(0, c.n_kv);
    c.kvs(b);
    auto r = parse_gguf(b.bytes);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r->alignment, c.alignment);
    uint64_t want = (b.bytes.size() + c.alignment - 1) / c.alignment * c.alignment;
    EXPECT_EQ(r->data_offset, want);
  }
}

TEST(Gguf, EveryTruncationFailsCleanly) {
  GgufBuilder b;
  b.header(1, 3)
      .kv_str("general.architecture", "qwen35")
      .kv_str_arr("tokenizer.ggml.tokens", {"a", "b", "ab"})
      .kv_f32("x", 1.5f)
      .tensor("t", {32, 4}, 8, 0);
  ASSERT_TRUE(parse_gguf(b.bytes).ok());
  for (size_t cut = 0; cut < b.bytes.size(); ++cut) {
    auto r = parse_gguf(std::string_view(b.bytes).substr(0, cut));
    ASSERT_FALSE(r.ok()) << cut;
    EXPECT_EQ(r.error().message, "failed to fill whole buffer") << cut;
    EXPECT_EQ(r.error().kind, ErrorKind::UnexpectedEof);
  }
}

GgufFile accessor_file() {
  GgufBuilder b;
  b.header(0, 12)
      .kv_u32("u", 32)
      .kv_i32("i5", 5)
      .kv_i32("im5", -5)
      .kv_f32("f", 1.0f)
      .kv_f64("d", 1.0)
      .kv_bool("b", true)
      .kv_str("s", "q\"\\\n\t\x01\xc2\x85é")
      .kv_str_arr("toks", {"a", "b"})
      .kv_arr_header("bools", 7, 2)
      .put<uint8_t>(0)
      .put<uint8_t>(9)
      .kv_u32("dup", 1)
      .kv_u32("dup", 2)
      .kv_arr_header("u8s", 0, 1)
      .put<uint8_t>(200);
  return parse_gguf(b.bytes).value();
}

TEST(Gguf, RenderingRule) {
  GgufFile f = accessor_file();
  const std::pair<const char*, const char*> cases[] = {
      {"u", "Some(UInt(32))"},
      {"i5", "Some(Int(5))"},
      {"im5", "Some(Int(-5))"},
      {"f", "Some(F32Bits(1065353216))"},
      {"d", "Some(F64Bits(4607182418800017408))"},
      {"b", "Some(Bool(true))"},
      {"s", "Some(Str(\"q\\\"\\\\\\n\\t\\u{1}\\u{85}é\"))"},
      {"toks", "Some(ArrStr([\"a\", \"b\"]))"},
      {"bools", "Some(ArrInt([0, 1]))"},
      {"dup", "Some(UInt(1))"},
      {"u8s", "Some(ArrInt([200]))"},
      {"missing", "None"},
  };
  for (auto [key, want] : cases) EXPECT_EQ(render_meta(meta_find(f, key)), want) << key;
  EXPECT_EQ(render_value(MetaValue{meta::Arr{6, 3}}), "Arr { elem: 6, len: 3 }");
}

TEST(Gguf, TypedAccessors) {
  GgufFile f = accessor_file();
  EXPECT_EQ(meta_uint(f, "u").value(), 32u);
  EXPECT_EQ(meta_uint(f, "i5").value(), 5u);
  EXPECT_EQ(meta_uint(f, "im5").error().message, "kv im5: expected uint, got Some(Int(-5))");
  EXPECT_EQ(meta_uint(f, "nope").error().message, "kv nope: expected uint, got None");
  EXPECT_EQ(meta_uint_opt(f, "u"), std::optional<uint64_t>(32));
  EXPECT_EQ(meta_uint_opt(f, "i5"), std::nullopt);
  EXPECT_EQ(meta_uint_opt(f, "s"), std::nullopt);
  EXPECT_EQ(meta_f32(f, "f").value(), 1.0f);
  EXPECT_EQ(meta_f32(f, "d").error().message, "kv d: expected f32, got Some(F64Bits(4607182418800017408))");
  EXPECT_EQ(meta_str(f, "missing").error().message, "kv missing: expected string, got None");
  EXPECT_EQ(meta_str(f, "u").error().message, "kv u: expected string, got Some(UInt(32))");
  EXPECT_EQ(*meta_str_array(f, "toks").value(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(meta_str_array(f, "bools").error().message,
            "kv bools: expected string array, got Some(ArrInt([0, 1]))");
  EXPECT_EQ(meta_str_array(f, "missing").error().message, "kv missing: expected string array, got None");
  f.metadata.push_back({"dropped", meta::Arr{8, 2}});
  EXPECT_EQ(meta_str_array(f, "dropped").error().message,
            "kv dropped: array was parsed without retention; pass a retaining predicate");
  EXPECT_EQ(meta_uint(f, "dup").value(), 1u);
}

TEST(Gguf, OpenGgufFromDisk) {
  auto missing = open_gguf("/nonexistent/model.gguf");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::Os);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
  auto dir = open_gguf("/tmp");
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().message, "Is a directory (os error 21)");

  // A vocabulary larger than one read buffer crosses many buffer refills.
  std::vector<std::string> toks;
  for (int i = 0; i < 5000; ++i) toks.push_back("tok" + std::to_string(i));
  GgufBuilder b;
  b.header(0, 1).kv_str_arr("tokenizer.ggml.tokens", toks);
  std::string path = kestrune::testing::temp_path("vocab.gguf");
  b.write(path);
  auto r = open_gguf(path);
  std::remove(path.c_str());
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(*meta_str_array(*r, "tokenizer.ggml.tokens").value(), toks);
}

}  // namespace
