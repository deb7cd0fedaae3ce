// Arbitrary bytes as a model file, taken the way users take one: loaded from a path
// (eager or lazy weights by the first byte), its tokenizer built, a few tokens run
// forward. Every lie in the file must end in an error: no crash, no hang, no read
// outside what was mapped or allocated. Load diagnostics go to stderr; run with
// -close_fd_mask=2 to keep only the fuzzer's own lines.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "gguf/gguf.h"
#include "model/forward.h"
#include "model/model.h"
#include "tokenizer/tokenizer.h"

using namespace kestrune;

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

struct Field {
  size_t at;
  size_t width;  // 1, 2, 4 or 8 bytes, little-endian
};

// Where the header keeps each tensor's dims, each tensor's type and offset, and each
// scalar metadata value, found by the length-prefixed names that precede them.
enum Kind { kDims, kTypeOffset, kMeta };
std::array<std::vector<Field>, 3> number_fields(std::string_view bytes) {
  std::array<std::vector<Field>, 3> out;
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
    for (size_t i = 0; i < t.dims.size(); ++i, at += 8) out[kDims].push_back({at, 8});
    out[kTypeOffset].push_back({at, 4});
    out[kTypeOffset].push_back({at + 4, 8});
  }
  for (const auto& kv : file->metadata) {
    const size_t at = after(kv.key);
    if (at == 0 || at + 4 > bytes.size()) continue;
    static constexpr size_t kWidth[] = {1, 1, 2, 2, 4, 4, 4, 0, 0, 0, 8, 8};
    const uint8_t tag = static_cast<uint8_t>(bytes[at]);
    if (tag < std::size(kWidth) && kWidth[tag] != 0) out[kMeta].push_back({at + 4, kWidth[tag]});
  }
  return out;
}

}  // namespace

// Seven mutations in eight of a file that parses rewrite one number its header holds
// (a dim half the time, a metadata value a third, a type or offset the rest): byte
// edits mostly break the header or land in tensor data, while a lying shape is what
// the loader must catch. The values are off by one, small, halved or doubled, or at
// the edges of the field's width.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  std::minstd_rand rng(seed);
  if (size < 2 || rng() % 8 == 0) return LLVMFuzzerMutate(data, size, max_size);
  const auto fields = number_fields({reinterpret_cast<const char*>(data + 1), size - 1});
  static constexpr Kind kChoice[] = {kDims, kDims, kDims, kMeta, kMeta, kTypeOffset};
  const std::vector<Field>* pick = &fields[kChoice[rng() % 6]];
  for (const auto& list : fields) {
    if (pick->empty()) pick = &list;
  }
  if (pick->empty()) return LLVMFuzzerMutate(data, size, max_size);
  const Field f = (*pick)[rng() % pick->size()];
  const Field g = (*pick)[rng() % pick->size()];
  const unsigned bits = static_cast<unsigned>(8 * f.width);
  const uint64_t all = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
  uint64_t v = 0, w = 0;
  std::memcpy(&v, data + 1 + f.at, f.width);  // the fields lie inside the parsed header
  std::memcpy(&w, data + 1 + g.at, g.width);
  switch (rng() % 8) {
    case 0: v -= 1; break;
    case 1: v += 1 + rng() % 4; break;
    case 2: v = rng() % 2; break;
    case 3: v = rng() % 2 ? v * 2 : v / 2; break;
    case 4: v = uint64_t{1} << (rng() % bits); break;
    case 5: v = w; break;  // another field's value
    default: {
      const uint64_t edges[] = {all, all >> 1, uint64_t{1} << (bits - 1), uint64_t{1} << (bits / 2)};
      v = edges[rng() % 4];
    }
  }
  std::memcpy(data + 1 + f.at, &v, f.width);
  return size;
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
    if (logits->size() != m.weights.head_rows) std::abort();
  }
  return 0;
}
