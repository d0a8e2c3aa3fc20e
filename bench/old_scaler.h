// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <opencv2/core.hpp>
#include <vector>

// The scaler as it was at d9cf13e, with SSSE3 and AVX2 kernels of its own: the baseline the
// scaler written with universal intrinsics is measured against (the `scaler_old` benchmark).
class OldLinearScaler {
 public:
  void scale(const cv::Mat& src, cv::Mat& dst, cv::Size size);

  // The fastest code the CPU runs, up to this; tests lower it to check every path.
  enum class Simd { none, ssse3, avx2 };
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
  const short* scaledRow(const cv::Mat& src, int sy, Band& band, int slot) const;

  cv::Size from_, to_;
  std::vector<int> xofs_, yofs_;          // first source byte of each column, row of each row
  std::vector<short> alpha_, beta_;       // fixed-point weights of the two neighbours
  std::vector<schar> alphaHi_, alphaLo_;  // alpha_ for the SIMD code, see there
  int xmax_ = 0;                          // columns from here on take the last source column
  int safeEnd_ = 0;                       // columns before this may read 8 bytes from their pixel
  Band bands_[kBands];
};
