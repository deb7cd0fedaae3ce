// Shared by the tokenizer tests, benchmark and fuzz target: a loader for the vocabulary
// JSON in the test data, a straightforward reference BPE, and random text generators.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "common/format.h"
#include "gguf/gguf.h"
#include "tokenizer/byte_mapping.h"
#include "tokenizer/pretokenize.h"

namespace kestrune::testing {

inline void put_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

inline std::string utf8_of(uint32_t cp) {
  std::string s;
  put_utf8(s, cp);
  return s;
}

// ---- Vocabulary JSON: {"tokens": [...], "merges": [...], ...} --------------------------

struct VocabLists {
  std::vector<std::string> tokens;
  std::vector<std::string> merges;
};

namespace detail {

inline void skip_ws(std::string_view s, size_t& i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) ++i;
}

inline bool read_hex4(std::string_view s, size_t& i, uint32_t& v) {
  if (i + 4 > s.size()) return false;
  v = 0;
  for (int k = 0; k < 4; ++k) {
    char c = s[i++];
    v <<= 4;
    if (c >= '0' && c <= '9') v |= c - '0';
    else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
    else return false;
  }
  return true;
}

inline bool read_string(std::string_view s, size_t& i, std::string& out) {
  if (i >= s.size() || s[i] != '"') return false;
  ++i;
  out.clear();
  while (i < s.size()) {
    char c = s[i++];
    if (c == '"') return true;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i >= s.size()) return false;
    char e = s[i++];
    switch (e) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        uint32_t cp;
        if (!read_hex4(s, i, cp)) return false;
        if (cp >= 0xD800 && cp < 0xDC00 && i + 6 <= s.size() && s[i] == '\\' && s[i + 1] == 'u') {
          i += 2;
          uint32_t lo;
          if (!read_hex4(s, i, lo)) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        }
        put_utf8(out, cp);
        break;
      }
      default: return false;
    }
  }
  return false;
}

inline bool read_string_array(std::string_view s, std::string_view key, std::vector<std::string>& out) {
  std::string needle = "\"";
  needle.append(key);
  needle += '"';
  size_t i = s.find(needle);
  if (i == std::string_view::npos) return false;
  i += key.size() + 2;
  skip_ws(s, i);
  if (i >= s.size() || s[i++] != ':') return false;
  skip_ws(s, i);
  if (i >= s.size() || s[i++] != '[') return false;
  std::string item;
  for (;;) {
    skip_ws(s, i);
    if (i < s.size() && s[i] == ']') return true;
    if (!read_string(s, i, item)) return false;
    out.push_back(item);
    skip_ws(s, i);
    if (i < s.size() && s[i] == ',') {
      ++i;
    } else if (i < s.size() && s[i] == ']') {
      return true;
    } else {
      return false;
    }
  }
}

}  // namespace detail

#ifdef KESTRUNE_SOURCE_DIR
inline std::string vocab_json_path() { return std::string(KESTRUNE_SOURCE_DIR) + "/../shared/testdata/qwen3-vocab.json"; }
#endif

// Absent when the file is missing or not of the expected shape.
inline std::optional<VocabLists> load_vocab_json(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream buf;
  buf << in.rdbuf();
  std::string text = buf.str();
  VocabLists v;
  if (!detail::read_string_array(text, "tokens", v.tokens)) return std::nullopt;
  if (!detail::read_string_array(text, "merges", v.merges)) return std::nullopt;
  return v;
}

// ---- Reference BPE: string symbols, one full scan per merge ----------------------------

struct ReferenceBpe {
  std::unordered_map<std::string, size_t> rank;
  std::unordered_map<std::string, uint32_t> id;
  bool has_merges = false;
};

inline ReferenceBpe make_reference(const std::vector<std::string>& tokens, const std::vector<std::string>& merges) {
  ReferenceBpe ref;
  for (size_t i = 0; i < tokens.size(); ++i) ref.id[tokens[i]] = static_cast<uint32_t>(i);
  for (size_t i = 0; i < merges.size(); ++i) ref.rank[merges[i]] = i;
  ref.has_merges = !merges.empty();
  return ref;
}

inline Result<std::vector<uint32_t>> reference_encode(const ReferenceBpe& ref, std::string_view text) {
  if (!ref.has_merges) return invalid_data("encode unavailable: GGUF carries no merges");
  std::vector<uint32_t> ids;
  for (std::string_view piece : pretokenize(text)) {
    std::vector<std::string> sym;
    for (char c : piece) sym.push_back(utf8_of(byte_to_char(static_cast<uint8_t>(c))));
    while (sym.size() >= 2) {
      size_t best = 0, best_rank = SIZE_MAX;
      for (size_t i = 0; i + 1 < sym.size(); ++i) {
        auto it = ref.rank.find(sym[i] + " " + sym[i + 1]);
        if (it != ref.rank.end() && it->second < best_rank) {
          best_rank = it->second;
          best = i;
        }
      }
      if (best_rank == SIZE_MAX) break;
      sym[best] += sym[best + 1];
      sym.erase(sym.begin() + static_cast<ptrdiff_t>(best) + 1);
    }
    for (const std::string& s : sym) {
      auto it = ref.id.find(s);
      if (it == ref.id.end()) return invalid_data(format("no vocab entry for merged part {}", kestrune::quoted(s)));
      ids.push_back(it->second);
    }
  }
  return ids;
}

// ---- Random text ------------------------------------------------------------------------

