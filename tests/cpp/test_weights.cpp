#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "common/runtime_options.h"
#include "gguf_builder.h"
#include "quant/types.h"
#include "weights/model_file.h"
#include "weights/tensor_cache.h"

using namespace kestrune;
using kestrune::testing::GgufBuilder;

namespace {

// Writes a file with the given tensor records followed by `data_bytes` of data whose
// float values count up from 0 (as f32).
std::string write_file(const std::vector<TensorInfo>& tensors, size_t data_floats, uint32_t alignment = 32) {
  GgufBuilder b;
  b.header(tensors.size(), 1).kv_u32("general.alignment", alignment);
  for (const auto& t : tensors) b.tensor(t.name, t.dims, t.type, t.offset);
  b.pad_to(alignment);
  for (size_t i = 0; i < data_floats; ++i) b.put<float>(float(i));
  std::string path = kestrune::testing::temp_path("w.gguf");
  b.write(path);
  return path;
}

struct FileGuard {
  std::string path;
  ~FileGuard() { std::remove(path.c_str()); }
};

class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvGuard() {
    if (had_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(Weights, ViewsAndRows) {
  FileGuard f{write_file({{"m", {4, 3}, kF32, 0},
                          {"v", {4}, kF32, 48},
                          {"cube", {2, 2, 2}, kF32, 0},
                          {"empty_rows", {4, 0}, kF32, 0}},
                         16)};
  auto file = open_model_file(f.path);
  ASSERT_TRUE(file.ok()) << file.error().message;
  auto m = tensor_view(**file, "m");
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m->size, 48u);
  EXPECT_EQ(dequant_row(*m, 2).value(), (std::vector<float>{8, 9, 10, 11}));
  EXPECT_EQ(dequant_row(*m, 3).error().message, "row 3 out of range (3)");
  auto v = tensor_view(**file, "v");
  EXPECT_EQ(dequant_row(*v, 0).value(), (std::vector<float>{12, 13, 14, 15}));
  EXPECT_EQ(dequant_row(*v, 1).error().message, "row 1 out of range (1)");
  // Three dims flatten into rows of ne0.
  auto cube = tensor_view(**file, "cube");
  EXPECT_EQ(cube->size, 32u);
  EXPECT_EQ(dequant_row(*cube, 3).value(), (std::vector<float>{6, 7}));
  // A zero row count still spans one row in the view but has no rows to read.
  auto er = tensor_view(**file, "empty_rows");
  EXPECT_EQ(er->size, 16u);
  EXPECT_EQ(dequant_row(*er, 0).error().message, "row 0 out of range (0)");
  EXPECT_EQ(tensor_view(**file, "nope").error().message, "tensor nope not found");
}

TEST(Weights, BoundsAndOverflow) {
  // The data section starts at the aligned end of the header; compute it from a parse.
  std::vector<TensorInfo> tensors = {{"fits", {4}, kF32, 0},
                                     {"past", {4}, kF32, 1},
                                     {"huge_offset", {4}, kF32, UINT64_MAX - 8},
                                     {"huge_rows", {32, uint64_t(1) << 62}, kQ8_0, 0},
                                     {"dim_product", {4, uint64_t(1) << 40, uint64_t(1) << 40}, kF32, 0},
                                     {"bad_type", {4}, 2, 0}};
  FileGuard f{write_file(tensors, 4)};
  auto file = open_model_file(f.path);
  ASSERT_TRUE(file.ok()) << file.error().message;
  const uint64_t data = (*file)->gguf.data_offset, size = (*file)->file_size();
  ASSERT_EQ(size, data + 16);
  EXPECT_TRUE(tensor_view(**file, "fits").ok());
  EXPECT_EQ(tensor_view(**file, "past").error().message,
            "tensor past: [" + std::to_string(data + 1) + ", " + std::to_string(data + 17) +
                ") exceeds file size " + std::to_string(size));
  for (const char* name : {"huge_offset", "huge_rows", "dim_product"}) {
    auto r = tensor_view(**file, name);
    ASSERT_FALSE(r.ok()) << name;
    EXPECT_NE(r.error().message.find("exceeds file size"), std::string::npos) << r.error().message;
  }
  EXPECT_EQ(tensor_view(**file, "bad_type").error().message, "row size for Q4_0 unknown");
}

TEST(Weights, CacheModesAndHead) {
  FileGuard f{write_file({{"token_embd.weight", {4, 2}, kF32, 0}, {"small", {2}, kF32, 32}}, 10)};
  auto file = open_model_file(f.path);
  ASSERT_TRUE(file.ok());
  for (auto mode : {WeightsMode::Eager, WeightsMode::Lazy}) {
    auto cache = build_tensor_cache(**file, mode);
    ASSERT_TRUE(cache.ok()) << cache.error().message;
    auto embd = cached_tensor(*cache, "token_embd.weight");
    ASSERT_TRUE(embd.ok());
    EXPECT_EQ((*embd)->data, (std::vector<float>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ((*embd)->dims, (std::vector<uint64_t>{4, 2}));
    EXPECT_EQ(cached_tensor(*cache, "x").error().message, "tensor x not cached (large tensor in lazy mode?)");
  }
  EXPECT_EQ(choose_logits_head((*file)->gguf).label, std::string("tied (token_embd)"));

  ::testing::internal::CaptureStderr();
  auto w = load_weights(**file, WeightsMode::Eager);
  std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(err, "# logits head: tied (token_embd)\n# weights mode: eager\n");
}

TEST(Weights, LazyThresholdAndUntiedHead) {
  // 524288 elements are cached lazily, 524289 are not.
  const uint64_t n = kLazyCacheMaxElements;
  FileGuard f{write_file({{"at_limit", {n}, kF32, 0}, {"over", {n + 1}, kF32, 0}, {"output.weight", {2}, kF32, 0}},
                         n + 1)};
  auto file = open_model_file(f.path);
  ASSERT_TRUE(file.ok());
  auto cache = build_tensor_cache(**file, WeightsMode::Lazy);
  ASSERT_TRUE(cache.ok());
  EXPECT_TRUE(cached_tensor(*cache, "at_limit").ok());
  EXPECT_EQ(cached_tensor(*cache, "over").error().message, "tensor over not cached (large tensor in lazy mode?)");
  EXPECT_EQ(choose_logits_head((*file)->gguf).label, std::string("untied (output.weight)"));
}

TEST(Weights, ModeChoiceIsStreamedUnlessEagerIsAsked) {
  struct Case {
    const char* backend;
    const char* weights;
    const char* cpu_xquant;
    WeightsMode want;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, WeightsMode::Lazy}, {"cpu", nullptr, nullptr, WeightsMode::Lazy},
      {"cuda", nullptr, nullptr, WeightsMode::Lazy},  {nullptr, "eager", nullptr, WeightsMode::Eager},
      {"cuda", "eager", nullptr, WeightsMode::Eager}, {nullptr, "Eager", nullptr, WeightsMode::Lazy},
      {nullptr, "fast", nullptr, WeightsMode::Lazy},  {nullptr, "\xff", nullptr, WeightsMode::Lazy},
      {nullptr, "lazy", nullptr, WeightsMode::Lazy},  {nullptr, "eager", "q8", WeightsMode::Lazy},
      {"cuda", "eager", "q8", WeightsMode::Eager},
  };
  for (const auto& c : cases) {
    EnvGuard b("KESTRUNE_BACKEND", c.backend);
    EnvGuard w("KESTRUNE_WEIGHTS", c.weights);
    EnvGuard x("KESTRUNE_CPU_XQUANT", c.cpu_xquant);
    EXPECT_EQ(choose_weights_mode(read_runtime_options()), c.want)
        << (c.backend ? c.backend : "-") << " " << (c.weights ? c.weights : "-") << " " << (c.cpu_xquant ? "q8" : "-");
  }
}

TEST(Weights, RowlessTensorsAreRefused) {
  for (auto dims : {std::vector<uint64_t>{}, std::vector<uint64_t>{0, 4}}) {
    FileGuard f{write_file({{"t", dims, kF32, 0}}, 4)};
    auto file = open_model_file(f.path);
    ASSERT_TRUE(file.ok());
    for (auto mode : {WeightsMode::Eager, WeightsMode::Lazy}) {
      auto cache = build_tensor_cache(**file, mode);
      ASSERT_FALSE(cache.ok());
      EXPECT_NE(cache.error().message.find("have no row length"), std::string::npos);
    }
  }
}

TEST(Weights, QuantizedRowsFromFile) {
  // One Q8_0 row of two blocks with d = 1 and d = 0.5.
  GgufBuilder b;
  b.header(1, 0).tensor("q", {64, 1}, kQ8_0, 0).pad_to(32);
  for (uint16_t d : {uint16_t(0x3c00), uint16_t(0x3800)}) {
    b.put<uint16_t>(d);
    for (int i = 0; i < 32; ++i) b.put<int8_t>(int8_t(i - 16));
  }
  FileGuard f{kestrune::testing::temp_path("q.gguf")};
  b.write(f.path);
  auto file = open_model_file(f.path);
  ASSERT_TRUE(file.ok());
  auto row = dequant_row(*tensor_view(**file, "q"), 0);
  ASSERT_TRUE(row.ok());
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ((*row)[i], float(i - 16));
    EXPECT_EQ((*row)[32 + i], 0.5f * float(i - 16));
  }
}

}  // namespace
