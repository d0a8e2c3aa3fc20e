#include "scale.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "simd_kernels.h"

namespace {

using Simd = LinearScaler::Simd;

// With the AVX2 code, the baseline SIMD code and the plain loops (as far as the CPU has them).
::testing::AssertionResult matchesResize(LinearScaler& scaler, const cv::Mat& src, cv::Size size) {
  cv::Mat expected;
  cv::resize(src, expected, size, 0, 0, cv::INTER_LINEAR);
  for (const Simd simd : {Simd::avx2, Simd::baseline, Simd::none}) {
    cv::Mat actual;
    scaler.simd = simd;
    scaler.scale(src, actual, size);
    if (actual.size() != size || actual.type() != src.type() ||
        cv::norm(actual, expected, cv::NORM_INF) != 0)
      return ::testing::AssertionFailure()
             << src.size() << " to " << size << " differs, simd " << int(simd);
  }
  return ::testing::AssertionSuccess();
}

cv::Mat randomImage(cv::Size size, cv::RNG& rng) {
  cv::Mat image(size, CV_8UC3);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

TEST(LinearScaler, MatchesResizeFromCameraSizesToThePicture) {
  cv::RNG rng(11);
  LinearScaler scaler;
  const cv::Size picture(640, 480);
  // Larger, smaller, an exact halving, the same size, and awkward odd ones.
  for (const cv::Size from :
       {cv::Size(1920, 1080), cv::Size(1280, 720), cv::Size(3840, 2160), cv::Size(1280, 960),
        cv::Size(640, 480), cv::Size(320, 240), cv::Size(176, 144), cv::Size(1, 1),
        cv::Size(641, 479), cv::Size(800, 600), cv::Size(1279, 961), cv::Size(2, 3)}) {
    // Twice each, so the second call runs on the kept tables with new content.
    EXPECT_TRUE(matchesResize(scaler, randomImage(from, rng), picture));
    EXPECT_TRUE(matchesResize(scaler, randomImage(from, rng), picture));
  }
}

TEST(LinearScaler, MatchesResizeBetweenRandomSizesAndOnViews) {
  cv::RNG rng(12);
  LinearScaler scaler;
  for (int round = 0; round < 200; ++round) {
    const cv::Size from(rng.uniform(1, 200), rng.uniform(1, 200));
    const cv::Size to(rng.uniform(1, 200), rng.uniform(1, 200));
    const cv::Mat big = randomImage(from + cv::Size(7, 3), rng);
    const cv::Mat view = big(cv::Rect(cv::Point(rng.uniform(0, 8), rng.uniform(0, 4)), from));
    ASSERT_TRUE(matchesResize(scaler, round % 2 ? view : view.clone(), to)) << round;
  }
}

// The SIMD code works in 16 bits: the largest sums come from white next to white, and a
// checkerboard of black and white puts every weight against the extremes.
TEST(LinearScaler, MatchesResizeOnWhiteAndOnACheckerboard) {
#if defined(__x86_64__) || defined(__aarch64__)
  // Nor has a build left it out, which would leave the plain loops to match themselves.
  const uchar row[64] = {};
  const uchar* rows[] = {row};
  const int xofs[] = {0, 3, 6, 9};
  const schar weights[64] = {};
  short across[16];
  short* out[] = {across};
  if (cpuHasBaseline()) {
    EXPECT_EQ(simd_baseline::scaleAcross(1, rows, xofs, weights, weights, 4, out), 4)
        << simd_baseline::simdName();
  }
#ifdef ORVELLE_SIMD_AVX2
  if (cpuHasAvx2()) {
    EXPECT_EQ(simd_avx2::scaleAcross(1, rows, xofs, weights, weights, 4, out), 4);
  }
#endif
#endif
  LinearScaler scaler;
  for (const cv::Size from : {cv::Size(1280, 720), cv::Size(1920, 1080), cv::Size(333, 251)}) {
    const cv::Mat white(from, CV_8UC3, cv::Scalar::all(255));
    cv::Mat board(from, CV_8UC3);
    for (int y = 0; y < from.height; ++y)
      for (int x = 0; x < from.width; ++x)
        board.at<cv::Vec3b>(y, x) = (x + y) % 2 ? cv::Vec3b(255, 0, 255) : cv::Vec3b(0, 255, 0);
    for (const cv::Size to : {cv::Size(640, 480), cv::Size(1001, 997)}) {
      EXPECT_TRUE(matchesResize(scaler, white, to));
      EXPECT_TRUE(matchesResize(scaler, board, to));
    }
  }
}

TEST(LinearScaler, WritesIntoAnImageOfTheRightSizeInPlace) {
  cv::RNG rng(13);
  LinearScaler scaler;
  cv::Mat out(480, 640, CV_8UC3);
  const uchar* before = out.data;
  scaler.scale(randomImage({1280, 720}, rng), out, {640, 480});
  EXPECT_EQ(out.data, before);
}

}  // namespace
