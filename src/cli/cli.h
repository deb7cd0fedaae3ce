// The `kestrune` command line: `generate` streams one completion, `chat` runs the REPL.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "common/error.h"

namespace kestrune {

// Runs the command line on the process arguments without the program name.
Status run_cli(std::span<const std::string> args);

// run_cli, then "kestrune: {}\n" on standard error for a failure; returns the exit code.
int cli_exit_code(std::span<const std::string> args);

Status run_generate(std::span<const std::string> args);  // model, prompt, [n_tokens], options
Status run_chat(std::span<const std::string> args);      // model, options

}  // namespace kestrune
