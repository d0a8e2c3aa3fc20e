// SPDX-License-Identifier: Apache-2.0
// Compiled once per instruction set: ORVELLE_SIMD_NS names the build's namespace, and the
// AVX2 build also tells OpenCV's headers what the compiler may use (their own build does the
// same through its configuration).
#include "simd_kernels.h"

#include <cstring>
#ifdef __SSSE3__
#include <immintrin.h>
#endif
#include <opencv2/core/hal/intrin.hpp>

namespace ORVELLE_SIMD_NS {
using namespace cv;

const char* simdName() {
#if CV_AVX2
  return "avx2";
#elif CV_NEON
  return "neon";
#elif CV_SSSE3
  return "ssse3";
#else
  return "none";
#endif
}

#include "change_marker.simd.hpp"
#include "scale.simd.hpp"

}  // namespace ORVELLE_SIMD_NS
