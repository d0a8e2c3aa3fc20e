// SPDX-License-Identifier: Apache-2.0
#include "old_scaler.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "simd_kernels.h"  // which of SSSE3 (the x86 baseline) and AVX2 the CPU runs

#if defined(__GNUC__) && defined(__x86_64__)
#define ORVELLE_X86_SIMD 1
#include <immintrin.h>
#endif

namespace {

constexpr int kOne = 2048;  // weights are in 1/2048ths, as in OpenCV

// Two rows scaled across, weighed into a row of the result with OpenCV's own rounding for 8-bit
// results, which its SIMD code matches. Inlined so that the compiler vectorises each copy for
// its own target.
__attribute__((always_inline)) inline void blendRows(const short* r0, const short* r1, short b0,
                                                     short b1, int width, uchar* d) {
  for (int x = 0; x < width; ++x)
    d[x] = uchar((short((b0 * r0[x]) >> 16) + short((b1 * r1[x]) >> 16) + 2) >> 2);
}

#ifdef ORVELLE_X86_SIMD
// pmaddubsw multiplies bytes by signed bytes, so each weight w (up to 2048) comes as
// 32 * hi + lo. The lo sums are never negative, so (32 * H + L) >> 4 == 2 * H + (L >> 4): the
// numbers OpenCV gets by shifting its 32-bit sums, which stay below 2^15.
__attribute__((target("ssse3"))) inline __m128i weigh(__m128i pairs, const schar* hi,
                                                      const schar* lo) {
  const __m128i h = _mm_maddubs_epi16(pairs, _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)));
  const __m128i l = _mm_maddubs_epi16(pairs, _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo)));
  return _mm_add_epi16(_mm_add_epi16(h, h), _mm_srli_epi16(l, 4));
}

// Eight bytes from each of two pixels: the pixel and its right neighbour, then two to spare.
inline __m128i loadTwo(const uchar* s, const int* xofs) {
  return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + xofs[0])),
                            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + xofs[1])));
}

// Pairs each channel of the two pixels in loadTwo's register with the neighbour's.
#define ORVELLE_PAIRS 0, 3, 1, 4, 2, 5, 8, 11, 9, 12, 10, 13, -1, -1, -1, -1

// Columns [0, end & ~1) of a row, two at a time. Each store writes 8 shorts, 6 of them used.
__attribute__((target("ssse3"))) int scaleAcrossSsse3(const uchar* s, const int* xofs,
                                                      const schar* hi, const schar* lo, int end,
                                                      short* d) {
  const __m128i pairs = _mm_setr_epi8(ORVELLE_PAIRS);
  int dx = 0;
  for (; dx + 2 <= end; dx += 2, d += 6, hi += 16, lo += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                     weigh(_mm_shuffle_epi8(loadTwo(s, xofs + dx), pairs), hi, lo));
  return dx;
}

// The same four columns at a time, two in each half of the register.
__attribute__((target("avx2"))) int scaleAcrossAvx2(const uchar* s, const int* xofs,
                                                    const schar* hi, const schar* lo, int end,
                                                    short* d) {
  const __m256i pairs = _mm256_setr_epi8(ORVELLE_PAIRS, ORVELLE_PAIRS);
  const __m256i used = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);  // the 12 shorts first
  int dx = 0;
  for (; dx + 4 <= end; dx += 4, d += 12, hi += 32, lo += 32) {
    const __m256i p = _mm256_inserti128_si256(_mm256_castsi128_si256(loadTwo(s, xofs + dx)),
                                              loadTwo(s, xofs + dx + 2), 1);
    const __m256i q = _mm256_shuffle_epi8(p, pairs);
    const __m256i h =
        _mm256_maddubs_epi16(q, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hi)));
    const __m256i l =
        _mm256_maddubs_epi16(q, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lo)));
    const __m256i sum = _mm256_add_epi16(_mm256_add_epi16(h, h), _mm256_srli_epi16(l, 4));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), _mm256_permutevar8x32_epi32(sum, used));
  }
  return dx + scaleAcrossSsse3(s, xofs + dx, hi, lo, end - dx, d);
}

