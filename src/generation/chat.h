// The chat markers of the ChatML template, assembled from pieces that are encoded one
// by one: marker ids looked up in the vocabulary, and the role words, the line break and
// the user's text each run through the ordinary encoder. Also the hook through which a
// front end renders a file's own chat template.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "tokenizer/tokenizer.h"

namespace kestrune {

struct ChatVocab {
  uint32_t im_start = 0;
  uint32_t im_end = 0;
  std::vector<uint32_t> nl;
  std::vector<uint32_t> system;
  std::vector<uint32_t> user;
  std::vector<uint32_t> assistant;
};

// The marker ids ("chat: special token {} not found in vocab" when absent) and the
// encoded role words and line break.
Result<ChatVocab> chat_vocab(const Tokenizer& tok);

// "# chat: im_start={} im_end={} eos={} nl={}\n"
std::string chat_vocab_line(const ChatVocab& v, std::optional<uint32_t> eos);

// "<|im_start|>" role "\n" text "<|im_end|>" "\n"
void append_turn(std::vector<uint32_t>& queue, const ChatVocab& v, const std::vector<uint32_t>& role,
                 const std::vector<uint32_t>& text);
// "<|im_start|>" assistant "\n": the model's reply follows.
void append_assistant_header(std::vector<uint32_t>& queue, const ChatVocab& v);
// "<|im_end|>" "\n" after a reply; fed at the start of the next turn.
void append_assistant_close(std::vector<uint32_t>& queue, const ChatVocab& v);

// A file's own chat template, rendered by the front end that hosts the command line
// (the same renderer Engine.chat uses), so every front end builds the same prompt.
struct ChatLine {
  std::string role;  // "system", "user" or "assistant"
  std::string content;
};
struct TemplateVars {
  std::string_view source;  // tokenizer.chat_template
  std::string_view bos, eos;  // texts of the bos and eos tokens
};
using ChatRenderFn = std::function<Result<std::string>(const TemplateVars& vars, std::span<const ChatLine> messages)>;

}  // namespace kestrune
