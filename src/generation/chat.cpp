#include "generation/chat.h"

#include "common/format.h"

namespace kestrune {

namespace {

Result<uint32_t> marker_id(const Tokenizer& tok, std::string_view literal) {
  auto id = find_token_id(tok, literal);
  if (!id) return invalid_data(format("chat: special token {} not found in vocab", literal));
  return *id;
}

void append(std::vector<uint32_t>& queue, const std::vector<uint32_t>& ids) {
  queue.insert(queue.end(), ids.begin(), ids.end());
}

}  // namespace

Result<ChatVocab> chat_vocab(const Tokenizer& tok) {
  ChatVocab v;
  KS_TRY(v.im_start, marker_id(tok, "<|im_start|>"));
  KS_TRY(v.im_end, marker_id(tok, "<|im_end|>"));
  KS_TRY(v.nl, encode(tok, "\n"));
  KS_TRY(v.system, encode(tok, "system"));
  KS_TRY(v.user, encode(tok, "user"));
  KS_TRY(v.assistant, encode(tok, "assistant"));
  return v;
}

std::string chat_vocab_line(const ChatVocab& v, std::optional<uint32_t> eos) {
  return format("# chat: im_start={} im_end={} eos={} nl={}\n", v.im_start, v.im_end,
                eos ? format("Some({})", *eos) : std::string("None"), list_str(v.nl));
}

void append_turn(std::vector<uint32_t>& queue, const ChatVocab& v, const std::vector<uint32_t>& role,
                 const std::vector<uint32_t>& text) {
  queue.push_back(v.im_start);
  append(queue, role);
  append(queue, v.nl);
  append(queue, text);
  queue.push_back(v.im_end);
  append(queue, v.nl);
}

void append_assistant_header(std::vector<uint32_t>& queue, const ChatVocab& v) {
  queue.push_back(v.im_start);
  append(queue, v.assistant);
  append(queue, v.nl);
}

void append_assistant_close(std::vector<uint32_t>& queue, const ChatVocab& v) {
  queue.push_back(v.im_end);
  append(queue, v.nl);
}

}  // namespace kestrune
