// SPDX-License-Identifier: Apache-2.0
#include "change_marker.h"

#include <cstdlib>

#include "change_marker_kernels.h"
#include "simd.h"

namespace {

void markRowPlain(const uchar* ref, uchar* work, int cols) {
  for (int x = 0; x < cols; x += 2) {
    const uchar* r = ref + 3 * x;
    uchar* w = work + 3 * x;
    // Mean above 16 is the same as a sum of 51 or more.
    const int sum = std::abs(r[0] - w[0]) + std::abs(r[1] - w[1]) + std::abs(r[2] - w[2]);
    if (sum >= 51) {
      w[0] = 0;
      w[1] = 255;
      w[2] = 0;
    }
  }
}

#ifdef ORVELLE_X86_SIMD

// The SIMD kernels take blocks of 16 or 32 pixels, both starting on an even pixel. Each byte
// gets the saturated sum of its own difference and the next two: at the first byte of a
// pixel that is the pixel's sum, and saturating at 255 keeps "sum >= 51" exact. A pixel never
// straddles a block's end, so the bytes shifted in beyond it may be zeros.

// 0xff on the first byte of every even pixel of a 32-pixel block.
alignas(32) const uchar kEvenPixelStarts[96] = {
#define ORVELLE_SIX 0xff, 0, 0, 0, 0, 0
    ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX,
    ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX,
    ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX,
#undef ORVELLE_SIX
};

__attribute__((target("ssse3"))) void markRowSsse3(const uchar* ref, uchar* work, int cols) {
  const __m128i limit = _mm_set1_epi8(51);
  int x = 0;
  for (; x + 16 <= cols; x += 16) {
    const uchar* r = ref + 3 * x;
    uchar* w = work + 3 * x;
    __m128i d[4], m[3];
    for (int i = 0; i < 3; ++i) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + 16 * i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 16 * i));
      d[i] = _mm_sub_epi8(_mm_max_epu8(a, b), _mm_min_epu8(a, b));
    }
    d[3] = _mm_setzero_si128();
    __m128i any = _mm_setzero_si128();
    for (int i = 0; i < 3; ++i) {
      const __m128i s = _mm_adds_epu8(_mm_adds_epu8(d[i], _mm_alignr_epi8(d[i + 1], d[i], 1)),
                                      _mm_alignr_epi8(d[i + 1], d[i], 2));
      const __m128i starts = _mm_load_si128(reinterpret_cast<const __m128i*>(kEvenPixelStarts) + i);
      m[i] = _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(s, limit), s), starts);
      any = _mm_or_si128(any, m[i]);
    }
    // Most blocks of a live picture have nothing to mark: leave their memory unwritten.
    if (_mm_movemask_epi8(any) == 0) continue;
    __m128i before = _mm_setzero_si128();
    for (int i = 0; i < 3; ++i) {
      // A marked pixel's mask moved one byte on is its green byte, two bytes on its red one.
      const __m128i green = _mm_alignr_epi8(m[i], before, 15);
      const __m128i blueRed = _mm_or_si128(m[i], _mm_alignr_epi8(m[i], before, 14));
      __m128i* p = reinterpret_cast<__m128i*>(w + 16 * i);
      _mm_storeu_si128(p, _mm_or_si128(_mm_andnot_si128(blueRed, _mm_loadu_si128(p)), green));
      before = m[i];
    }
  }
  markRowPlain(ref + 3 * x, work + 3 * x, cols - x);
}

__attribute__((target("avx2"))) void markRowAvx2(const uchar* ref, uchar* work, int cols) {
  const __m256i limit = _mm256_set1_epi8(51);
  int x = 0;
  for (; x + 32 <= cols; x += 32) {
    const uchar* r = ref + 3 * x;
    uchar* w = work + 3 * x;
    __m256i d[3], m[3];
    for (int i = 0; i < 3; ++i) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + 32 * i));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 32 * i));
      d[i] = _mm256_sub_epi8(_mm256_max_epu8(a, b), _mm256_min_epu8(a, b));
    }
    // Byte shifts work within 16-byte lanes, so pair each vector with the 32 bytes that
    // start 16 bytes later (then 16 bytes earlier, for the masks).
    const __m256i after[3] = {_mm256_permute2x128_si256(d[0], d[1], 0x21),
                              _mm256_permute2x128_si256(d[1], d[2], 0x21),
                              _mm256_permute2x128_si256(d[2], d[2], 0x81)};
    __m256i any = _mm256_setzero_si256();
    for (int i = 0; i < 3; ++i) {
      const __m256i s =
          _mm256_adds_epu8(_mm256_adds_epu8(d[i], _mm256_alignr_epi8(after[i], d[i], 1)),
                           _mm256_alignr_epi8(after[i], d[i], 2));
      const __m256i starts =
          _mm256_load_si256(reinterpret_cast<const __m256i*>(kEvenPixelStarts) + i);
      m[i] = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(s, limit), s), starts);
      any = _mm256_or_si256(any, m[i]);
    }
    if (_mm256_testz_si256(any, any)) continue;
    const __m256i before[3] = {_mm256_permute2x128_si256(m[0], m[0], 0x08),
                               _mm256_permute2x128_si256(m[0], m[1], 0x21),
                               _mm256_permute2x128_si256(m[1], m[2], 0x21)};
    for (int i = 0; i < 3; ++i) {
      const __m256i green = _mm256_alignr_epi8(m[i], before[i], 15);
      const __m256i blueRed = _mm256_or_si256(m[i], _mm256_alignr_epi8(m[i], before[i], 14));
      __m256i* p = reinterpret_cast<__m256i*>(w + 32 * i);
      _mm256_storeu_si256(
          p, _mm256_or_si256(_mm256_andnot_si256(blueRed, _mm256_loadu_si256(p)), green));
    }
  }
  markRowPlain(ref + 3 * x, work + 3 * x, cols - x);
}

#endif

struct Candidate {
  MarkKernel kernel;
  bool (*runs)();
};

// Slowest first.
const Candidate kCandidates[] = {
    {{"plain", markRowPlain}, [] { return true; }},
#ifdef ORVELLE_X86_SIMD
    {{"ssse3", markRowSsse3}, cpuHasSsse3},
    {{"avx2", markRowAvx2}, cpuHasAvx2},
#endif
};

MarkRow fastestMarkRow() {
  MarkRow best = markRowPlain;
  for (const Candidate& c : kCandidates)
    if (c.runs()) best = c.kernel.markRow;
  return best;
}

}  // namespace

std::vector<MarkKernel> markKernels() {
  std::vector<MarkKernel> kernels;
  for (const Candidate& c : kCandidates)
    if (c.runs()) kernels.push_back(c.kernel);
  return kernels;
}

cv::Mat& markChangesWith(MarkRow markRow, const cv::Mat& referenceFrame, cv::Mat& workFrame) {
  if (referenceFrame.type() != CV_8UC3 || workFrame.type() != CV_8UC3 ||
      referenceFrame.size() != workFrame.size())
    return workFrame;
  for (int y = 0; y < workFrame.rows; y += 2)
    markRow(referenceFrame.ptr<uchar>(y), workFrame.ptr<uchar>(y), workFrame.cols);
  return workFrame;
}

cv::Mat& markChanges(const cv::Mat& referenceFrame, cv::Mat& workFrame) {
  static const MarkRow best = fastestMarkRow();
  return markChangesWith(best, referenceFrame, workFrame);
}
