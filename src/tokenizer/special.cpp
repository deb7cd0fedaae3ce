#include "tokenizer/special.h"

#include <algorithm>
#include <variant>

namespace kestrune {

namespace {

constexpr uint64_t kControl = 3;
constexpr uint64_t kUserDefined = 4;

void add(SpecialTokens& s, std::string_view literal, uint32_t id) {
  if (literal.empty()) return;
  s.ids.emplace(std::string(literal), id);
  s.first_byte[static_cast<unsigned char>(literal[0])] = true;
  if (std::find(s.lengths.begin(), s.lengths.end(), literal.size()) == s.lengths.end()) {
    s.lengths.push_back(literal.size());
  }
}

}  // namespace

SpecialTokens special_tokens(const GgufFile& file, const Tokenizer& tok) {
  SpecialTokens s;
  const size_t n = vocab_size(tok);
  const meta::ArrInt* types = nullptr;
  if (const MetaValue* v = meta_find(file, "tokenizer.ggml.token_type")) types = std::get_if<meta::ArrInt>(v);
  for (size_t i = 0; i < n; ++i) {
    auto bytes = token_bytes(tok, static_cast<uint32_t>(i));
    if (!bytes.ok()) continue;
    std::string_view b = *bytes;
    bool special = false;
    if (types != nullptr) {
      uint64_t t = i < types->v.size() ? types->v[i] : 1;
      special = t == kControl || t == kUserDefined;
      if (t == kControl) s.control.push_back(static_cast<uint32_t>(i));
    } else {
      special = b.size() > 4 && b.starts_with("<|") && b.ends_with("|>");
      if (special) s.control.push_back(static_cast<uint32_t>(i));
    }
    if (special) add(s, b, static_cast<uint32_t>(i));
  }
  std::sort(s.lengths.rbegin(), s.lengths.rend());
  return s;
}

Result<std::vector<uint32_t>> encode_with_specials(const Tokenizer& tok, const SpecialTokens& specials,
                                                   std::string_view text) {
  std::vector<uint32_t> out;
  size_t start = 0;
  auto flush = [&](size_t end) -> Status {
    if (end > start) {
      KS_TRY(std::vector<uint32_t> ids, encode(tok, text.substr(start, end - start)));
      out.insert(out.end(), ids.begin(), ids.end());
    }
    return Ok{};
  };
  for (size_t i = 0; i < text.size();) {
    size_t matched = 0;
    if (specials.first_byte[static_cast<unsigned char>(text[i])]) {
      for (size_t len : specials.lengths) {
        if (len > text.size() - i) continue;
        auto it = specials.ids.find(std::string(text.substr(i, len)));
        if (it != specials.ids.end()) {
          KS_CHECK(flush(i));
          out.push_back(it->second);
          matched = len;
          break;
        }
      }
    }
    if (matched != 0) {
      i += matched;
      start = i;
    } else {
      ++i;
    }
  }
  KS_CHECK(flush(text.size()));
  return out;
}

}  // namespace kestrune
