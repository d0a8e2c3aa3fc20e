// SPDX-License-Identifier: Apache-2.0
#include "scale.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "simd_kernels.h"

namespace {

constexpr int kOne = 2048;  // weights are in 1/2048ths, as in OpenCV

// Two rows scaled across, weighed into a row of the result with OpenCV's own rounding for 8-bit
// results, which its SIMD code matches.
void blendRows(const short* r0, const short* r1, short b0, short b1, int x, int width, uchar* d) {
  for (; x < width; ++x)
    d[x] = uchar((short((b0 * r0[x]) >> 16) + short((b1 * r1[x]) >> 16) + 2) >> 2);
}

}  // namespace

// The tables as cv::resize computes them, float rounding included.
void LinearScaler::prepare(cv::Size from, cv::Size to) {
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

// Columns [dx, end) of source row `s` scaled across into `d`, without SIMD.
void LinearScaler::scaleRest(const uchar* s, int dx, short* d) const {
  for (d += 3 * dx; dx < xmax_; ++dx, d += 3) {
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
}

// Rows s[0, rows) scaled across into d[0, rows).
void LinearScaler::scaleAcross(int rows, const uchar* const* s, short* const* d) const {
  int dx = 0;
  // Eight bytes are read from each pixel on, so stop where they would pass the row's end.
  const int end = std::min(xmax_, safeEnd_);
  const schar *hi = alphaHi_.data(), *lo = alphaLo_.data();
#ifdef ORVELLE_SIMD_AVX2
  if (simd >= Simd::avx2 && cpuHasAvx2())
    dx = simd_avx2::scaleAcross(rows, s, xofs_.data(), hi, lo, end, d);
  else
#endif
      if (simd >= Simd::baseline && cpuHasBaseline())
    dx = simd_baseline::scaleAcross(rows, s, xofs_.data(), hi, lo, end, d);
  for (int r = 0; r < rows; ++r) scaleRest(s[r], dx, d[r]);
}

// Source rows `sy0` and `sy1` scaled across into the band's two rows, unless one is kept.
// Together they cost less: the columns' offsets and weights are loaded once for both.
void LinearScaler::scalePair(const cv::Mat& src, int sy0, int sy1, Band& band) const {
  if (sy0 == sy1 || band.rowOf[0] == sy0 || band.rowOf[1] == sy0 || band.rowOf[0] == sy1 ||
      band.rowOf[1] == sy1)
    return;
  const uchar* s[] = {src.ptr<uchar>(sy0), src.ptr<uchar>(sy1)};
  short* d[] = {band.rows[0].data(), band.rows[1].data()};
  scaleAcross(2, s, d);
  band.rowOf[0] = sy0, band.rowOf[1] = sy1;
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
  scaleAcross(1, &s, &d);
  band.rowOf[slot] = sy;
  return d;
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
      const int sy0 = std::clamp(scaler.yofs_[dy], 0, src.rows - 1);
      const int sy1 = std::clamp(scaler.yofs_[dy] + 1, 0, src.rows - 1);
      scaler.scalePair(src, sy0, sy1, band);
      const short* r0 = scaler.scaledRow(src, sy0, band, 0);
      const short* r1 = scaler.scaledRow(src, sy1, band, 1);
      const short b0 = scaler.beta_[2 * dy], b1 = scaler.beta_[2 * dy + 1];
      uchar* d = dst.ptr<uchar>(dy);
      int x = 0;
#ifdef ORVELLE_SIMD_AVX2
      if (scaler.simd >= Simd::avx2 && cpuHasAvx2())
        x = simd_avx2::blendRows(r0, r1, b0, b1, width, d);
      else
#endif
          if (scaler.simd >= Simd::baseline && cpuHasBaseline())
        x = simd_baseline::blendRows(r0, r1, b0, b1, width, d);
      blendRows(r0, r1, b0, b1, x, width, d);
    }
  }
}
