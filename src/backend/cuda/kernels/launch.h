// Host entry points of the device code, one per kernel file, each returning the launch
// status. launch_kernel routes a plan's launch to its file.
#pragma once

#include "backend/cuda/runtime.h"

namespace kestrune {

int launch_kernel(const Launch& l, const KernelArgs& a);

int launch_q8_and_small(const Launch& l, const KernelArgs& a);  // q8_0, quantize, rmsnorm, silu, add
int launch_kquant(const Launch& l, const KernelArgs& a);        // wide, split4, dual
int launch_multi(const Launch& l, const KernelArgs& a);         // n2, n3
int launch_dual2(const Launch& l, const KernelArgs& a);
int launch_x8(const Launch& l, const KernelArgs& a);
int launch_gdn(const Launch& l, const KernelArgs& a);  // conv, gates, scans, gated norm
int launch_attn(const Launch& l, const KernelArgs& a);  // qprep, kv append, core, split + combine

}  // namespace kestrune
