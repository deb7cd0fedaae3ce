#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "common/runtime_options.h"
#include "config/config.h"
#include "gguf_builder.h"
#include "quant/types.h"

using namespace kestrune;
using kestrune::testing::GgufBuilder;

namespace {

using KvWriter = std::function<void(GgufBuilder&, const std::string&)>;

KvWriter u32(uint32_t v) { return [v](GgufBuilder& b, const std::string& k) { b.kv_u32(k, v); }; }
KvWriter u64(uint64_t v) { return [v](GgufBuilder& b, const std::string& k) { b.kv_u64(k, v); }; }
KvWriter i32(int32_t v) { return [v](GgufBuilder& b, const std::string& k) { b.kv_i32(k, v); }; }
KvWriter f32(float v) { return [v](GgufBuilder& b, const std::string& k) { b.kv_f32(k, v); }; }
KvWriter f64(double v) { return [v](GgufBuilder& b, const std::string& k) { b.kv_f64(k, v); }; }
KvWriter str(std::string v) { return [v](GgufBuilder& b, const std::string& k) { b.kv_str(k, v); }; }

// A small, consistent qwen35 header: 4 main layers, attention at layer 3.
struct Qwen35Header {
  std::vector<std::pair<std::string, KvWriter>> kvs = {
      {"general.architecture", str("qwen35")},
      {"qwen35.block_count", u32(4)},
      {"qwen35.full_attention_interval", u32(4)},
      {"qwen35.feed_forward_length", u32(64)},
      {"qwen35.embedding_length", u32(32)},
      {"qwen35.context_length", u32(4096)},
      {"qwen35.attention.layer_norm_rms_epsilon", f32(1e-6f)},
      {"qwen35.ssm.conv_kernel", u32(4)},
      {"qwen35.ssm.state_size", u32(8)},
      {"qwen35.ssm.group_count", u32(2)},
      {"qwen35.ssm.time_step_rank", u32(4)},
      {"qwen35.ssm.inner_size", u32(32)},
      {"qwen35.attention.head_count", u32(2)},
      {"qwen35.attention.head_count_kv", u32(1)},
      {"qwen35.attention.key_length", u32(16)},
      {"qwen35.attention.value_length", u32(16)},
      {"qwen35.rope.dimension_count", u32(8)},
      {"qwen35.rope.freq_base", f32(10000.0f)},
  };
  std::vector<TensorInfo> tensors = {
      {"token_embd.weight", {32, 100}, kF32, 0},
      {"blk.0.attn_qkv.weight", {32, 64}, kF32, 0},  // (2*2+4)*8 = 64
      {"blk.0.ssm_alpha.weight", {32, 4}, kF32, 0},
      {"blk.3.attn_q.weight", {32, 64}, kF32, 0},
  };

  void set(const std::string& key, KvWriter w) {
    for (auto& kv : kvs) {
      if (kv.first == key) {
        kv.second = std::move(w);
        return;
      }
    }
    kvs.emplace_back(key, std::move(w));
  }
  void erase(const std::string& key) { std::erase_if(kvs, [&](auto& kv) { return kv.first == key; }); }
  void erase_tensor(const std::string& name) { std::erase_if(tensors, [&](auto& t) { return t.name == name; }); }

  GgufFile parse() const {
    GgufBuilder b;
    b.header(tensors.size(), kvs.size());
    for (const auto& [k, w] : kvs) w(b, k);
    for (const auto& t : tensors) b.tensor(t.name, t.dims, t.type, t.offset);
    auto r = parse_gguf(b.bytes);
    EXPECT_TRUE(r.ok()) << r.error().message;
    return r.value();
  }
};

TEST(Config, ValidHeader) {
  Qwen35Header s;
  GgufFile g = s.parse();
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(arch_check(g).ok());
  auto c = config_from_gguf(g);
  std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(c.ok()) << c.error().message;
  EXPECT_EQ(err, "# arch: Qwen35 / TextAutoregressive\n");
  EXPECT_EQ(c->n_layers, 4u);
  EXPECT_EQ(c->layer_kinds, (std::vector<LayerKind>{LayerKind::Gdn, LayerKind::Gdn, LayerKind::Gdn,
                                                    LayerKind::Attention}));
  EXPECT_EQ(c->vocab_rows, 100u);
  EXPECT_EQ(c->embedding_length, 32u);
  EXPECT_EQ(c->rms_eps, 1e-6f);
  EXPECT_EQ(c->rope_freq_base, 10000.0f);
  EXPECT_EQ(c->ssm_time_step_rank, 4u);
}

TEST(Config, NextnLayers) {
  Qwen35Header s;
  s.set("qwen35.block_count", u32(5));
  s.set("qwen35.nextn_predict_layers", u32(1));
  ::testing::internal::CaptureStderr();
  auto c = config_from_gguf(s.parse());
  std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(c.ok()) << c.error().message;
  EXPECT_EQ(c->n_layers, 4u);
  EXPECT_EQ(err, "# mtp: 1 nextn layer(s) present — excluded from forward (TODO(mtp-speculative))\n");

  s.set("qwen35.nextn_predict_layers", i32(1));  // only an unsigned value counts
  s.set("qwen35.block_count", u32(4));
  ::testing::internal::CaptureStderr();
  c = config_from_gguf(s.parse());
  err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c->n_layers, 4u);
  EXPECT_EQ(err, "");
}

