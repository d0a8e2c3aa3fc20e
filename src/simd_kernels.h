// SPDX-License-Identifier: Apache-2.0
#pragma once

// The SIMD kernels of the marker and the scaler, written once with OpenCV's universal
// intrinsics (change_marker.simd.hpp, scale.simd.hpp) and built once per instruction set:
// for the baseline (SSSE3 on x86-64, NEON on arm64) and, on x86-64, again for AVX2. Each build
// has a namespace of its own; the callers pick one at run time.

#include <opencv2/core.hpp>

#define ORVELLE_SIMD_KERNELS                                                                    \
  /* The instruction set this build's vectors use: "ssse3", "avx2", "neon", or "none". */       \
  const char* simdName();                                                                       \
  /* Marks whole blocks of a row as markChanges does; returns the pixels done. */               \
  int markRowBlocks(const uchar* ref, uchar* work, int cols);                                   \
  /* Columns [0, end) of one or two rows scaled across, as the scaler's plain loop; returns     \
   * those done. Takes each column's weights split in two bytes, 8 a column (see LinearScaler); \
   * reads 8 bytes from each pixel on and writes up to 4 spare shorts after the last column. */ \
  int scaleAcross(int rows, const uchar* const* s, const int* xofs, const schar* hi,            \
                  const schar* lo, int end, short* const* d);                                   \
  /* Two rows scaled across weighed into one; returns the bytes done. */                        \
  int blendRows(const short* r0, const short* r1, short b0, short b1, int width, uchar* d);

namespace simd_baseline {
ORVELLE_SIMD_KERNELS
}

#if defined(__x86_64__) && defined(__GNUC__)
#define ORVELLE_SIMD_AVX2 1
namespace simd_avx2 {
ORVELLE_SIMD_KERNELS
}

inline bool cpuHasBaseline() {
  static const bool has = __builtin_cpu_supports("ssse3") != 0;
  return has;
}

inline bool cpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
}
#else
inline bool cpuHasBaseline() { return true; }
#endif
