// The `kestrune` command line: `generate` streams one completion, `chat` runs the REPL.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "generation/chat.h"

namespace kestrune {

// Runs the command line on the process arguments without the program name. `render`,
// when set, renders the model file's own chat template for `chat`.
Status run_cli(std::span<const std::string> args, const ChatRenderFn& render = nullptr);

// run_cli, then "kestrune: {}\n" on standard error for a failure; returns the exit code.
int cli_exit_code(std::span<const std::string> args, const ChatRenderFn& render = nullptr);

Status run_generate(std::span<const std::string> args);  // model, prompt, [n_tokens], options
Status run_chat(std::span<const std::string> args, const ChatRenderFn& render = nullptr);  // model, options

}  // namespace kestrune
