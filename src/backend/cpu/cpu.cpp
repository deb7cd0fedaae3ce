#include "backend/cpu/cpu.h"

#include <algorithm>

#include "backend/cpu/matmul.h"
#include "backend/cpu/primitives.h"
#include "backend/cpu/xquant.h"
#include "common/format.h"

namespace kestrune {

Cpu make_cpu(size_t threads, bool xquant) {
  Cpu cpu;
  cpu.pool = make_thread_pool(threads);
  cpu.xquant = xquant;
  return cpu;
}

ProductFn xquant_products(ThreadPool* pool) {
  return [pool](const Matrix& m, ColumnsIn xs) { return xquant_cols(m, xs, pool); };
}

Status host_logits_head(const HostRun& run, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  Columns xn(xs.size());
  for (size_t j = 0; j < xs.size(); ++j) {
    KS_TRY(xn[j], rms_norm(xs[j], w.norm, eps, "logits_head"));
  }
  KS_TRY(Columns y, multiply(Matrix{w.head}, xn, run.pool, run.products));
  for (size_t j = 0; j < xs.size(); ++j) {
    if (y[j].size() != logits[j].size()) {
      return invalid_data(format("logits_head: head rows {} != logits {}", y[j].size(), logits[j].size()));
    }
  }
  for (size_t j = 0; j < xs.size(); ++j) std::copy(y[j].begin(), y[j].end(), logits[j].begin());
  return {};
}

Status cpu_logits_head(const Cpu& cpu, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  return host_logits_head(cpu_run(cpu), w, eps, xs, logits);
}

Result<std::vector<float>> cpu_project(const Cpu& cpu, const Matrix& m, std::span<const float> x) {
  return cpu.xquant ? xquant_matvec(m, x, cpu.pool.get()) : matvec(m, x, cpu.pool.get());
}

}  // namespace kestrune
