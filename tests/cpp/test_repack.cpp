// A packed model holds about one copy of its weights: the mapped pages of every packed
// tensor are released at load and stay released while tokens run.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "backend/cpu/matvec_fast.h"
#include "common/runtime_options.h"
#include "model/forward.h"
#include "model/model.h"
#include "model_fixture.h"

namespace kestrune {
namespace {

using testing::generated_model;
using testing::ScopedEnv;

// Resident bytes of this process's mappings of `path`.
uint64_t mapped_resident(const std::string& path) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  uint64_t kib = 0;
  while (std::getline(smaps, line)) {
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    if (!first.empty() && first.back() != ':') {  // a mapping's header line
      inside = line.ends_with(path);
    } else if (inside && line.rfind("Rss:", 0) == 0) {
      kib += std::stoull(line.substr(4));
    }
  }
  return kib * 1024;
}

TEST(PackedModel, MappedPagesStayReleased) {
  if (!fast_matvec_available() || reference_forced()) GTEST_SKIP() << "no packed route here";
  auto path = generated_model("--preset small --seed 3 --types q8_0");
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  ScopedEnv env{KESTRUNE_CLEAN_ENV};
  ScopedEnv lazy{{"KESTRUNE_WEIGHTS", "lazy"}, {"KESTRUNE_THREADS", "1"}};
  ::testing::internal::CaptureStderr();
  auto m = load_model(*path);
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(m.ok()) << m.error().message;
  const uint64_t file = (*m)->file->file_size();
  uint64_t packed = 0;
  for (const auto& t : (*m)->weights.packed) packed += t.rows->group_bytes * ((t.rows->rows + 15) / 16);
  // Most of the file is packed, into about its own size.
  EXPECT_GT(packed, file / 2);
  EXPECT_LT(packed, file + file / 20);
  EXPECT_LT(mapped_resident(*path), file / 10) << "after load";
  DecodeState st = new_state(**m);
  for (uint32_t token : {1u, 2u, 3u}) ASSERT_TRUE(forward(**m, st, token).ok());
  EXPECT_LT(mapped_resident(*path), file / 10) << "after three tokens";
}

}  // namespace
}  // namespace kestrune
