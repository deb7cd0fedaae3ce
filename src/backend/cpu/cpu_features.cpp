#include "backend/cpu/cpu_features.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace kestrune {

namespace {

CpuFeatures probe() {
  CpuFeatures f;
#if defined(__x86_64__) && defined(__GNUC__)
  // Half conversions come with every AVX2 part in practice, but not by definition.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  f.f16c = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C) != 0;
  __builtin_cpu_init();
  f.avx2 = __builtin_cpu_supports("avx2");
  f.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vl");
  f.avx512_vnni = __builtin_cpu_supports("avx512vnni");
#endif
  return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures f = probe();
  return f;
}

}  // namespace kestrune
