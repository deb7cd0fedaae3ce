// Arbitrary bytes as a model file, taken the way users take one: loaded from a path
// (eager or lazy weights by the first byte), its tokenizer built, a few tokens run
// forward. Every lie in the file must end in an error: no crash, no hang, no read
// outside what was mapped or allocated. Load diagnostics go to stderr; run with
// -close_fd_mask=2 to keep only the fuzzer's own lines.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "gguf/gguf.h"
#include "model/model.h"
#include "tokenizer/tokenizer.h"

using namespace kestrune;

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

struct Field {
  size_t at;
  size_t width;  // 1, 2, 4 or 8 bytes, little-endian
};

// Where the header keeps each tensor's dims, type and offset and each scalar metadata
// value, found by the length-prefixed names that precede them.
std::vector<Field> number_fields(std::string_view bytes) {
  std::vector<Field> out;
  auto file = parse_gguf(bytes);
  if (!file.ok()) return out;
  auto after = [&](const std::string& name) -> size_t {
    std::string prefix(8, '\0');
    const uint64_t n = name.size();
    std::memcpy(prefix.data(), &n, 8);
    prefix += name;
    const size_t at = bytes.find(prefix);
    return at == std::string_view::npos ? 0 : at + prefix.size();
  };
  for (const auto& t : file->tensors) {
    size_t at = after(t.name);
    if (at == 0) continue;
    at += 4;  // n_dims
    for (size_t i = 0; i < t.dims.size(); ++i, at += 8) out.push_back({at, 8});
    out.push_back({at, 4});
    out.push_back({at + 4, 8});
  }
  for (const auto& kv : file->metadata) {
    const size_t at = after(kv.key);
    if (at == 0 || at + 4 > bytes.size()) continue;
    static constexpr size_t kWidth[] = {1, 1, 2, 2, 4, 4, 4, 0, 0, 0, 8, 8};
    const uint8_t tag = static_cast<uint8_t>(bytes[at]);
    if (tag < std::size(kWidth) && kWidth[tag] != 0) out.push_back({at + 4, kWidth[tag]});
  }
  return out;
}

}  // namespace

// Half the mutations rewrite one number the header holds: blind byte edits seldom land
// on a shape, and a lying shape is what the loader must catch.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  std::minstd_rand rng(seed);
  if (size > 1 && rng() % 2) {
    const auto fields = number_fields({reinterpret_cast<const char*>(data + 1), size - 1});
    if (!fields.empty()) {
      const Field f = fields[rng() % fields.size()];
      const Field g = fields[rng() % fields.size()];
      uint8_t* p = data + 1 + f.at;
      uint64_t v = 0, w = 0;
      if (1 + f.at + f.width > size || 1 + g.at + g.width > size) return LLVMFuzzerMutate(data, size, max_size);
      std::memcpy(&v, p, f.width);
      std::memcpy(&w, data + 1 + g.at, g.width);
      switch (rng() % 6) {
        case 0: v += rng() % 9 - 4; break;
        case 1: v = rng() % 2; break;
        case 2: v = rng() % 2 ? v * 2 : v / 2; break;
        case 3: v = uint64_t{1} << (rng() % 64); break;
        case 4: v = ~uint64_t{0} >> (rng() % 64); break;
        default: v = w; break;  // another field's value
      }
      std::memcpy(p, &v, f.width);
      return size;
    }
  }
  return LLVMFuzzerMutate(data, size, max_size);
}

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
