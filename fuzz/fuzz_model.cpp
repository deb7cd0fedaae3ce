// Arbitrary bytes as a model file, taken the way users take one: loaded from a path
// (eager or lazy weights by the first byte), its tokenizer built, a few tokens run
// forward. Every lie in the file must end in an error: no crash, no hang, no read
// outside what was mapped or allocated. Load diagnostics go to stderr; run with
// -close_fd_mask=2 to keep only the fuzzer's own lines.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "model/model.h"
#include "tokenizer/tokenizer.h"

using namespace kestrune;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Sequences the fuzzer could not afford are refused by the load itself.
  setenv("KESTRUNE_MAX_STATE_BYTES", "67108864", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  setenv("KESTRUNE_WEIGHTS", (control & 1) ? "lazy" : "eager", 1);

  const int fd = memfd_create("model", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  for (size_t at = 1; at < size;) {
    const ssize_t n = write(fd, data + at, size - at);
    if (n <= 0) std::abort();
    at += static_cast<size_t>(n);
  }
  auto model = load_model("/proc/self/fd/" + std::to_string(fd));
  close(fd);  // the model keeps its own mapping
  if (!model.ok()) return 0;
  const Model& m = **model;

  std::vector<uint32_t> ids;
  if (auto tok = tokenizer_from_gguf(m.file->gguf); tok.ok()) {
    if (auto enc = encode(*tok, "Hi there, 42!\n"); enc.ok()) ids = std::move(enc.value());
  }
  if (ids.size() > 2) ids.resize(2);
  ids.push_back(control >> 1);  // any id, in the vocabulary or not

  DecodeState state = new_state(m);
  for (uint32_t id : ids) {
    auto logits = forward(m, state, id);
    if (!logits.ok()) break;
    if (logits->size() != m.head_rows) std::abort();
  }
  return 0;
}