struct BadConfigCase {
  const char* name;
  std::function<void(Qwen35Header&)> mutate;
  const char* message;
};

class BadConfig : public ::testing::TestWithParam<BadConfigCase> {};

TEST_P(BadConfig, FailsWithMessage) {
  Qwen35Header s;
  GetParam().mutate(s);
  GgufFile g = s.parse();
  ::testing::internal::CaptureStderr();
  Status arch = arch_check(g);
  auto c = config_from_gguf(g);
  ::testing::internal::GetCapturedStderr();
  std::string got = !arch.ok() ? arch.error().message : (!c.ok() ? c.error().message : "");
  EXPECT_EQ(got, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Config, BadConfig,
    ::testing::Values(
        BadConfigCase{"no_arch", [](Qwen35Header& s) { s.erase("general.architecture"); },
                      "kv general.architecture: expected string, got None"},
        BadConfigCase{"other_arch", [](Qwen35Header& s) { s.set("general.architecture", str("llama")); },
                      "architecture 'llama' not supported (supported: qwen35)"},
        BadConfigCase{"block_count_string", [](Qwen35Header& s) { s.set("qwen35.block_count", str("4")); },
                      "kv qwen35.block_count: expected uint, got Some(Str(\"4\"))"},
        BadConfigCase{"block_count_negative", [](Qwen35Header& s) { s.set("qwen35.block_count", i32(-1)); },
                      "kv qwen35.block_count: expected uint, got Some(Int(-1))"},
        BadConfigCase{"missing_attention_tensor", [](Qwen35Header& s) { s.erase_tensor("blk.3.attn_q.weight"); },
                      "layer 3: tensor names say Gdn, full_attention_interval=4 says Attention"},
        BadConfigCase{"extra_attention_tensor",
                      [](Qwen35Header& s) { s.tensors.push_back({"blk.1.attn_q.weight", {32, 64}, kF32, 0}); },
                      "layer 1: tensor names say Attention, full_attention_interval=4 says Gdn"},
        // Only the name format writes marks a layer: no leading zero, no sign.
        BadConfigCase{"attention_name_leading_zero",
                      [](Qwen35Header& s) { s.tensors[3].name = "blk.03.attn_q.weight"; },
                      "layer 3: tensor names say Gdn, full_attention_interval=4 says Attention"},
        BadConfigCase{"attention_name_sign",
                      [](Qwen35Header& s) { s.tensors[3].name = "blk.+3.attn_q.weight"; },
                      "layer 3: tensor names say Gdn, full_attention_interval=4 says Attention"},
        BadConfigCase{"interval_zero", [](Qwen35Header& s) { s.set("qwen35.full_attention_interval", u32(0)); },
                      "qwen35.full_attention_interval must not be 0"},
        BadConfigCase{"nextn_exceeds_blocks", [](Qwen35Header& s) { s.set("qwen35.nextn_predict_layers", u32(9)); },
                      "qwen35.nextn_predict_layers 9 exceeds qwen35.block_count 4"},
        BadConfigCase{"absurd_block_count",
                      [](Qwen35Header& s) {
                        s.set("qwen35.block_count", u32(4000000000u));
                        s.set("qwen35.full_attention_interval", u32(4000000001u));
                      },
                      "qwen35.block_count 4000000000 is implausible (more than 1048576 layers)"},
        BadConfigCase{"moe", [](Qwen35Header& s) { s.set("qwen35.expert_count", u32(0)); },
                      "MoE qwen35 file: FfnKind::Moe not implemented yet"},
        BadConfigCase{"no_embedding", [](Qwen35Header& s) { s.erase_tensor("token_embd.weight"); },
                      "token_embd.weight not found"},
        BadConfigCase{"embedding_dims",
                      [](Qwen35Header& s) { s.tensors[0].dims = {2048, 1000}; },
                      "token_embd dims [2048, 1000] inconsistent with embedding_length 32"},
        BadConfigCase{"eps_f64", [](Qwen35Header& s) { s.set("qwen35.attention.layer_norm_rms_epsilon", f64(1e-6)); },
                      "kv qwen35.attention.layer_norm_rms_epsilon: expected f32, got Some(F64Bits(4517329193108106637))"},
        BadConfigCase{"rope_base_f64", [](Qwen35Header& s) { s.set("qwen35.rope.freq_base", f64(1e4)); },
                      "kv qwen35.rope.freq_base: expected f32, got Some(F64Bits(4666723172467343360))"},
        BadConfigCase{"missing_state_size", [](Qwen35Header& s) { s.erase("qwen35.ssm.state_size"); },
                      "kv qwen35.ssm.state_size: expected uint, got None"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Config, OneDimensionalEmbeddingHasNoRows) {
  Qwen35Header s;
  s.tensors[0].dims = {32};
  auto c = config_from_gguf(s.parse());
  ASSERT_TRUE(c.ok()) << c.error().message;
  EXPECT_EQ(c->vocab_rows, 0u);
}

TEST(Config, NoMainLayersNeedNoInterval) {
  Qwen35Header s;
  s.set("qwen35.block_count", u32(1));
  s.set("qwen35.nextn_predict_layers", u32(1));
  s.set("qwen35.full_attention_interval", u32(0));
  s.erase_tensor("blk.3.attn_q.weight");
  ::testing::internal::CaptureStderr();
  auto c = config_from_gguf(s.parse());
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(c.ok()) << c.error().message;
  EXPECT_EQ(c->n_layers, 0u);
}

}  // namespace

namespace {

struct GeometryCase {
  const char* name;
  std::function<void(Qwen35Header&)> mutate;
  const char* message;  // empty: passes
  const char* state_limit = nullptr;  // KESTRUNE_MAX_STATE_BYTES for the case
};

class Geometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(Geometry, Check) {
  Qwen35Header s;
  GetParam().mutate(s);
  GgufBuilder b;
  b.header(s.tensors.size(), s.kvs.size());
  for (const auto& [k, w] : s.kvs) w(b, k);
  for (const auto& t : s.tensors) b.tensor(t.name, t.dims, t.type, t.offset);
  b.pad_to(32);
  b.bytes.append(32 * 100 * 4, '\0');
  std::string path = kestrune::testing::temp_path("geom.gguf");
  b.write(path);
  auto file = open_model_file(path);
  std::remove(path.c_str());
  ASSERT_TRUE(file.ok()) << file.error().message;
  ::testing::internal::CaptureStderr();
  auto c = config_from_gguf((*file)->gguf);
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(c.ok()) << c.error().message;
  if (GetParam().state_limit) setenv("KESTRUNE_MAX_STATE_BYTES", GetParam().state_limit, 1);
  Status st = check_geometry(*c, **file, state_limit_bytes(read_runtime_options().max_state_bytes));
  unsetenv("KESTRUNE_MAX_STATE_BYTES");
  EXPECT_EQ(st.ok() ? "" : st.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Config, Geometry,
    ::testing::Values(
        GeometryCase{"valid", [](Qwen35Header&) {}, ""},
        GeometryCase{"hk_zero", [](Qwen35Header& s) { s.set("qwen35.ssm.group_count", u32(0)); },
                     "GDN Hv 4 not divisible by Hk 0"},
        GeometryCase{"hk_not_dividing", [](Qwen35Header& s) { s.set("qwen35.ssm.group_count", u32(3)); },
                     "GDN Hv 4 not divisible by Hk 3"},
        GeometryCase{"inner_size", [](Qwen35Header& s) { s.set("qwen35.ssm.inner_size", u32(31)); },
                     "GDN Hv*d 32 != ssm.inner_size 31"},
        // Sequences are sized by the metadata alone; the default limit is 16 GiB.
        GeometryCase{"state_over_default_limit",
                     [](Qwen35Header& s) {
                       s.set("qwen35.ssm.state_size", u32(1u << 15));
                       s.set("qwen35.ssm.inner_size", u32(1u << 17));
                     },
                     "model needs 51551142912 bytes of state, above the limit 17179869184"},
        GeometryCase{"state_overflows",
                     [](Qwen35Header& s) {
                       s.set("qwen35.ssm.state_size", u64(uint64_t{1} << 32));
                       s.set("qwen35.ssm.inner_size", u64(uint64_t{1} << 34));
                     },
                     "model needs more than 2^64 bytes of state, above the limit 17179869184"},
        GeometryCase{"state_over_set_limit", [](Qwen35Header&) {},
                     "model needs 6912 bytes of state, above the limit 6911", "6911"},
        GeometryCase{"state_at_set_limit", [](Qwen35Header&) {}, "", "6912"},
        GeometryCase{"qkv_rows", [](Qwen35Header& s) { s.tensors[1].dims = {32, 63}; },
                     "blk.0.attn_qkv ne1 63 != (2*Hk+Hv)*d = 64 (Hk=2, Hv=4, d=8)"},
        GeometryCase{"qkv_missing", [](Qwen35Header& s) { s.erase_tensor("blk.0.attn_qkv.weight"); },
                     "tensor blk.0.attn_qkv.weight not found"},
        GeometryCase{"alpha_rows", [](Qwen35Header& s) { s.tensors[2].dims = {32}; }, "blk.0.ssm_alpha ne1 0 != Hv 4"},
        // Only the first Gdn layer is inspected.
        GeometryCase{"second_layer_unchecked",
                     [](Qwen35Header& s) { s.tensors.push_back({"blk.1.attn_qkv.weight", {32, 3}, kF32, 0}); }, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
