// The attention kernels: query preparation, key/value append and the gated softmax
// core, one block of 256 threads per head; at long contexts the core's work is split
// over position chunks as well (attn_split_kernel, then attn_combine_kernel).
#include "backend/cuda/attn_lanes.h"
#include "backend/cuda/kernels/common.cuh"
#include "backend/cuda/kernels/launch.h"

namespace kestrune {
namespace dev {

constexpr int kAttnThreads = 256;

// Tree reduction of one value per thread over the block; every thread gets the result.
template <class Op>
__device__ __forceinline__ float block_reduce(float v, float* red, Op op) {
  const int tid = int(threadIdx.x);
  red[tid] = v;
  __syncthreads();
  for (int s = kAttnThreads / 2; s > 0; s >>= 1) {
    if (tid < s) red[tid] = op(red[tid], red[tid + s]);
    __syncthreads();
  }
  const float r = red[0];
  __syncthreads();  // red is reused by the next reduction
  return r;
}

struct Sum {
  __device__ float operator()(float a, float b) const { return a + b; }
};
struct Max {
  __device__ float operator()(float a, float b) const { return fmaxf(a, b); }
};

// RMS-normalizes the head vector src with w, then rotates it into dst.
__device__ void norm_rope_head(const float* src, const float* w, float* dst, const AttnOperands& o) {
  extern __shared__ float head[];
  __shared__ float red[kAttnThreads];
  const int tid = int(threadIdx.x), hd = o.head_dim;
  float ss = 0.0f;
  for (int i = tid; i < hd; i += kAttnThreads) ss += src[i] * src[i];
  const float inv = lanes::rms_inverse(block_reduce(ss, red, Sum{}), hd, o.eps);
  for (int i = tid; i < hd; i += kAttnThreads) head[i] = lanes::rms_element(src[i], inv, w[i]);
  __syncthreads();
  for (int i = tid; i < hd; i += kAttnThreads) dst[i] = lanes::rope_element(head, i, o.rope_dim, o.freqs, uint32_t(o.pos));
}

__global__ void __launch_bounds__(kAttnThreads) attn_qprep_kernel(AttnOperands o) {
  const int h = int(blockIdx.x);
  norm_rope_head(o.qg + size_t(h) * 2 * o.head_dim, o.norm, o.q_out + size_t(h) * o.head_dim, o);
}

__global__ void __launch_bounds__(kAttnThreads) attn_kv_append_kernel(AttnOperands o) {
  const int h = int(blockIdx.x), hd = o.head_dim;
  const size_t at = size_t(o.pos) * o.kv_dim + size_t(h) * hd;
  norm_rope_head(o.k + size_t(h) * hd, o.norm, o.k_cache + at, o);
  for (int i = int(threadIdx.x); i < hd; i += kAttnThreads) o.v_cache[at + i] = o.v[size_t(h) * hd + i];
}

__global__ void __launch_bounds__(kAttnThreads) attn_core_kernel(AttnOperands o) {
  __shared__ float red[kAttnThreads];
  const int h = int(blockIdx.x), tid = int(threadIdx.x), hd = o.head_dim;
  const int kvh = h / (o.n_head / o.n_kv);
  const float* q = o.q + size_t(h) * hd;
  const float* gate = o.qg + size_t(h) * 2 * hd + hd;
  float* sc = o.scores + size_t(h) * o.n_pos;
  const size_t col = size_t(kvh) * hd;
  float m = -INFINITY;
  for (int t = tid; t < o.n_pos; t += kAttnThreads) {
    const float* kt = o.k_cache + size_t(t) * o.kv_dim + col;
    float s = 0.0f;
    for (int i = 0; i < hd; ++i) s += q[i] * kt[i];
    sc[t] = o.scale * s;
    m = fmaxf(m, sc[t]);
  }
  m = block_reduce(m, red, Max{});
  float sum = 0.0f;
  for (int t = tid; t < o.n_pos; t += kAttnThreads) {
    sc[t] = lanes::softmax_term(sc[t], m);
    sum += sc[t];
  }
  sum = block_reduce(sum, red, Sum{});  // also orders the score writes before the reads below
  for (int i = tid; i < hd; i += kAttnThreads) {
    float acc = 0.0f;
    for (int t = 0; t < o.n_pos; ++t) acc += (sc[t] / sum) * o.v_cache[size_t(t) * o.kv_dim + col + i];
    o.out[size_t(h) * hd + i] = lanes::gate_output(acc, gate[i]);
  }
}

static_assert(lanes::kAttnSplitChunk == kAttnThreads, "one score per thread of a chunk");

// Block (h, s) attends over the chunk of positions from s × kAttnSplitChunk: it leaves
// the chunk's maximum score m, its sum of e^(score - m) and its value sums weighted by
// e^(score - m), unnormalized. Partials of head h, chunk s: values at (h·n_split + s)·hd,
// then (m, sum) pairs after all values.
__global__ void __launch_bounds__(kAttnThreads) attn_split_kernel(AttnOperands o) {
  __shared__ float red[kAttnThreads];
  __shared__ float sc[lanes::kAttnSplitChunk];
  const int h = int(blockIdx.x), s = int(blockIdx.y), tid = int(threadIdx.x), hd = o.head_dim;
  const int lane = tid % 32, warp = tid / 32;
  const int t0 = s * lanes::kAttnSplitChunk;
  const int len = o.n_pos - t0 < lanes::kAttnSplitChunk ? o.n_pos - t0 : lanes::kAttnSplitChunk;
  const size_t col = size_t(h / (o.n_head / o.n_kv)) * hd;
  const float* q = o.q + size_t(h) * hd;
  // A warp per position with its lanes across the head, so the key reads coalesce.
  for (int t = warp; t < len; t += kAttnThreads / 32) {
    const float* kt = o.k_cache + size_t(t0 + t) * o.kv_dim + col;
    float acc = 0.0f;
    for (int i = lane; i < hd; i += 32) acc += q[i] * kt[i];
    acc = warp_sum(acc);
    if (lane == 0) sc[t] = o.scale * acc;
  }
  __syncthreads();
  const float m = block_reduce(tid < len ? sc[tid] : -INFINITY, red, Max{});
  float e = 0.0f;
  if (tid < len) {
    e = lanes::softmax_term(sc[tid], m);
    sc[tid] = e;
  }
  const float sum = block_reduce(e, red, Sum{});  // also orders the writes of sc before the reads below
  const size_t part = size_t(h) * o.n_split + s;
  for (int i = tid; i < hd; i += kAttnThreads) {
    float acc = 0.0f;
    for (int t = 0; t < len; ++t) acc += sc[t] * o.v_cache[size_t(t0 + t) * o.kv_dim + col + i];
    o.scores[part * hd + i] = acc;
  }
  if (tid == 0) {
    float* stats = o.scores + size_t(o.n_head) * o.n_split * hd;
    stats[2 * part] = m;
    stats[2 * part + 1] = sum;
  }
}

// Block h rescales the chunks of head h to the head's maximum, normalizes and gates.
__global__ void __launch_bounds__(kAttnThreads) attn_combine_kernel(AttnOperands o) {
  __shared__ float red[kAttnThreads];
  const int h = int(blockIdx.x), tid = int(threadIdx.x), hd = o.head_dim, ns = o.n_split;
  const float* val = o.scores + size_t(h) * ns * hd;
  const float* stats = o.scores + size_t(o.n_head) * ns * hd + size_t(h) * ns * 2;
  float m = -INFINITY;
  for (int s = tid; s < ns; s += kAttnThreads) m = fmaxf(m, stats[2 * s]);
  m = block_reduce(m, red, Max{});
  float total = 0.0f;
  for (int s = tid; s < ns; s += kAttnThreads) total += lanes::softmax_term(stats[2 * s], m) * stats[2 * s + 1];
  total = block_reduce(total, red, Sum{});
  const float* gate = o.qg + size_t(h) * 2 * hd + hd;
  for (int i = tid; i < hd; i += kAttnThreads) {
    float acc = 0.0f;
    for (int s = 0; s < ns; ++s) acc += lanes::softmax_term(stats[2 * s], m) * val[size_t(s) * hd + i];
    o.out[size_t(h) * hd + i] = lanes::gate_output(acc / total, gate[i]);
  }
}

}  // namespace dev

int launch_attn(const Launch& l, const KernelArgs& a) {
  const AttnOperands& o = *static_cast<const AttnOperands*>(a.ext);
  const size_t head_bytes = size_t(o.head_dim) * sizeof(float);
  switch (l.kernel) {
    case Kernel::AttnQPrep:
      dev::attn_qprep_kernel<<<l.grid, dev::kAttnThreads, head_bytes>>>(o);
      break;
    case Kernel::AttnKvAppend:
      dev::attn_kv_append_kernel<<<l.grid, dev::kAttnThreads, head_bytes>>>(o);
      break;
    case Kernel::AttnCore:
      dev::attn_core_kernel<<<l.grid, dev::kAttnThreads>>>(o);
      break;
    case Kernel::AttnSplit:
      dev::attn_split_kernel<<<dim3(l.grid, l.grid_y), dev::kAttnThreads>>>(o);
      break;
    case Kernel::AttnCombine:
      dev::attn_combine_kernel<<<l.grid, dev::kAttnThreads>>>(o);
      break;
    default:
      return int(cudaErrorInvalidValue);
  }
  return dev::last_launch_status();
}

}  // namespace kestrune
