// Arbitrary bytes, made valid UTF-8, must encode, decode back to themselves, and agree
// with the plain rescanning implementation of the merge rule.
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "common/utf8.h"
#include "tokenizer/pretokenize.h"
#include "tokenizer/tokenizer.h"
#include "../tests/cpp/tokenizer_support.h"

namespace {

using namespace kestrune;

struct Fixture {
  testing::VocabLists vocab;
  Tokenizer tok;
  testing::ReferenceBpe ref;
};

const Fixture& fixture() {
  static const Fixture f = [] {
    std::mt19937 rng(11);
    std::vector<std::string> corpus;
    for (int i = 0; i < 60; ++i) corpus.push_back(testing::random_text(rng));
    Fixture out;
    out.vocab = testing::train_vocab(corpus, 150);
    auto tok = tokenizer_from_lists(out.vocab.tokens, out.vocab.merges);
    if (!tok.ok()) std::abort();
    out.tok = std::move(tok).value();
    out.ref = testing::make_reference(out.vocab.tokens, out.vocab.merges);
    return out;
  }();
  return f;
}

// Valid sequences are kept; every byte that starts no valid sequence becomes U+FFFD.
std::string to_utf8(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::string out;
  for (size_t i = 0; i < in.size();) {
    size_t n = utf8_sequence_length(in, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(in.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Fixture& f = fixture();
  const std::string text = to_utf8(data, size);

  std::string joined;
  for (std::string_view piece : pretokenize(text)) {
    if (piece.empty()) std::abort();
    joined += piece;
  }
  if (joined != text) std::abort();

  auto ids = encode(f.tok, text);
  if (!ids.ok()) std::abort();
  auto back = decode(f.tok, *ids);
  if (!back.ok() || *back != text) std::abort();

  if (text.size() <= 4096) {  // the reference is quadratic per piece
    auto want = testing::reference_encode(f.ref, text);
    if (!want.ok() || *want != *ids) std::abort();
  }
  return 0;
}
