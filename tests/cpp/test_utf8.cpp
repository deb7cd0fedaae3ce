#include <gtest/gtest.h>

#include <string>

#include "common/utf8.h"

namespace kestrune {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(Utf8Replacing, MaximalSubpartsAndHeldTails) {
  struct Case {
    std::string in;
    std::string partial;  // final = false
    size_t used;
    std::string whole;    // final = true
  };
  const Case cases[] = {
      {"abc", "abc", 3, "abc"},
      {"\xC3\xA9", "\xC3\xA9", 2, "\xC3\xA9"},
      {"a\xC3", "a", 1, "a" + R},                                 // unfinished 2-byte: held, then one U+FFFD
      {"a\xE2\x82", "a", 1, "a" + R},                             // unfinished 3-byte
      {"\xF0\x9F\x98", "", 0, R},                                 // unfinished 4-byte
      {"\xE2\x82" "A", R + "A", 3, R + "A"},                      // broken by an ASCII byte: one U+FFFD
      {"\xF0\x80", R + R, 2, R + R},                              // F0 80 is never valid: two subparts
      {"\x80\xBF", R + R, 2, R + R},                              // lone continuation bytes
      {"\xED\xA0\x80", R + R + R, 3, R + R + R},                  // surrogate
      {"\xC0\xAF", R + R, 2, R + R},                              // overlong lead
      {"\xFF" "a\xE2", R + "a", 2, R + "a" + R},
  };
  for (const Case& c : cases) {
    std::string partial, whole;
    EXPECT_EQ(utf8_append_replacing(c.in, false, partial), c.used) << c.in;
    EXPECT_EQ(partial, c.partial) << c.in;
    EXPECT_EQ(utf8_append_replacing(c.in, true, whole), c.in.size()) << c.in;
    EXPECT_EQ(whole, c.whole) << c.in;
  }
}

TEST(Utf8Replacing, ChunkedEqualsWhole) {
  // Fed a byte at a time with the unused tail carried over, the output matches one
  // final pass over the whole input.
  const std::string in = "x\xE4\xB8\xAD\xF0\x9F\x98\x80\xE2\x82" "A\xC3\xA9\xF0\x9F";
  std::string whole, chunked, held;
  utf8_append_replacing(in, true, whole);
  for (char ch : in) {
    held += ch;
    held.erase(0, utf8_append_replacing(held, false, chunked));
  }
  utf8_append_replacing(held, true, chunked);
  EXPECT_EQ(chunked, whole);
}

}  // namespace
}  // namespace kestrune
