// The chat REPL's reply output: reasoning and answer written to their own streams.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace kestrune {

// Whether `prompt` leaves a reasoning block ("<think>" without "</think>") open.
bool opens_reasoning(std::string_view prompt);

// Reply bytes split at "<think>" / "</think>": reasoning goes to standard error (dimmed
// on a terminal), the answer to standard output. Marker bytes are held until decided.
struct ThinkSplitter {
  bool thinking = false;
  bool dim = false;
  bool after_close = false;  // drop the line breaks that follow "</think>"
  std::string held;
};
Status split_write(ThinkSplitter& s, std::string_view bytes, bool final);

}  // namespace kestrune
