#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tokenizer/pretokenize.h"
#include "tokenizer/unicode_tables.h"

namespace kestrune {
namespace {

using Pieces = std::vector<std::string>;

Pieces pieces_of(std::string_view text) {
  Pieces out;
  for (std::string_view p : pretokenize(text)) out.emplace_back(p);
  return out;
}

struct SplitCase {
  const char* name;
  std::string text;
  Pieces pieces;
};

void expect_splits(const std::vector<SplitCase>& cases) {
  for (const auto& c : cases) EXPECT_EQ(pieces_of(c.text), c.pieces) << c.name;
}

TEST(Pretokenize, DocumentedExamples) {
  expect_splits({
      {"words", "Hello world", {"Hello", " world"}},
      {"contraction", "it's", {"it", "'s"}},
      {"upper contraction", "IT'S", {"IT", "'S"}},
      {"contraction first", "'sup", {"'s", "up"}},
      {"digits", "abc123", {"abc", "1", "2", "3"}},
      {"two blanks", "a  b", {"a", " ", " b"}},
      {"blank before newlines", "a \n\nb", {"a", " \n\n", "b"}},
      {"punctuation and newlines", "x!!\n\ny", {"x", "!!\n\n", "y"}},
      {"blank led punctuation", " ??", {" ??"}},
      {"combining mark", "e\u0301", {"e\u0301"}},
      {"trailing apostrophe", "dogs'", {"dogs", "'"}},
  });
}

TEST(Pretokenize, ContractionsInEveryCaseMix) {
  for (std::string c : {"s", "t", "m", "d", "ll", "re", "ve"}) {
    for (unsigned mask = 0; mask < (1u << c.size()); ++mask) {
      std::string suffix = c;
      for (size_t k = 0; k < c.size(); ++k) {
        if (mask & (1u << k)) suffix[k] = static_cast<char>(suffix[k] - 32);
      }
      EXPECT_EQ(pieces_of("x'" + suffix + "yz"), (Pieces{"x", "'" + suffix, "yz"})) << suffix;
    }
  }
}

TEST(Pretokenize, NearContractions) {
  expect_splits({
      {"lone l", "x'l", {"x", "'l"}},
      {"l then other", "x'lo", {"x", "'lo"}},
      {"r without e", "x'ra", {"x", "'ra"}},
      {"apostrophe blank", "x' s", {"x", "'", " s"}},
      {"apostrophe digit", "'5", {"'", "5"}},
      {"apostrophe run", "''s", {"''", "s"}},
      // Only ASCII letters fold: the long s and a fullwidth S are plain letters.
      {"long s", "'\u017Fup", {"'\u017Fup"}},
      {"fullwidth s", "x'\uFF33up", {"x", "'\uFF33up"}},
      {"dotted capital i", "'\u0130ll", {"'\u0130ll"}},
  });
}

TEST(Pretokenize, SpaceRuns) {
  expect_splits({
      {"before word", "a   b", {"a", "  ", " b"}},
      {"before newline", "a  \nb", {"a", "  \n", "b"}},
      {"at end", "a  ", {"a", "  "}},
      {"single at end", "a ", {"a", " "}},
      {"only spaces", "   ", {"   "}},
      {"through last newline", "a \n \n  b", {"a", " \n \n", " ", " b"}},
      {"after newline at end", "a\n  ", {"a", "\n", "  "}},
      {"newline leads no word", "\nfoo", {"\n", "foo"}},
      {"tab leads a word", "\tfoo", {"\tfoo"}},
      {"crlf", "a\r\nb", {"a", "\r\n", "b"}},
      {"blank before digit", "a 1", {"a", " ", "1"}},
      {"blanks before punctuation", "a  !", {"a", " ", " !"}},
  });
}

TEST(Pretokenize, UnicodeWhiteSpace) {
  expect_splits({
      {"no-break space leads word", "a\u00A0b", {"a", "\u00A0b"}},
      {"ideographic spaces", "a\u3000\u3000b", {"a", "\u3000", "\u3000b"}},
      {"line separator is no newline", "a\u2028\u2028b", {"a", "\u2028", "\u2028b"}},
      {"next line before newline", "a\u0085\nb", {"a", "\u0085\n", "b"}},
      {"next line at end", "x\u0085", {"x", "\u0085"}},
      {"punctuation keeps only cr/lf", "!!\u2028\n", {"!!", "\u2028\n"}},
      {"punctuation then newline", "!!\r\n\r\nx", {"!!\r\n\r\n", "x"}},
      {"mixed run", "a \u00A0\u3000b", {"a", " \u00A0", "\u3000b"}},
  });
}

TEST(Pretokenize, DigitsNeverGroup) {
  expect_splits({
      {"ascii", "12345", {"1", "2", "3", "4", "5"}},
      {"blank led", " 42", {" ", "4", "2"}},
      {"arabic-indic", "x\u0663\u0664", {"x", "\u0663", "\u0664"}},
      {"letter number", "\u216B\u216B", {"\u216B", "\u216B"}},
      {"vulgar fraction", "a\u00BD", {"a", "\u00BD"}},
      {"decimal", "3.14", {"3", ".", "1", "4"}},
  });
}

TEST(Pretokenize, MarksCountAsLetters) {
  expect_splits({
      {"leading mark", "\u0301abc", {"\u0301abc"}},
      {"blank then mark", " \u0301", {" \u0301"}},
      {"mark after digit", "1\u0301", {"1", "\u0301"}},
      {"enclosing mark", "a\u20DD!", {"a\u20DD", "!"}},
  });
}

TEST(Pretokenize, Scripts) {
  expect_splits({
      {"cjk", "日本語のテキスト", {"日本語のテキスト"}},
      {"cjk punctuation", "中文，字符。", {"中文", "，字符", "。"}},
      {"arabic", "مرحبا بالعالم", {"مرحبا", " بالعالم"}},
      {"devanagari", "नमस्ते दुनिया", {"नमस्ते", " दुनिया"}},
      {"thai", "ภาษาไทย", {"ภาษาไทย"}},
      {"emoji zwj", "a\U0001F469\u200D\U0001F4BBb", {"a", "\U0001F469\u200D\U0001F4BB", "b"}},
      {"emoji run", "hi \U0001F44D\U0001F44D", {"hi", " \U0001F44D\U0001F44D"}},
  });
}

TEST(Pretokenize, MarkerAndCode) {
  expect_splits({
      {"marker", "<|im_start|>user\n", {"<|", "im", "_start", "|>", "user", "\n"}},
      {"code", "if (x==1) {\n  return y;\n}", {"if", " (", "x", "==", "1", ")", " {\n", " ", " return", " y", ";\n", "}"}},
  });
}

TEST(Pretokenize, CharacterClasses) {
  struct Case {
    uint32_t cp;
    uint8_t flags;
  };
  const Case cases[] = {
      {'a', kCharLetter}, {'7', kCharNumber}, {'_', 0}, {'\'', 0},
      {'\n', kCharSpace | kCharNewline}, {'\r', kCharSpace | kCharNewline}, {'\t', kCharSpace},
      {0x0B, kCharSpace}, {0x85, kCharSpace}, {0xA0, kCharSpace}, {0x1680, kCharSpace},
      {0x200A, kCharSpace}, {0x200B, 0}, {0x2028, kCharSpace}, {0x2029, kCharSpace},
      {0x202F, kCharSpace}, {0x205F, kCharSpace}, {0x3000, kCharSpace}, {0x0301, kCharLetter},
      {0x0903, kCharLetter}, {0x20DD, kCharLetter}, {0x00B2, kCharNumber}, {0x2164, kCharNumber},
      {0x4E2D, kCharLetter}, {0x0378, 0}, {0x1F600, 0}, {0x10FFFF, 0}, {0xE0100, kCharLetter},
      // New in Unicode 16.0.
      {0x1C89, kCharLetter}, {0x10D40, kCharNumber}, {0x1CCF0, kCharNumber},
  };
  for (const auto& c : cases) EXPECT_EQ(char_flags(c.cp), c.flags) << std::hex << c.cp;
}

}  // namespace
}  // namespace kestrune
