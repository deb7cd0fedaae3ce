// The device products: a plan from dispatch.h carried out launch by launch on device
// operands, stopping at the first failed launch.
#pragma once

#include "backend/cuda/cuda.h"
#include "backend/cuda/dispatch.h"
#include "common/error.h"

namespace kestrune {

// Device pointers of one dispatch. Column c of x starts at c × cols, column c of an
// output at c × its rows. tmp (rows floats) serves the x8 residual product.
struct ProductOperands {
  const void* w0 = nullptr;
  const void* w1 = nullptr;
  const float* x = nullptr;
  float* y0 = nullptr;
  float* y1 = nullptr;
  float* tmp = nullptr;
};

Status run_product(CudaContext& c, const ProductShape& s, const ProductOperands& o);

// The dispatch operations by name; x8 follows the context.
Status dev_matvec(CudaContext& c, DeviceFormat fmt, const void* w, const float* x, float* y, int cols, int rows);
Status dev_matvec_residual(CudaContext& c, DeviceFormat fmt, const void* w, const float* x, float* tmp, float* acc,
                           int cols, int rows);
Status dev_matvec_dual(CudaContext& c, DeviceFormat fmt0, const void* w0, DeviceFormat fmt1, const void* w1,
                       const float* x, float* y0, float* y1, int cols, int rows);
Status dev_matvec_dual2(CudaContext& c, DeviceFormat fmt0, const void* w0, int rows0, DeviceFormat fmt1,
                        const void* w1, int rows1, const float* x, float* y0, float* y1, int cols);
Status dev_matvec_n2(CudaContext& c, DeviceFormat fmt, const void* w, const float* x, float* y, int cols, int rows);
Status dev_matvec_n3(CudaContext& c, DeviceFormat fmt, const void* w, const float* x, float* y, int cols, int rows);

// The element-wise kernels the layer operations chain around the products.
Status dev_rmsnorm(const DeviceApi& api, const float* x, const float* w, float* y, int n, float eps, const char* label);
Status dev_silu_mul(const DeviceApi& api, float* g, const float* u, int n, const char* label);
Status dev_add_inplace(const DeviceApi& api, float* a, const float* b, int n, const char* label);

}  // namespace kestrune