__attribute__((target("avx2"))) void blendRowsAvx2(const short* r0, const short* r1, short b0,
                                                   short b1, int width, uchar* d) {
  blendRows(r0, r1, b0, b1, width, d);
}
#endif

}  // namespace

// The tables as cv::resize computes them, float rounding included.
void OldLinearScaler::prepare(cv::Size from, cv::Size to) {
  from_ = from, to_ = to;
  const double scaleX = 1. / (double(to.width) / from.width);
  const double scaleY = 1. / (double(to.height) / from.height);
  xofs_.resize(to.width);
  alpha_.resize(2 * to.width);
  alphaHi_.assign(16 * (to.width / 2 + 2), 0);
  alphaLo_.assign(alphaHi_.size(), 0);
  xmax_ = to.width;
  safeEnd_ = 0;
  for (int dx = 0; dx < to.width; ++dx) {
    float fx = float((dx + 0.5) * scaleX - 0.5);
    int sx = cvFloor(fx);
    fx -= sx;
    if (sx < 0) fx = 0, sx = 0;
    if (sx + 1 >= from.width) {
      xmax_ = std::min(xmax_, dx);
      fx = 0, sx = from.width - 1;
    }
    xofs_[dx] = 3 * sx;
    if (3 * sx + 8 <= 3 * from.width) safeEnd_ = dx + 1;
    alpha_[2 * dx] = cv::saturate_cast<short>((1.f - fx) * kOne);
    alpha_[2 * dx + 1] = cv::saturate_cast<short>(fx * kOne);
    // The byte weights of the SIMD code, 16 to a pair of columns: the two weights for each
    // channel of the even column, the same for the odd one, then four zeros.
    for (int c = 0; c < 6; ++c) {
      const int at = 16 * (dx / 2) + 6 * (dx % 2) + c;
      alphaHi_[at] = schar(alpha_[2 * dx + c % 2] >> 5);
      alphaLo_[at] = schar(alpha_[2 * dx + c % 2] & 31);
    }
  }
  yofs_.resize(to.height);
  beta_.resize(2 * to.height);
  for (int dy = 0; dy < to.height; ++dy) {
    float fy = float((dy + 0.5) * scaleY - 0.5);
    const int sy = cvFloor(fy);
    fy -= sy;
    yofs_[dy] = sy;
    beta_[2 * dy] = cv::saturate_cast<short>((1.f - fy) * kOne);
    beta_[2 * dy + 1] = cv::saturate_cast<short>(fy * kOne);
  }
  for (Band& band : bands_)
    for (std::vector<short>& row : band.rows) row.resize(3 * to.width + 4);  // see the SIMD code
}

// Source row `sy` scaled across into row `slot` of `band`, reusing a row scaled before.
const short* OldLinearScaler::scaledRow(const cv::Mat& src, int sy, Band& band, int slot) const {
  if (band.rowOf[slot] == sy) return band.rows[slot].data();
  if (band.rowOf[1 - slot] == sy) {
    std::swap(band.rows[0], band.rows[1]);
    std::swap(band.rowOf[0], band.rowOf[1]);
    return band.rows[slot].data();
  }
  const uchar* s = src.ptr<uchar>(sy);
  short* d = band.rows[slot].data();
  int dx = 0;
#ifdef ORVELLE_X86_SIMD
  // Eight bytes are read from each pixel on, so stop where they would pass the row's end.
  const int end = std::min(xmax_, safeEnd_);
  if (simd >= Simd::avx2 && cpuHasAvx2())
    dx = scaleAcrossAvx2(s, xofs_.data(), alphaHi_.data(), alphaLo_.data(), end, d);
  else if (simd >= Simd::ssse3 && cpuHasBaseline())
    dx = scaleAcrossSsse3(s, xofs_.data(), alphaHi_.data(), alphaLo_.data(), end, d);
  d += 3 * dx;
#endif
  for (; dx < xmax_; ++dx, d += 3) {
    const uchar* p = s + xofs_[dx];
    const int a0 = alpha_[2 * dx], a1 = alpha_[2 * dx + 1];
    d[0] = short((p[0] * a0 + p[3] * a1) >> 4);
    d[1] = short((p[1] * a0 + p[4] * a1) >> 4);
    d[2] = short((p[2] * a0 + p[5] * a1) >> 4);
  }
  for (; dx < to_.width; ++dx, d += 3) {
    const uchar* p = s + xofs_[dx];
    d[0] = short(p[0] * (kOne >> 4)), d[1] = short(p[1] * (kOne >> 4));
    d[2] = short(p[2] * (kOne >> 4));
  }
  band.rowOf[slot] = sy;
  return band.rows[slot].data();
}

