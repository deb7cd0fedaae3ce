// Tokenizer speed on the production-size vocabulary: construction, and encode throughput
// on English prose, source code and CJK text (targets: construction under 150 ms, prose
// at 10 MB/s or more on one core).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "tokenizer/tokenizer.h"
#include "../tests/cpp/tokenizer_support.h"

namespace {

using namespace kestrune;

const testing::VocabLists& vocab() {
  static const std::optional<testing::VocabLists> v = testing::load_vocab_json(testing::vocab_json_path());
  if (!v) {
    std::fprintf(stderr, "bench_tokenizer: cannot read %s\n", testing::vocab_json_path().c_str());
    std::exit(1);
  }
  return *v;
}

const Tokenizer& tokenizer() {
  static const Tokenizer tok = [] {
    auto t = tokenizer_from_lists(vocab().tokens, vocab().merges);
    if (!t.ok()) {
      std::fprintf(stderr, "bench_tokenizer: %s\n", t.error().message.c_str());
      std::exit(1);
    }
    return std::move(t).value();
  }();
  return tok;
}

const char* kProse =
    "The history of the printing press is, in many ways, the history of the modern world. Before "
    "Gutenberg's workshop in Mainz began turning out pages in the middle of the fifteenth century, "
    "books were copied by hand, slowly and at great cost; a single Bible could occupy a scribe for "
    "years. Within fifty years of the first printed editions, millions of volumes were circulating "
    "across Europe. Scholars who had never met could now read the same text, line for line, and "
    "argue about it in letters that crossed the continent.\n\n"
    "It wasn't only scholarship that changed. Merchants kept better accounts, governments printed "
    "their laws, and pamphlets carried news (and rumours) faster than any messenger. Some historians "
    "argue that the Reformation would have been impossible without cheap print; others say that's "
    "too simple, that ideas spread because people were ready for them. Either way, the numbers are "
    "striking: by 1500 there were presses in more than 250 cities, and they'd produced something like "
    "twenty million books.\n\n"
    "We often forget how strange this must have seemed. A reader in 1480 could hold two copies of the "
    "same book and find them identical, down to the last comma. \"How can this be?\" one monk is said to "
    "have asked. The answer, of course, was movable type: small metal letters, cast in moulds, set by "
    "hand into lines, inked, and pressed onto damp paper. It's a technique that remained essentially "
    "unchanged for the next four hundred years.\n\n";

const char* kCode =
    "#include <algorithm>\n#include <vector>\n\nnamespace util {\n\n"
    "// Returns the indices of the k largest values, largest first.\n"
    "std::vector<size_t> top_k(const std::vector<float>& values, size_t k) {\n"
    "  std::vector<size_t> idx(values.size());\n"
    "  for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;\n"
    "  k = std::min(k, idx.size());\n"
    "  std::partial_sort(idx.begin(), idx.begin() + k, idx.end(),\n"
    "                    [&](size_t a, size_t b) { return values[a] > values[b]; });\n"
    "  idx.resize(k);\n  return idx;\n}\n\n}  // namespace util\n\n"
    "def parse_config(path: str) -> dict[str, int]:\n"
    "    \"\"\"Reads KEY=VALUE lines, skipping comments.\"\"\"\n"
    "    result = {}\n"
    "    with open(path, encoding=\"utf-8\") as f:\n"
    "        for lineno, line in enumerate(f, start=1):\n"
    "            line = line.strip()\n"
    "            if not line or line.startswith('#'):\n"
    "                continue\n"
    "            key, _, value = line.partition('=')\n"
    "            if not value:\n"
    "                raise ValueError(f\"{path}:{lineno}: missing '='\")\n"
    "            result[key.strip().lower()] = int(value, 0)\n"
    "    return result\n\n"
    "if __name__ == \"__main__\":\n    print(parse_config(\"settings.ini\"))\n\n";

const char* kCjk =
    "印刷术的历史在很多方面就是现代世界的历史。在十五世纪中叶古腾堡的作坊开始印刷书页之前，"
    "书籍都是手工抄写的，既缓慢又昂贵；一部圣经可能要花费一位抄写员好几年的时间。"
    "第一批印刷版本问世后不到五十年，数以百万计的书籍已经在欧洲各地流通。"
    "从未谋面的学者现在可以逐行阅读同一部文本，并在横跨大陆的书信中展开争论。\n"
    "活版印刷の技術は、その後四百年にわたってほとんど変わらなかった。"
    "小さな金属の文字を型で鋳造し、手で行に組み、インクをつけて湿った紙に押しつける。"
    "ある修道士は「どうしてこんなことが可能なのか」と尋ねたと言われている。\n"
    "인쇄술은 지식의 확산 속도를 완전히 바꾸어 놓았다. 상인들은 장부를 더 잘 관리했고, 정부는 법을 인쇄했다.\n";

std::string repeated(const char* text, size_t min_bytes) {
  std::string s;
  while (s.size() < min_bytes) s += text;
  return s;
}

void BM_Construct(benchmark::State& state) {
  const auto& v = vocab();
  for (auto _ : state) {
    auto tok = tokenizer_from_lists(v.tokens, v.merges);
    benchmark::DoNotOptimize(tok);
  }
  state.SetLabel("151k tokens + 151k merges");
}
BENCHMARK(BM_Construct)->Unit(benchmark::kMillisecond);

void encode_bench(benchmark::State& state, const char* sample) {
  const Tokenizer& tok = tokenizer();
  const std::string text = repeated(sample, 1 << 20);
  size_t n_tokens = 0;
  for (auto _ : state) {
    auto ids = encode(tok, text);
    if (!ids.ok()) state.SkipWithError(ids.error().message.c_str());
    n_tokens = ids.ok() ? ids->size() : 0;
    benchmark::DoNotOptimize(ids);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["bytes/token"] = n_tokens ? static_cast<double>(text.size()) / n_tokens : 0.0;
}

void BM_EncodeProse(benchmark::State& state) { encode_bench(state, kProse); }
void BM_EncodeCode(benchmark::State& state) { encode_bench(state, kCode); }
void BM_EncodeCjk(benchmark::State& state) { encode_bench(state, kCjk); }
BENCHMARK(BM_EncodeProse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeCode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeCjk)->Unit(benchmark::kMillisecond);

void BM_Decode(benchmark::State& state) {
  const Tokenizer& tok = tokenizer();
  const std::string text = repeated(kProse, 1 << 20);
  auto ids = encode(tok, text);
  for (auto _ : state) {
    auto back = decode(tok, *ids);
    benchmark::DoNotOptimize(back);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);

// The chat front end's marker lookup; "<|im_end|>" sits near the end of the vocabulary.
void BM_FindMarker(benchmark::State& state) {
  const Tokenizer& tok = tokenizer();
  for (auto _ : state) benchmark::DoNotOptimize(find_token_id(tok, "<|im_end|>"));
}
BENCHMARK(BM_FindMarker)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
