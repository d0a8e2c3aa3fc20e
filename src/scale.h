// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <opencv2/core.hpp>
#include <vector>

// Bilinear scaling of 8-bit BGR images with exactly the result of cv::resize's INTER_LINEAR.
// cv::resize allocates its tables and row buffers on every call; this keeps them from call to
// call, so scaling frames of an unchanged size allocates nothing.
class LinearScaler {
 public:
  void scale(const cv::Mat& src, cv::Mat& dst, cv::Size size);

  // The fastest code the CPU runs, up to this; tests lower it to check every path. The
  // baseline is SSSE3 on x86-64 and NEON on arm64.
  enum class Simd { none, baseline, avx2 };
  Simd simd = Simd::avx2;

 private:
  // Bands of output rows are scaled in parallel, each with its own row buffers.
  static constexpr int kBands = 4;
  struct Band {
    std::vector<short> rows[2];  // source rows scaled across, divided by 16 as OpenCV does
    int rowOf[2] = {-1, -1};
  };
  struct ScaleBands;

  void prepare(cv::Size from, cv::Size to);
  void scaleRest(const uchar* s, int dx, short* d) const;
  void scaleAcross(int rows, const uchar* const* s, short* const* d) const;
  void scalePair(const cv::Mat& src, int sy0, int sy1, Band& band) const;
  const short* scaledRow(const cv::Mat& src, int sy, Band& band, int slot) const;

  cv::Size from_, to_;
  std::vector<int> xofs_, yofs_;     // first source byte of each column, row of each row
  std::vector<short> alpha_, beta_;  // fixed-point weights of the two neighbours
  // The SIMD code's weights, in bytes: each of alpha_ as 32 * hi + lo, 16 to two columns (the
  // pair for each channel of the first, then of the second, then four zeros).
  std::vector<schar> alphaHi_, alphaLo_;
  int xmax_ = 0;     // columns from here on take the last source column
  int safeEnd_ = 0;  // columns before this may read 8 bytes from their pixel
  Band bands_[kBands];
};
