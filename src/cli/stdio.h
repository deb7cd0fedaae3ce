// Standard output and input for the command line: raw bytes out, written through at
// once so streaming is visible per token; one line in at a time for the chat REPL.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace kestrune {

// Writes every byte to standard output; a failed write returns the OS error.
Status write_stdout(std::string_view bytes);

// One line from standard input including its line break; absent at end of input.
// A line that is not UTF-8 fails with "stream did not contain valid UTF-8".
Result<std::optional<std::string>> read_stdin_line();

// `s` without trailing Unicode white space (`s` must be valid UTF-8).
std::string_view trim_end_unicode(std::string_view s);

}  // namespace kestrune
