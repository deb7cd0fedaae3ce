// Header parser. Counts and lengths come from an untrusted file: storage is reserved
// only as far as the bytes left in the file can back it, so a lying count ends in an
// end-of-file error instead of an enormous allocation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/format.h"
#include "common/utf8.h"
#include "gguf/gguf.h"

namespace kestrune {

namespace {

constexpr uint32_t kMagic = 0x46554747;  // "GGUF"
constexpr size_t kBufferSize = 8192;

Error eof_error() { return {ErrorKind::UnexpectedEof, "failed to fill whole buffer"}; }

// Exact reads from either a file (through one 8192-byte buffer) or memory.
class ByteSource {
 public:
  static ByteSource memory(std::string_view bytes) {
    ByteSource s;
    s.mem_ = bytes;
    s.size_ = bytes.size();
    return s;
  }
  static ByteSource file(int fd, uint64_t size) {
    ByteSource s;
    s.fd_ = fd;
    s.size_ = size;
    s.buf_.resize(kBufferSize);
    return s;
  }

  uint64_t position() const { return pos_; }
  // Bytes the source can still deliver (the file size bounds what a count may claim).
  uint64_t remaining() const { return size_ > pos_ ? size_ - pos_ : 0; }

  Status read(void* dst, size_t n) {
    auto* out = static_cast<uint8_t*>(dst);
    if (fd_ < 0) {
      if (n > mem_.size() - pos_) return eof_error();
      std::memcpy(out, mem_.data() + pos_, n);
      pos_ += n;
      return {};
    }
    while (n > 0) {
      if (head_ == tail_) {
        if (n >= kBufferSize) {  // large reads bypass the buffer
          auto got = ::read(fd_, out, n);
          if (got < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
          }
          if (got == 0) return eof_error();
          out += got;
          n -= static_cast<size_t>(got);
          pos_ += static_cast<uint64_t>(got);
          continue;
        }
        auto got = ::read(fd_, buf_.data(), kBufferSize);
        if (got < 0) {
          if (errno == EINTR) continue;
          return os_error(errno);
        }
        if (got == 0) return eof_error();
        head_ = 0;
        tail_ = static_cast<size_t>(got);
      }
      size_t take = std::min(n, tail_ - head_);
      std::memcpy(out, buf_.data() + head_, take);
      head_ += take;
      out += take;
      n -= take;
      pos_ += take;
    }
    return {};
  }

  template <class T>
  Result<T> scalar() {
    T v{};
    KS_CHECK(read(&v, sizeof v));  // the host is little-endian (x86-64)
    return v;
  }

