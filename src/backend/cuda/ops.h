// The cuda backend's layer operations: the device chains where every projection of the
// operation is eligible, else the host operation with every quantized product on the
// device (matvec_host), resident columns pulled first and pushed back after.
#pragma once

#include <span>
#include <vector>

#include "backend/cpu/cpu.h"
#include "backend/cuda/cuda.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"

namespace kestrune {

// The host run of a cuda backend: its pool and window, products through matvec_host.
HostRun cuda_host_run(CudaContext& c);

Status cuda_attn_mixer(const Cuda& cuda, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                       uint64_t nonce, KvCache& kv, ColumnsOut xs, float* out_norm);
Status cuda_gdn_mixer(const Cuda& cuda, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                      ColumnsOut xs, float* out_norm);
Status cuda_ffn_swiglu(const Cuda& cuda, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm);
// Ends a matching residency; refuses one of another width.
Status cuda_logits_head(const Cuda& cuda, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits);
// Starts the token residency with 1 to 3 columns (more stay on the host); reads the
// resident columns back without ending it.
Status cuda_columns_begin(const Cuda& cuda, ColumnsIn xs);
Status cuda_columns_read(const Cuda& cuda, ColumnsOut xs);
void cuda_columns_drop(const Cuda& cuda);
Result<std::vector<float>> cuda_project(const Cuda& cuda, const Matrix& m, std::span<const float> x);

}  // namespace kestrune
