#include "scale.h"

#include <algorithm>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <utility>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define ORVELLE_X86_SIMD 1
#include <immintrin.h>
#endif

namespace {

constexpr int kOne = 2048;  // weights are in 1/2048ths, as in OpenCV

#ifdef ORVELLE_X86_SIMD
bool hasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3") != 0;
  return has;
}

// Columns [0, end) of a row: the three channels of a pixel and of its right neighbour paired
// up as 16-bit numbers, then one multiply-add per pair with the column's two weights.
__attribute__((target("ssse3"))) void scaleAcrossSsse3(const uchar* s, const int* xofs,
                                                       const short* alpha, int end, short* d) {
  const __m128i pairs = _mm_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1);
  for (int dx = 0; dx < end; ++dx, d += 3) {
    const __m128i p = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + xofs[dx]));
    int weights;
    std::memcpy(&weights, alpha + 2 * dx, sizeof weights);
    const __m128i sums = _mm_madd_epi16(_mm_shuffle_epi8(p, pairs), _mm_set1_epi32(weights));
    // Four shorts land: the fourth is overwritten by the next pixel or lies in the padding.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d),
                     _mm_packs_epi32(_mm_srai_epi32(sums, 4), _mm_setzero_si128()));
  }
}
#endif

}  // namespace

// The tables as cv::resize computes them, float rounding included.
void LinearScaler::prepare(cv::Size from, cv::Size to) {
  from_ = from, to_ = to;
  const double scaleX = 1. / (double(to.width) / from.width);
  const double scaleY = 1. / (double(to.height) / from.height);
  xofs_.resize(to.width);
  alpha_.resize(2 * to.width);
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
    for (std::vector<short>& row : band.rows) row.resize(3 * to.width + 1);  // see the SIMD code
}

// Source row `sy` scaled across into row `slot` of `band`, reusing a row scaled before.
const short* LinearScaler::scaledRow(const cv::Mat& src, int sy, Band& band, int slot) const {
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
  if (simd && hasSsse3()) {
    const int end = std::min(xmax_, safeEnd_);
    scaleAcrossSsse3(s, xofs_.data(), alpha_.data(), end, d);
    dx = end, d += 3 * end;
  }
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
struct LinearScaler::ScaleBands : cv::ParallelLoopBody {
  ScaleBands(LinearScaler& scaler, const cv::Mat& src, cv::Mat& dst)
      : scaler(scaler), src(src), dst(dst) {}
  void operator()(const cv::Range& bands) const override;
  LinearScaler& scaler;
  const cv::Mat& src;
  cv::Mat& dst;
};

void LinearScaler::scale(const cv::Mat& src, cv::Mat& dst, cv::Size size) {
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

void LinearScaler::ScaleBands::operator()(const cv::Range& bands) const {
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
      // OpenCV's own rounding for 8-bit results, which its SIMD code matches.
      for (int x = 0; x < width; ++x)
        d[x] = uchar((short((b0 * r0[x]) >> 16) + short((b1 * r1[x]) >> 16) + 2) >> 2);
    }
  }
}