inline const std::vector<std::string>& sample_words() {
  static const std::vector<std::string> words = {
      "the", "of", "and", "to", "in", "is", "was", "it", "for", "that", "with", "on", "as",
      "model", "token", "merge", "encoder", "running", "quickly", "internationalization",
      "don't", "I'M", "we'll", "They've", "you're", "she'd", "it's", "O'Neil",
      "naïve", "café", "Straße", "Ελληνικά", "русский", "日本語", "中文字符", "한국어",
      "العربية", "हिन्दी", "ภาษาไทย", "עברית", "e\u0301", "👍", "👩\u200d💻", "🇩🇪",
      "x1", "42", "3.14159", "2024-01-01", "٣٤٥", "Ⅻ", "½", "<|im_start|>", "<|im_end|>",
      "std::vector<int>", "->", "!=", "==", "/* */", "//", "#include", "{", "}", "();",
  };
  return words;
}

// Separators between random words, white space of several kinds included.
inline const std::vector<std::string>& sample_separators() {
  static const std::vector<std::string> seps = {
      " ", " ", " ", "  ", "   ", "\n", "\n\n", " \n", "\t", "\r\n", ", ", ". ", "!", "?! ",
      "'", "' ", "\u00A0", "\u3000", "\u2028", "\u0085", " \u00A0 ", "...", " - ", "",
  };
  return seps;
}

// A code point drawn from all of Unicode (surrogates excluded), biased toward ASCII.
inline uint32_t random_code_point(std::mt19937& rng) {
  std::uniform_int_distribution<int> kind(0, 9);
  switch (kind(rng)) {
    case 0: case 1: case 2: return std::uniform_int_distribution<uint32_t>(0x00, 0x7F)(rng);
    case 3: return std::uniform_int_distribution<uint32_t>(0x80, 0x7FF)(rng);
    case 4: return std::uniform_int_distribution<uint32_t>(0x3000, 0x9FFF)(rng);
    case 5: return std::uniform_int_distribution<uint32_t>(0x1F300, 0x1FAFF)(rng);
    default: {
      uint32_t cp;
      do cp = std::uniform_int_distribution<uint32_t>(0, 0x10FFFF)(rng);
      while (cp >= 0xD800 && cp <= 0xDFFF);
      return cp;
    }
  }
}

inline std::string random_unicode(std::mt19937& rng, size_t chars) {
  std::string s;
  for (size_t i = 0; i < chars; ++i) put_utf8(s, random_code_point(rng));
  return s;
}

// Words, code, mixed scripts, random code points and long runs (which take the long-piece
// merge path).
inline std::string random_text(std::mt19937& rng) {
  const auto& words = sample_words();
  const auto& seps = sample_separators();
  std::uniform_int_distribution<int> kind(0, 9);
  std::string s;
  int k = kind(rng);
  if (k <= 5) {
    int n = std::uniform_int_distribution<int>(1, 40)(rng);
    for (int i = 0; i < n; ++i) {
      s += words[std::uniform_int_distribution<size_t>(0, words.size() - 1)(rng)];
      s += seps[std::uniform_int_distribution<size_t>(0, seps.size() - 1)(rng)];
    }
  } else if (k <= 7) {
    s = random_unicode(rng, std::uniform_int_distribution<size_t>(0, 60)(rng));
  } else {
    static const std::vector<std::string> units = {"a", "ab", " ", "!", "=", "-", "\n", "é", "中", "0", "ẞ", "\t"};
    const std::string& u = units[std::uniform_int_distribution<size_t>(0, units.size() - 1)(rng)];
    size_t reps = std::uniform_int_distribution<size_t>(20, 300)(rng);
    if (kind(rng) < 5) s += "x";
    for (size_t i = 0; i < reps; ++i) s += u;
    if (kind(rng) < 5) s += words[std::uniform_int_distribution<size_t>(0, words.size() - 1)(rng)];
  }
  return s;
}

// A small vocabulary learned from `corpus` by repeatedly merging the most frequent pair,
// plus all 256 byte symbols: every merge result is a token, so every text encodes.
inline VocabLists train_vocab(const std::vector<std::string>& corpus, size_t n_merges) {
  VocabLists v;
  for (unsigned b = 0; b < 256; ++b) v.tokens.push_back(utf8_of(byte_to_char(static_cast<uint8_t>(b))));
  std::vector<std::vector<std::string>> pieces;
  for (const auto& text : corpus) {
    for (std::string_view piece : pretokenize(text)) {
      std::vector<std::string> sym;
      for (char c : piece) sym.push_back(utf8_of(byte_to_char(static_cast<uint8_t>(c))));
      pieces.push_back(std::move(sym));
    }
  }
  for (size_t m = 0; m < n_merges; ++m) {
    std::map<std::pair<std::string, std::string>, size_t> count;
    for (const auto& sym : pieces) {
      for (size_t i = 0; i + 1 < sym.size(); ++i) ++count[{sym[i], sym[i + 1]}];
    }
    if (count.empty()) break;
    auto best = count.begin();
    for (auto it = count.begin(); it != count.end(); ++it) {
      if (it->second > best->second) best = it;
    }
    const auto& [l, r] = best->first;
    v.merges.push_back(l + " " + r);
    v.tokens.push_back(l + r);
    for (auto& sym : pieces) {
      for (size_t i = 0; i + 1 < sym.size(); ++i) {
        if (sym[i] == l && sym[i + 1] == r) {
          sym[i] += sym[i + 1];
          sym.erase(sym.begin() + static_cast<ptrdiff_t>(i) + 1);
        }
      }
    }
  }
  return v;
}

}  // namespace kestrune::testing
