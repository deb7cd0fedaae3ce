#include "backend/cpu/repack.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "backend/cpu/byte_transpose.h"
#include "common/format.h"
#include "quant/blocks.h"
#include "quant/types.h"

namespace kestrune {

namespace {

struct Layout {
  uint64_t cols = 0;         // elements per block
  uint64_t src_block = 0;    // bytes of one block of one row
  uint64_t block_bytes = 0;  // bytes of one block of a group
};

Layout layout(uint32_t type) {
  switch (type) {
    case kQ8_0:
      return {32, 34, 544};
    case kQ4_K:
      return {256, 144, 2368};
    case kQ5_K:
      return {256, 176, 2880};
    case kQ6_K:
      return {256, 210, 3360};
    default:
      return {};
  }
}

// out[16 * j + i] = rows[i][off + j] for j < len (a multiple of 16).
inline __attribute__((always_inline)) void interleave(const uint8_t* const* rows, size_t off, size_t len, uint8_t* out) {
  for (size_t j0 = 0; j0 < len; j0 += 16) {
#if defined(__x86_64__) || defined(__i386__)
    __m128i r[16];
    for (int i = 0; i < 16; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[i] + off + j0));
    matvec_detail::transpose_bytes16(r);
    for (int j = 0; j < 16; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * (j0 + j)), r[j]);
#else
    for (size_t j = 0; j < 16; ++j) {
      for (size_t i = 0; i < 16; ++i) out[16 * (j0 + j) + i] = rows[i][off + j0 + j];
    }
#endif
  }
}

inline void halves(const uint8_t* const* rows, size_t off, uint8_t* out) {
  for (int i = 0; i < 16; ++i) std::memcpy(out + 2 * i, rows[i] + off, 2);
}

void scales_and_mins(const uint8_t* const* rows, uint8_t* sc, uint8_t* m) {
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 8; ++j) k_scale_min(j, rows[i] + 4, sc[16 * j + i], m[16 * j + i]);
  }
}

// One block of 16 rows; rows[i] points at row i's block.
template <uint32_t type>
inline __attribute__((always_inline)) void pack_block(const uint8_t* const* rows, uint8_t* out) {
  switch (type) {
    case kQ8_0:
      halves(rows, 0, out);
      interleave(rows, 2, 32, out + 32);
      break;
    case kQ4_K:
      halves(rows, 0, out);
      halves(rows, 2, out + 32);
      scales_and_mins(rows, out + 64, out + 192);
      interleave(rows, 16, 128, out + 320);
      break;
    case kQ5_K:
      halves(rows, 0, out);
      halves(rows, 2, out + 32);
      scales_and_mins(rows, out + 64, out + 192);
      interleave(rows, 16, 32, out + 320);
      interleave(rows, 48, 128, out + 832);
      break;
    case kQ6_K:
      halves(rows, 208, out);
      interleave(rows, 192, 16, out + 32);
      interleave(rows, 0, 128, out + 288);
      interleave(rows, 128, 64, out + 2336);
      break;
    default:
      break;
  }
}

// Drops the whole pages of [from, to) from this process's mapping.
void release_pages(const uint8_t* from, const uint8_t* to) {
  static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t a = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
  const uintptr_t b = reinterpret_cast<uintptr_t>(to) & ~(page - 1);
  if (b > a) ::madvise(reinterpret_cast<void*>(a), b - a, MADV_DONTNEED);
}

template <uint32_t type>
void pack_groups(const TensorView& view, const PackedRows& p, uint8_t* out, bool release) {
  static const uint8_t kZeros[256] = {};
  constexpr uint64_t kReleaseStep = uint64_t{4} << 20;
  const uint64_t src_block = layout(type).src_block, blocks = p.ne0 / layout(type).cols;
  const uint8_t* released = view.data;
  for (uint64_t g = 0; g * kPackRows < p.rows; ++g) {
    // Rows past the end stay on the zeros.
    const uint8_t* at[kPackRows];
    uint64_t step[kPackRows];
    for (uint64_t i = 0; i < kPackRows; ++i) {
      const uint64_t r = g * kPackRows + i;
      at[i] = r < p.rows ? view.data + r * p.row_bytes : kZeros;
      step[i] = r < p.rows ? src_block : 0;
    }
    for (uint64_t b = 0; b < blocks; ++b) {
      pack_block<type>(at, out);
      out += p.block_bytes;
      for (uint64_t i = 0; i < kPackRows; ++i) at[i] += step[i];
    }
    const uint64_t done = (g + 1) * kPackRows < p.rows ? (g + 1) * kPackRows : p.rows;
    const uint8_t* end = view.data + done * p.row_bytes;
    if (release && (end - released >= ptrdiff_t(kReleaseStep) || done == p.rows)) {
      release_pages(released, end);
      released = end;
    }
  }
}

}  // namespace

bool packable_type(uint32_t type) { return layout(type).cols != 0; }

