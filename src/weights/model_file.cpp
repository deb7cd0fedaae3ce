#include "weights/model_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/format.h"
#include "quant/blocks.h"
#include "quant/types.h"

namespace kestrune {

Mapping::~Mapping() {
  if (owned && base && size) ::munmap(const_cast<uint8_t*>(base), size);
}

namespace {

// Product of dims[from..], absent on overflow.
std::optional<uint64_t> dims_product(const std::vector<uint64_t>& dims, size_t from) {
  uint64_t p = 1;
  for (size_t i = from; i < dims.size(); ++i) {
    if (dims[i] != 0 && p > UINT64_MAX / dims[i]) return std::nullopt;
    p *= dims[i];
  }
  return p;
}

std::unique_ptr<ModelFile> make_model_file(GgufFile gguf, std::shared_ptr<Mapping> map) {
  auto file = std::make_unique<ModelFile>();
  file->gguf = std::move(gguf);
  file->map = std::move(map);
  for (size_t i = 0; i < file->gguf.tensors.size(); ++i) {
    file->tensor_index.emplace(file->gguf.tensors[i].name, i);  // keeps the first
  }
  return file;
}

// Reads exactly `size` bytes from the start of `fd`.
Status read_all(int fd, uint8_t* out, uint64_t size) {
  uint64_t done = 0;
  while (done < size) {
    const uint64_t want = std::min<uint64_t>(size - done, uint64_t{1} << 30);
    ssize_t n = ::pread(fd, out + done, static_cast<size_t>(want), static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_error(errno);
    if (n == 0) return invalid_data(format("model file shrank while loading: {} of {} bytes", done, size));
    done += static_cast<uint64_t>(n);
  }
  return Ok{};
}

}  // namespace

std::optional<uint64_t> element_count(const TensorInfo& t) { return dims_product(t.dims, 0); }

uint64_t TensorView::rows() const {
  // tensor_view has already bounded rows * row size by the file size.
  auto p = dims_product(info->dims, 1);
  return p ? *p : 0;
}

Result<std::unique_ptr<ModelFile>> open_model_file(const std::string& path) {
  auto parsed = open_gguf(path);
  if (!parsed.ok() && parsed.error().kind == ErrorKind::Os) {
    return Error{ErrorKind::Os, format("cannot open model file {}: {}", path, parsed.error().message)};
  }
  KS_TRY(GgufFile gguf, std::move(parsed));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return os_error(err);
  }
  auto size = static_cast<uint64_t>(st.st_size);
  if (size > static_cast<uint64_t>(LLONG_MAX)) {
    ::close(fd);
    return invalid_data("memory map length overflows isize");
  }
  // The bytes are copied into memory of our own rather than mapped from the file: a
  // shared file mapping faults (SIGBUS) when another process truncates the file and
  // silently changes answers when it rewrites bytes in place.
  auto map = std::make_shared<Mapping>();
  if (size > 0) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      int err = errno;
      ::close(fd);
      return os_error(err);
    }
    map->base = static_cast<const uint8_t*>(p);
    map->size = size;
    Status loaded = read_all(fd, static_cast<uint8_t*>(p), size);
    ::close(fd);
    if (!loaded.ok()) return std::move(loaded).error();
    ::mprotect(p, size, PROT_READ);
  } else {
    ::close(fd);
  }

  return make_model_file(std::move(gguf), std::move(map));
}

Result<std::unique_ptr<ModelFile>> model_file_from_memory(std::string_view bytes) {
  KS_TRY(GgufFile gguf, parse_gguf(bytes));
  auto map = std::make_shared<Mapping>();
  map->base = reinterpret_cast<const uint8_t*>(bytes.data());
  map->size = bytes.size();
  map->owned = false;
  return make_model_file(std::move(gguf), std::move(map));
}

Result<TensorView> tensor_view(const ModelFile& file, std::string_view name) {
  auto it = file.tensor_index.find(name);
  if (it == file.tensor_index.end()) return invalid_data(format("tensor {} not found", name));
  const TensorInfo& t = file.gguf.tensors[it->second];
  const uint64_t fsize = file.file_size();
  auto overflow = [&] {
    return invalid_data(format("tensor {}: offset {} + data offset {} overflows, exceeds file size {}",
                               t.name, t.offset, file.gguf.data_offset, fsize));
  };
  if (t.offset > UINT64_MAX - file.gguf.data_offset) return overflow();
  const uint64_t start = file.gguf.data_offset + t.offset;
  auto rows = dims_product(t.dims, 1);
  if (!rows) return overflow();
  if (*rows == 0) rows = 1;
  KS_TRY(uint64_t rs, row_size(t));
  if (rs != 0 && *rows > UINT64_MAX / rs) return overflow();
  const uint64_t size = *rows * rs;
  if (size > UINT64_MAX - start) return overflow();
  const uint64_t end = start + size;
  if (end > fsize) {
    return invalid_data(format("tensor {}: [{}, {}) exceeds file size {}", t.name, start, end, fsize));
  }
  return TensorView{&t, file.map->base ? file.map->base + start : nullptr, size};
}

Result<const uint8_t*> row_data(const TensorView& view, uint64_t r) {
  const uint64_t rows = view.rows();
  if (r >= rows) return invalid_data(format("row {} out of range ({})", r, rows));
  KS_TRY(uint64_t rs, row_size(*view.info));
  // r < rows and rows * rs <= view.size, so the row lies inside the view.
  return view.data + r * rs;
}

Status dequant_row_into(const TensorView& view, uint64_t r, float* out) {
  KS_TRY(const uint8_t* src, row_data(view, r));
  return dequant_values(view.info->type, src, view.ne0(), out);
}

Result<std::vector<float>> dequant_row(const TensorView& view, uint64_t r) {
  const uint64_t rows = view.rows();
  if (r >= rows) return invalid_data(format("row {} out of range ({})", r, rows));
  std::vector<float> out(static_cast<size_t>(view.ne0()));
  KS_CHECK(dequant_row_into(view, r, out.data()));
  return out;
}

}  // namespace kestrune
