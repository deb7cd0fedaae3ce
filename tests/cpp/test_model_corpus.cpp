// Broken model files: every required tensor dropped in turn, misshaped tensors, and
// the shared corruption corpus. Each must fail the load or the first forward with its
// message, in both weight modes, and never crash.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "model/forward.h"
#include "model/model.h"
#include "model_fixture.h"
#include "gguf_builder.h"

namespace kestrune {
namespace {

using testing::generated_model;
using testing::run_python;
using testing::ScopedEnv;

const char* kTiny = "--preset tiny --seed 1";

struct Outcome {
  bool loaded = false;
  std::string error;  // empty when load and one forward both succeed
};

Outcome load_and_step(const std::string& path, const char* mode) {
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  ScopedEnv env{{"KESTRUNE_WEIGHTS", mode}};
  Outcome o;
  ::testing::internal::CaptureStderr();
  auto m = load_model(path);
  if (m.ok()) {
    o.loaded = true;
    DecodeState st = new_state(**m);
    auto l = forward(**m, st, 1);
    if (!l.ok()) o.error = l.error().message;
  } else {
    o.error = m.error().message;
  }
  ::testing::internal::GetCapturedStderr();
  return o;
}

std::string corpus_dir(const std::string& stem) { return testing::temp_path(stem); }

void remove_dir(const std::string& dir) { std::system(("rm -rf '" + dir + "'").c_str()); }

TEST(ModelCorpus, EveryDroppedTensorFailsWithItsMessage) {
  auto tiny = generated_model(kTiny);
  if (!tiny) GTEST_SKIP() << "python3 with numpy is unavailable";
  const std::string dir = corpus_dir("drops");
  ASSERT_TRUE(run_python("tools/model_corpus.py '" + *tiny + "' '" + dir + "' --drop-all"));

  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  ::testing::internal::CaptureStderr();
  auto base = load_model(*tiny);
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(base.ok());
  for (const auto& t : (*base)->file->gguf.tensors) {
    const std::string& name = t.name;
    const bool vector_like = t.dims.size() == 1 || name.find("ssm_conv1d") != std::string::npos;
    const bool small_matrix = name.find("ssm_alpha") != std::string::npos || name.find("ssm_beta") != std::string::npos;
    for (const char* mode : {"eager", "lazy"}) {
      std::string want;
      bool at_load = false;
      if (name == "token_embd.weight") {
        want = "token_embd.weight not found", at_load = true;
      } else if (name == "blk.3.attn_q.weight") {
        want = "layer 3: tensor names say Gdn, full_attention_interval=4 says Attention", at_load = true;
      } else if (name == "blk.0.attn_qkv.weight" || name == "blk.0.ssm_alpha.weight") {
        want = "tensor " + name + " not found", at_load = true;
      } else if (vector_like || (small_matrix && std::string(mode) == "lazy")) {
        want = "tensor " + name + " not cached (large tensor in lazy mode?)";
      } else {
        want = "tensor " + name + " not found";
      }
      Outcome o = load_and_step(dir + "/drop__" + name + ".gguf", mode);
      EXPECT_EQ(o.loaded, !at_load) << name << " " << mode;
      EXPECT_EQ(o.error, want) << name << " " << mode;
    }
  }
  remove_dir(dir);
}

TEST(ModelCorpus, MisshapedTensors) {
  auto tiny = generated_model(kTiny);
  if (!tiny) GTEST_SKIP() << "python3 with numpy is unavailable";
  struct Case {
    const char* label;
    const char* tensor;
    const char* dims;
    bool at_load;
    const char* eager;  // "" = load and forward succeed
    const char* lazy;
  };
  const Case cases[] = {
      {"embd", "token_embd.weight", "128,512", true, "token_embd dims [128, 512] inconsistent with embedding_length 256",
       "token_embd dims [128, 512] inconsistent with embedding_length 256"},
      {"qkv0", "blk.0.attn_qkv.weight", "256,448", true,
       "blk.0.attn_qkv ne1 448 != (2*Hk+Hv)*d = 512 (Hk=2, Hv=4, d=64)",
       "blk.0.attn_qkv ne1 448 != (2*Hk+Hv)*d = 512 (Hk=2, Hv=4, d=64)"},
      {"alpha0", "blk.0.ssm_alpha.weight", "256,5", true, "blk.0.ssm_alpha ne1 5 != Hv 4",
       "blk.0.ssm_alpha ne1 5 != Hv 4"},
      {"qkv1", "blk.1.attn_qkv.weight", "256,448", false,
       "gdn_mixer: qkv/conv geometry mismatch (qkv 448, conv 1536, width 512)",
       "gdn_mixer: qkv/conv geometry mismatch (qkv 448, conv 1536, width 512)"},
      {"conv0", "blk.0.ssm_conv1d.weight", "3,512", false,
       "gdn_mixer: conv weight dims [3, 512] too small for conv_kernel 4 x channels 512",
       "blk.0.ssm_conv1d dims [3, 512] inconsistent with conv_kernel 4"},
      {"conv0wide", "blk.0.ssm_conv1d.weight", "5,512", false, "",
       "blk.0.ssm_conv1d dims [5, 512] inconsistent with conv_kernel 4"},
      {"alpha2", "blk.2.ssm_alpha.weight", "256,3", false, "gdn_mixer: ssm_alpha/ssm_beta rows 3, 4 < Hv 4",
       "gdn_mixer: ssm_alpha/ssm_beta rows 3, 4 < Hv 4"},
      {"q3", "blk.3.attn_q.weight", "256,384", false, "attn_mixer: q rows 384 != 2*n_head*hd_k 512",
       "attn_mixer: q rows 384 != 2*n_head*hd_k 512"},
      {"k3", "blk.3.attn_k.weight", "256,64", false, "attn_mixer: k/v projection geometry mismatch",
       "attn_mixer: k/v projection geometry mismatch"},
      {"v3", "blk.3.attn_v.weight", "256,256", false, "attn_mixer: k/v projection geometry mismatch",
       "attn_mixer: k/v projection geometry mismatch"},
      {"out3", "blk.3.attn_output.weight", "256,255", false, "attn_mixer: out rows 255 != hidden 256",
       "attn_mixer: out rows 255 != hidden 256"},
      {"gate1", "blk.1.attn_gate.weight", "256,192", false, "gdn_mixer: gate rows 192 != inner 256",
       "gdn_mixer: gate rows 192 != inner 256"},
      {"ssmout1", "blk.1.ssm_out.weight", "256,128", false, "gdn_mixer: out rows 128 != hidden 256",
       "gdn_mixer: out rows 128 != hidden 256"},
      // A dense copy is never length-checked against x; a streamed tensor is.
      {"ffngate0", "blk.0.ffn_gate.weight", "288,512", false, "",
       "blk.0.ffn_gate.weight: matvec x len 256 != ne0 288"},
      {"ffndown0", "blk.0.ffn_down.weight", "512,255", false,
       "ffn_swiglu: tensor geometry mismatch (gate 512, up 512, down 255, hidden 256)",
       "ffn_swiglu: tensor geometry mismatch (gate 512, up 512, down 255, hidden 256)"},
      {"qnorm3", "blk.3.attn_q_norm.weight", "64", false, "attn_mixer: norm geometry mismatch",
       "attn_mixer: norm geometry mismatch"},
      {"ssmnorm1", "blk.1.ssm_norm.weight", "32", false, "gdn_mixer: ssm_norm length 32 < d 64",
       "gdn_mixer: ssm_norm length 32 < d 64"},
      {"ssma2", "blk.2.ssm_a", "3", false, "gdn_mixer: ssm_a/ssm_dt.bias lengths 3, 4 < Hv 4",
       "gdn_mixer: ssm_a/ssm_dt.bias lengths 3, 4 < Hv 4"},
      {"attnnorm0", "blk.0.attn_norm.weight", "128", false, "gdn_mixer: norm geometry mismatch",
       "gdn_mixer: norm geometry mismatch"},
      {"postnorm2", "blk.2.post_attention_norm.weight", "128", false, "ffn_swiglu: norm geometry mismatch",
       "ffn_swiglu: norm geometry mismatch"},
      {"outnorm", "output_norm.weight", "255", false, "output_norm: norm weight 255 < 256",
       "output_norm: norm weight 255 < 256"},
  };
  const std::string dir = corpus_dir("shapes");
  std::string args = "tools/model_corpus.py '" + *tiny + "' '" + dir + "'";
  for (const auto& c : cases) args += std::string(" --shape ") + c.label + ":" + c.tensor + ":" + c.dims;
  ASSERT_TRUE(run_python(args));
  for (const auto& c : cases) {
    for (const char* mode : {"eager", "lazy"}) {
      const std::string want = std::string(mode) == "eager" ? c.eager : c.lazy;
      Outcome o = load_and_step(dir + "/shape__" + c.label + ".gguf", mode);
      EXPECT_EQ(o.loaded, !c.at_load) << c.label << " " << mode;
      EXPECT_EQ(o.error, want) << c.label << " " << mode;
    }
  }
  remove_dir(dir);
}

TEST(ModelCorpus, SharedCorruptionCorpusStopsAtTheExpectedStage) {
  auto tiny = generated_model(kTiny);
  if (!tiny) GTEST_SKIP() << "python3 with numpy is unavailable";
  const std::string dir = corpus_dir("corrupt");
  ASSERT_TRUE(run_python("tools/corrupt.py --all '" + dir + "' '" + *tiny + "'"));
  std::ifstream manifest(dir + "/MANIFEST.tsv");
  ASSERT_TRUE(manifest);
  std::string line;
  std::getline(manifest, line);  // header
  int checked = 0;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string name, expect;
    std::getline(fields, name, '\t');
    std::getline(fields, expect, '\t');
    for (const char* mode : {"eager", "lazy"}) {
      Outcome o = load_and_step(dir + "/" + name + ".gguf", mode);
      if (expect == "header" || expect == "load") {
        EXPECT_FALSE(o.loaded) << name << " " << mode;
        EXPECT_FALSE(o.error.empty()) << name << " " << mode;
      } else if (expect == "forward") {
        EXPECT_TRUE(o.loaded) << name << " " << mode << ": " << o.error;
        EXPECT_FALSE(o.error.empty()) << name << " " << mode;
      } else if (expect == "ok" || expect == "tokenizer" || expect == "encode") {
        EXPECT_EQ(o.error, "") << name << " " << mode;
      }  // "open": either way, as long as nothing crashes
    }
    ++checked;
  }
  EXPECT_GT(checked, 40);
  remove_dir(dir);
}

}  // namespace
}  // namespace kestrune