std::optional<uint64_t> packed_row(const TensorView& view, uint64_t r) {
  const PackedRows* p = view.packed;
  if (p == nullptr || p->row_bytes == 0 || view.data < p->source) return std::nullopt;
  const uint64_t off = static_cast<uint64_t>(view.data - p->source);
  if (off % p->row_bytes != 0 || off / p->row_bytes >= p->rows || r >= p->rows - off / p->row_bytes) {
    return std::nullopt;
  }
  return off / p->row_bytes + r;
}

Result<std::unique_ptr<PackedTensor>> repack_tensor(const TensorView& view, bool release) {
  if (view.info == nullptr || view.data == nullptr) return invalid_input("repack: no tensor");
  const Layout l = layout(view.info->type);
  if (l.cols == 0) return invalid_input(format("repack: {} has no packed layout", view.name()));
  KS_TRY(uint64_t row_bytes, row_size(*view.info));
  const uint64_t ne0 = view.ne0();
  const uint64_t rows = view.rows();
  if (ne0 == 0 || ne0 % l.cols != 0 || rows == 0 || row_bytes != ne0 / l.cols * l.src_block ||
      rows > view.size / row_bytes) {
    return invalid_data(format("repack: {} is not whole blocks", view.name()));
  }
  const uint64_t blocks = ne0 / l.cols;
  const uint64_t groups = (rows + kPackRows - 1) / kPackRows;
  const uint64_t group_bytes = blocks * l.block_bytes;
  const uint64_t total = groups * group_bytes;  // at most about 1.03 times the tensor
  // Large copies on huge pages: fewer faults, and far less time clearing fresh pages.
  constexpr uint64_t kHuge = uint64_t{2} << 20;
  const uint64_t align = total >= kHuge ? kHuge : 64;
  auto* mem = static_cast<uint8_t*>(std::aligned_alloc(align, (total + align - 1) / align * align));
  if (mem != nullptr && total >= kHuge) ::madvise(mem, total / kHuge * kHuge, MADV_HUGEPAGE);
  if (mem == nullptr) return Error{ErrorKind::Os, format("repack: cannot allocate {} bytes for {}", total, view.name())};
  auto t = std::make_unique<PackedTensor>();
  t->storage.reset(mem);
  t->rows = PackedRows{view.info->type, ne0, rows, row_bytes, l.block_bytes, group_bytes, view.data, mem};

  switch (view.info->type) {
    case kQ8_0:
      pack_groups<kQ8_0>(view, t->rows, mem, release);
      break;
    case kQ4_K:
      pack_groups<kQ4_K>(view, t->rows, mem, release);
      break;
    case kQ5_K:
      pack_groups<kQ5_K>(view, t->rows, mem, release);
      break;
    default:
      pack_groups<kQ6_K>(view, t->rows, mem, release);
      break;
  }
  return t;
}

Status packed_dequant_row(const PackedRows& p, uint64_t r, float* out) {
  if (r >= p.rows) return invalid_data(format("row {} out of range ({})", r, p.rows));
  const uint8_t* group = p.data + (r / kPackRows) * p.group_bytes;
  const uint64_t i = r % kPackRows;
  const uint64_t blocks = p.block_bytes == 0 ? 0 : p.group_bytes / p.block_bytes;
  for (uint64_t b = 0; b < blocks; ++b) {
    const uint8_t* k = group + b * p.block_bytes;
    const auto half = [&](size_t off) { return f16_to_f32(load_u16(k + off + 2 * i)); };
    const auto byte = [&](size_t off, size_t j) { return k[off + 16 * j + i]; };
    switch (p.type) {
      case kQ8_0: {
        const float d = half(0);
        for (size_t c = 0; c < 32; ++c) out[32 * b + c] = d * float(int8_t(byte(32, c)));
        break;
      }
      case kQ4_K:
      case kQ5_K: {
        const bool five = p.type == kQ5_K;
        const float d = half(0), dmin = half(32);
        const size_t qs = five ? 832 : 320;
        for (size_t s = 0; s < 8; ++s) {
          const float a = d * float(byte(64, s)), m = dmin * float(byte(192, s));
          for (size_t l = 0; l < 32; ++l) {
            const uint8_t raw = byte(qs, 32 * (s / 2) + l);
            int q = s & 1 ? raw >> 4 : raw & 15;
            if (five) q |= ((byte(320, l) >> s) & 1) << 4;
            out[256 * b + 32 * s + l] = a * float(q) - m;
          }
        }
        break;
      }
      case kQ6_K: {
        const float d = half(0);
        for (size_t hk = 0; hk < 8; ++hk) {
          const size_t h = hk / 4, k4 = hk % 4;
          for (size_t l = 0; l < 32; ++l) {
            const int lo = (byte(288, 64 * h + 32 * (k4 & 1) + l) >> (4 * (k4 >> 1))) & 15;
            const int hb = (byte(2336, 32 * h + l) >> (2 * k4)) & 3;
            const float scale = d * float(int8_t(byte(32, 8 * h + 2 * k4 + l / 16)));
            out[256 * b + 32 * hk + l] = scale * float((lo | hb << 4) - 32);
          }
        }
        break;
      }
      default:
        return invalid_input("packed row: unknown layout");
    }
  }
  return {};
}

}  // namespace kestrune