// A class rather than a lambda: cv::parallel_for_ would wrap a lambda in a std::function,
// which allocates.
struct OldLinearScaler::ScaleBands : cv::ParallelLoopBody {
  ScaleBands(OldLinearScaler& scaler, const cv::Mat& src, cv::Mat& dst)
      : scaler(scaler), src(src), dst(dst) {}
  void operator()(const cv::Range& bands) const override;
  OldLinearScaler& scaler;
  const cv::Mat& src;
  cv::Mat& dst;
};

void OldLinearScaler::scale(const cv::Mat& src, cv::Mat& dst, cv::Size size) {
  dst.create(size, src.type());
  if (src.size() == size) {
    src.copyTo(dst);
    return;
  }
  if (src.type() != CV_8UC3) {
    cv::resize(src, dst, size, 0, 0, cv::INTER_LINEAR);
    return;
  }
  // cv::resize takes an exact halving as the rounded mean of 2 x 2 pixels instead.
  if (src.size() == size * 2) {
    for (int dy = 0; dy < size.height; ++dy) {
      const uchar* s0 = src.ptr<uchar>(2 * dy);
      const uchar* s1 = src.ptr<uchar>(2 * dy + 1);
      uchar* d = dst.ptr<uchar>(dy);
      for (int x = 0; x < 3 * size.width; ++x) {
        const int i = x + 3 * (x / 3);  // the same channel of the left pixel of the pair
        d[x] = uchar((s0[i] + s0[i + 3] + s1[i] + s1[i + 3] + 2) >> 2);
      }
    }
    return;
  }
  if (src.size() != from_ || size != to_) prepare(src.size(), size);
  cv::parallel_for_(cv::Range(0, kBands), ScaleBands(*this, src, dst));
}

void OldLinearScaler::ScaleBands::operator()(const cv::Range& bands) const {
  const int height = dst.rows, width = 3 * dst.cols;
  for (int b = bands.start; b < bands.end; ++b) {
    Band& band = scaler.bands_[b];
    band.rowOf[0] = band.rowOf[1] = -1;  // the rows kept are of the last image
    for (int dy = height * b / kBands; dy < height * (b + 1) / kBands; ++dy) {
      const int sy = scaler.yofs_[dy];
      const short* r0 = scaler.scaledRow(src, std::clamp(sy, 0, src.rows - 1), band, 0);
      const short* r1 = scaler.scaledRow(src, std::clamp(sy + 1, 0, src.rows - 1), band, 1);
      const short b0 = scaler.beta_[2 * dy], b1 = scaler.beta_[2 * dy + 1];
      uchar* d = dst.ptr<uchar>(dy);
#ifdef ORVELLE_X86_SIMD
      if (scaler.simd >= Simd::avx2 && cpuHasAvx2()) {
        blendRowsAvx2(r0, r1, b0, b1, width, d);
        continue;
      }
#endif
      blendRows(r0, r1, b0, b1, width, d);
    }
  }
}
