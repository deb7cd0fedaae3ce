// kestrune-inspect: lists a model file's header, metadata and tensors, and prints
// dequantized rows.
//
//   kestrune-inspect FILE                 version, metadata, tensor table
//   kestrune-inspect FILE TENSOR [ROW]    row ROW (default 0) of TENSOR, one float per line
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/format.h"
#include "gguf/gguf.h"
#include "quant/types.h"
#include "weights/model_file.h"

using namespace kestrune;

namespace {

// Long arrays (vocabularies) are summarised instead of printed whole.
std::string render_short(const MetaValue& v) {
  if (auto* a = std::get_if<meta::ArrStr>(&v); a && a->v.size() > 8) {
    return format("ArrStr(len {}, first {})", a->v.size(), quoted(a->v[0]));
  }
  if (auto* a = std::get_if<meta::ArrInt>(&v); a && a->v.size() > 8) {
    return format("ArrInt(len {}, first {})", a->v.size(), a->v[0]);
  }
  return render_value(v);
}

int fail(const Error& e) {
  std::fprintf(stderr, "kestrune-inspect: %s\n", e.message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: kestrune-inspect FILE [TENSOR [ROW]]\n");
    return 2;
  }
  auto file = open_model_file(argv[1]);
  if (!file.ok()) return fail(file.error());
  const GgufFile& g = file.value()->gguf;

  if (argc >= 3) {
    auto view = tensor_view(*file.value(), argv[2]);
    if (!view.ok()) return fail(view.error());
    char* end = nullptr;
    uint64_t row = argc == 4 ? std::strtoull(argv[3], &end, 10) : 0;
    if (argc == 4 && (end == argv[3] || *end)) {
      std::fprintf(stderr, "kestrune-inspect: bad row %s\n", argv[3]);
      return 2;
    }
    auto values = dequant_row(view.value(), row);
    if (!values.ok()) return fail(values.error());
    for (float v : values.value()) std::printf("%s\n", float_str(v).c_str());
    return 0;
  }

  std::printf("gguf v%u, %zu metadata entries, %zu tensors, alignment %s, data at %s, file %s bytes\n", g.version,
              g.metadata.size(), g.tensors.size(), std::to_string(g.alignment).c_str(),
              std::to_string(g.data_offset).c_str(), std::to_string(file.value()->file_size()).c_str());
  for (const auto& e : g.metadata) std::printf("  %s = %s\n", e.key.c_str(), render_short(e.value).c_str());
  for (const auto& t : g.tensors) {
    auto rs = row_size(t);
    std::string rs_text = rs.ok() ? std::to_string(rs.value()) : "? (" + rs.error().message + ")";
    std::printf("  %-40s %-5s dims %-20s row %s bytes, offset %s\n", t.name.c_str(), type_name(t.type).c_str(),
                list_str(t.dims).c_str(), rs_text.c_str(), std::to_string(t.offset).c_str());
  }
  return 0;
}
