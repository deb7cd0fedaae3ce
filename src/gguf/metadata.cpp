// Typed metadata lookups and the value rendering used in their messages.
#include <cstring>

#include "common/format.h"
#include "common/utf8.h"
#include "gguf/gguf.h"

namespace kestrune {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

void append_hex_escape(std::string& out, uint32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
  out += buf;
}

}  // namespace

std::string quoted(std::string_view s) {
  std::string out = "\"";
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t n = utf8_sequence_length(s, i);
    if (n == 0) {  // not reachable for parsed strings (they are validated), kept safe
      append_hex_escape(out, c);
      ++i;
      continue;
    }
    if (n == 1) {
      switch (c) {
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\0': out += "\\0"; break;
        default:
          if (c < 0x20 || c == 0x7f) {
            append_hex_escape(out, c);
          } else {
            out += static_cast<char>(c);
          }
      }
    } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
      append_hex_escape(out, static_cast<unsigned char>(s[i + 1]));  // C1 controls
    } else {
      out.append(s.substr(i, n));
    }
    i += n;
  }
  return out + "\"";
}

std::string render_value(const MetaValue& value) {
  return std::visit(
      Overloaded{
          [](const meta::UInt& v) { return format("UInt({})", v.v); },
          [](const meta::Int& v) { return format("Int({})", v.v); },
          [](const meta::F32Bits& v) { return format("F32Bits({})", v.bits); },
          [](const meta::F64Bits& v) { return format("F64Bits({})", v.bits); },
          [](const meta::Bool& v) { return format("Bool({})", v.v); },
          [](const meta::Str& v) { return format("Str({})", quoted(v.v)); },
          [](const meta::Arr& v) {
            return format("Arr { elem: {}, len: {} }", static_cast<unsigned>(v.elem), v.len);
          },
          [](const meta::ArrStr& v) {
            std::string out = "ArrStr([";
            for (size_t i = 0; i < v.v.size(); ++i) {
              if (i) out += ", ";
              out += quoted(v.v[i]);
            }
            return out + "])";
          },
          [](const meta::ArrInt& v) { return "ArrInt(" + list_str(v.v) + ")"; },
      },
      value);
}

std::string render_meta(const MetaValue* value) {
  return value ? "Some(" + render_value(*value) + ")" : "None";
}

const MetaValue* meta_find(const GgufFile& file, std::string_view key) {
  for (const auto& e : file.metadata) {
    if (e.key == key) return &e.value;
  }
  return nullptr;
}

Result<std::string> meta_str(const GgufFile& file, std::string_view key) {
  const MetaValue* v = meta_find(file, key);
  if (v) {
    if (auto* s = std::get_if<meta::Str>(v)) return s->v;
  }
  return invalid_data(format("kv {}: expected string, got {}", key, render_meta(v)));
}

Result<uint64_t> meta_uint(const GgufFile& file, std::string_view key) {
  const MetaValue* v = meta_find(file, key);
  if (v) {
    if (auto* u = std::get_if<meta::UInt>(v)) return u->v;
    if (auto* i = std::get_if<meta::Int>(v); i && i->v >= 0) return static_cast<uint64_t>(i->v);
  }
  return invalid_data(format("kv {}: expected uint, got {}", key, render_meta(v)));
}

Result<float> meta_f32(const GgufFile& file, std::string_view key) {
  const MetaValue* v = meta_find(file, key);
  if (v) {
    if (auto* f = std::get_if<meta::F32Bits>(v)) {
      float out;
      std::memcpy(&out, &f->bits, sizeof out);
      return out;
    }
  }
  return invalid_data(format("kv {}: expected f32, got {}", key, render_meta(v)));
}

Result<const std::vector<std::string>*> meta_str_array(const GgufFile& file, std::string_view key) {
  const MetaValue* v = meta_find(file, key);
  if (v) {
    if (auto* a = std::get_if<meta::ArrStr>(v)) return &a->v;
    if (std::holds_alternative<meta::Arr>(*v)) {
      return invalid_data(format("kv {}: array was parsed without retention; pass a retaining predicate", key));
    }
  }
  return invalid_data(format("kv {}: expected string array, got {}", key, render_meta(v)));
}

std::optional<uint64_t> meta_uint_opt(const GgufFile& file, std::string_view key) {
  const MetaValue* v = meta_find(file, key);
  if (v) {
    if (auto* u = std::get_if<meta::UInt>(v)) return u->v;
  }
  return std::nullopt;
}

const TensorInfo* find_tensor(const GgufFile& file, std::string_view name) {
  for (const auto& t : file.tensors) {
    if (t.name == name) return &t;
  }
  return nullptr;
}

}  // namespace kestrune
