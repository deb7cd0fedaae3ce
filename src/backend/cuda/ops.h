// The CUDA backend's small operations over device activations. Inputs held on the host
// go up first. The products take only weights the device reads, and the gates only
// dense weights: the seam runs the others on the host.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "backend/backend.h"
#include "backend/cuda/cuda.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"

namespace kestrune {

// Whether the device reads this weight: its own blocks, in a format the kernels take.
bool cuda_reads(const Matrix& m);
// Whether the device computes the GDN gates of these weights for columns of n floats.
bool cuda_gates_fit(const GdnGeometry& g, const GdnWeights& w, size_t n);

Result<Activations> cuda_rms_norm(CudaContext& c, const Activations& x, std::span<const float> w, float eps,
                                  const char* op);
Result<Activations> cuda_matmul(CudaContext& c, const Matrix& m, const Activations& x);
Result<std::pair<Activations, Activations>> cuda_matmul_pair(CudaContext& c, const Matrix& m0, const Matrix& m1,
                                                            const Activations& x);
Status cuda_matmul_add(CudaContext& c, const Matrix& m, const Activations& x, Activations& acc);
Status cuda_add(CudaContext& c, Activations& acc, const Activations& y);
Status cuda_silu_mul(CudaContext& c, Activations& g, const Activations& u);

// Defined with the device's attention and GDN state.
Result<Activations> cuda_attention(CudaContext& c, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                                   uint64_t nonce, KvCache& kv, const Activations& qg, const Activations& k,
                                   const Activations& v);
Result<Activations> cuda_gdn_gates(CudaContext& c, const GdnGeometry& g, const GdnWeights& w, const Activations& xn);
Result<Activations> cuda_gdn_conv(CudaContext& c, const GdnGeometry& g, const CachedTensor& w, uint64_t nonce,
                                  GdnLayerState& st, const Activations& qkv);
Result<Activations> cuda_gdn_scan(CudaContext& c, const GdnGeometry& g, uint64_t nonce, GdnLayerState& st,
                                  const Activations& qkv, const Activations& gates);
Result<Activations> cuda_gated_norm(CudaContext& c, const GdnGeometry& g, std::span<const float> w,
                                    const Activations& scan, const Activations& z);

}  // namespace kestrune