 private:
  int fd_ = -1;
  std::string_view mem_;
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
  std::vector<uint8_t> buf_;
  size_t head_ = 0, tail_ = 0;
};

Result<std::string> read_string(ByteSource& src) {
  KS_TRY(uint64_t len, src.scalar<uint64_t>());
  if (len > src.remaining()) return eof_error();
  std::string s(static_cast<size_t>(len), '\0');
  KS_CHECK(src.read(s.data(), s.size()));
  if (auto err = utf8_error(s)) return invalid_data("bad utf8 in string: " + *err);
  return s;
}

// Smallest encoded size of one value of a scalar type (for plausibility bounds).
uint64_t min_encoded_size(uint32_t type) {
  switch (type) {
    case 0: case 1: case 7: return 1;
    case 2: case 3: return 2;
    case 4: case 5: case 6: return 4;
    case 8: case 10: case 11: case 12: return 8;
    default: return 1;
  }
}

Result<MetaValue> read_scalar(ByteSource& src, uint32_t type) {
  switch (type) {
    case 0: { KS_TRY(auto v, src.scalar<uint8_t>()); return MetaValue{meta::UInt{v}}; }
    case 1: { KS_TRY(auto v, src.scalar<int8_t>()); return MetaValue{meta::Int{v}}; }
    case 2: { KS_TRY(auto v, src.scalar<uint16_t>()); return MetaValue{meta::UInt{v}}; }
    case 3: { KS_TRY(auto v, src.scalar<int16_t>()); return MetaValue{meta::Int{v}}; }
    case 4: { KS_TRY(auto v, src.scalar<uint32_t>()); return MetaValue{meta::UInt{v}}; }
    case 5: { KS_TRY(auto v, src.scalar<int32_t>()); return MetaValue{meta::Int{v}}; }
    case 6: { KS_TRY(auto v, src.scalar<uint32_t>()); return MetaValue{meta::F32Bits{v}}; }
    case 7: { KS_TRY(auto v, src.scalar<uint8_t>()); return MetaValue{meta::Bool{v != 0}}; }
    case 8: { KS_TRY(auto v, read_string(src)); return MetaValue{meta::Str{std::move(v)}}; }
    case 10: { KS_TRY(auto v, src.scalar<uint64_t>()); return MetaValue{meta::UInt{v}}; }
    case 11: { KS_TRY(auto v, src.scalar<int64_t>()); return MetaValue{meta::Int{v}}; }
    case 12: { KS_TRY(auto v, src.scalar<uint64_t>()); return MetaValue{meta::F64Bits{v}}; }
    case 9: return invalid_data("nested array scalar read");
    default: return invalid_data(format("unknown metadata value type id {}", type));
  }
}

Result<MetaValue> read_array(ByteSource& src, bool retain) {
  KS_TRY(uint32_t elem, src.scalar<uint32_t>());
  if (elem > 12) return invalid_data(format("unknown metadata value type id {}", elem));
  KS_TRY(uint64_t len, src.scalar<uint64_t>());
  if (elem == 9) return invalid_data("array of arrays not supported");
  // Every element occupies at least this many bytes, so a longer claim cannot be real.
  uint64_t plausible = src.remaining() / min_encoded_size(elem);
  if (!retain) {
    if (len > plausible) return eof_error();
    for (uint64_t i = 0; i < len; ++i) {
      KS_TRY(auto dropped, read_scalar(src, elem));
      (void)dropped;
    }
    return MetaValue{meta::Arr{static_cast<uint8_t>(elem), len}};
  }
  if (elem == 6 || elem == 12) return invalid_data("retaining float arrays unsupported");
  if (len > plausible) return eof_error();
  if (elem == 8) {
    meta::ArrStr out;
    out.v.reserve(static_cast<size_t>(len));
    for (uint64_t i = 0; i < len; ++i) {
      KS_TRY(auto s, read_string(src));
      out.v.push_back(std::move(s));
    }
    return MetaValue{std::move(out)};
  }
  meta::ArrInt out;
  out.v.reserve(static_cast<size_t>(len));
  for (uint64_t i = 0; i < len; ++i) {
    KS_TRY(auto v, read_scalar(src, elem));
    if (auto* u = std::get_if<meta::UInt>(&v)) {
      out.v.push_back(u->v);
    } else if (auto* s = std::get_if<meta::Int>(&v)) {
      out.v.push_back(static_cast<uint64_t>(s->v));
    } else if (auto* b = std::get_if<meta::Bool>(&v)) {
      out.v.push_back(b->v ? 1 : 0);
    } else {
      return invalid_data(format("array element {} is not integral", render_meta(&v)));
    }
  }
  return MetaValue{std::move(out)};
}

Result<MetaValue> read_value(ByteSource& src, uint32_t type, bool retain) {
  if (type > 12) return invalid_data(format("unknown metadata value type id {}", type));
  if (type == 9) return read_array(src, retain);
  return read_scalar(src, type);
}

Result<GgufFile> parse(ByteSource& src) {
  uint8_t magic[4];
  KS_CHECK(src.read(magic, 4));
  uint32_t m = uint32_t(magic[0]) | uint32_t(magic[1]) << 8 | uint32_t(magic[2]) << 16 |
               uint32_t(magic[3]) << 24;
  if (m != kMagic) {
    return invalid_data(format("not a GGUF file (magic [{}, {}, {}, {}])", magic[0], magic[1],
                               magic[2], magic[3]));
  }
  GgufFile file;
  KS_TRY(file.version, src.scalar<uint32_t>());
  if (file.version < 2) return invalid_data(format("gguf v{} not supported (need >= 2)", file.version));
  KS_TRY(uint64_t n_tensors, src.scalar<uint64_t>());
  KS_TRY(uint64_t n_kv, src.scalar<uint64_t>());

  // A metadata entry takes at least 13 bytes, a tensor record at least 24.
  file.metadata.reserve(static_cast<size_t>(std::min<uint64_t>(n_kv, src.remaining() / 13)));
  for (uint64_t i = 0; i < n_kv; ++i) {
    KS_TRY(auto key, read_string(src));
    KS_TRY(uint32_t type, src.scalar<uint32_t>());
    KS_TRY(auto value, read_value(src, type, /*retain=*/true));
    if (key == "general.alignment") {
      if (auto* u = std::get_if<meta::UInt>(&value)) file.alignment = u->v;
    }
    file.metadata.push_back({std::move(key), std::move(value)});
  }

  file.tensors.reserve(static_cast<size_t>(std::min<uint64_t>(n_tensors, src.remaining() / 24)));
  for (uint64_t i = 0; i < n_tensors; ++i) {
    TensorInfo t;
    KS_TRY(t.name, read_string(src));
    KS_TRY(uint32_t n_dims, src.scalar<uint32_t>());
    if (n_dims > 4) return invalid_data(format("tensor {}: n_dims {} > 4", t.name, n_dims));
    t.dims.resize(n_dims);
    for (auto& d : t.dims) {
      KS_TRY(d, src.scalar<uint64_t>());
    }
    KS_TRY(t.type, src.scalar<uint32_t>());
    KS_TRY(t.offset, src.scalar<uint64_t>());
    file.tensors.push_back(std::move(t));
  }

  if (file.alignment == 0) return invalid_data("general.alignment must not be 0");
  uint64_t pos = src.position();
  uint64_t rem = pos % file.alignment;
  file.data_offset = pos;
  if (rem != 0) {
    uint64_t pad = file.alignment - rem;
    if (pos > UINT64_MAX - pad) return invalid_data(format("general.alignment {} overflows the data offset", file.alignment));
    file.data_offset = pos + pad;
  }
  return file;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

Result<GgufFile> open_gguf(const std::string& path) {
  Fd f;
  f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (f.fd < 0) return os_error(errno);
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) return os_error(errno);
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  // Pipes and other streams report no size; do not bound counts by it then.
  uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
  auto src = ByteSource::file(f.fd, size);
  return parse(src);
}

Result<GgufFile> parse_gguf(std::string_view bytes) {
  auto src = ByteSource::memory(bytes);
  return parse(src);
}

}  // namespace kestrune
