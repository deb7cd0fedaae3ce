#include "cli/inspect.h"

#include <bit>

#include "cli/numbers.h"
#include "cli/options.h"
#include "cli/stdio.h"
#include "common/format.h"
#include "quant/types.h"
#include "weights/model_file.h"

namespace kestrune {

std::string readable_value(const MetaValue& v) {
  if (auto* f = std::get_if<meta::F32Bits>(&v)) return float_str(std::bit_cast<float>(f->bits));
  if (auto* d = std::get_if<meta::F64Bits>(&v)) return double_str(std::bit_cast<double>(d->bits));
  if (auto* a = std::get_if<meta::ArrStr>(&v); a && a->v.size() > 8) {
    return format("{} strings, first {}", a->v.size(), quoted(a->v[0]));
  }
  if (auto* a = std::get_if<meta::ArrInt>(&v); a && a->v.size() > 8) {
    return format("{} integers, first {}", a->v.size(), a->v[0]);
  }
  return render_value(v);
}

Status run_inspect(std::span<const std::string> args) {
  if (args.size() > 3) return invalid_input("inspect: expected MODEL [TENSOR [ROW]]");
  KS_TRY(std::unique_ptr<ModelFile> file, open_model_file(args[0]));
  const GgufFile& g = file->gguf;
  if (args.size() >= 2) {
    KS_TRY(TensorView view, tensor_view(*file, args[1]));
    uint64_t row = 0;
    if (args.size() == 3) {
      auto r = parse_u64(args[2]);
      if (!r.ok()) return bad_number("row", args[2], r.error());
      row = *r;
    }
    KS_TRY(std::vector<float> values, dequant_row(view, row));
    std::string out;
    for (float v : values) out += float_str(v) + "\n";
    return write_stdout(out);
  }
  std::string out = format("gguf v{}, {} metadata entries, {} tensors, alignment {}, data at {}, file {} bytes\n",
                           g.version, g.metadata.size(), g.tensors.size(), g.alignment, g.data_offset,
                           file->file_size());
  for (const auto& e : g.metadata) out += format("  {} = {}\n", e.key, readable_value(e.value));
  for (const auto& t : g.tensors) {
    auto rs = row_size(t);
    std::string rs_text = rs.ok() ? std::to_string(*rs) + " bytes" : "? (" + rs.error().message + ")";
    out += format("  {} {} dims {} row {}, offset {}\n", t.name, type_name(t.type), list_str(t.dims), rs_text,
                  t.offset);
  }
  return write_stdout(out);
}

}  // namespace kestrune
