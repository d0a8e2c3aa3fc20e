// SPDX-License-Identifier: Apache-2.0
#pragma once

// What the x86 kernels of the marker and the scaler need: their intrinsics, and which of
// them the CPU runs (asked once). Elsewhere only the plain loops are built.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define ORVELLE_X86_SIMD 1
#include <immintrin.h>

inline bool cpuHasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3") != 0;
  return has;
}

inline bool cpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
}
#endif
