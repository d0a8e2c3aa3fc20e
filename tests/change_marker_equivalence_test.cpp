// Every marking kernel this CPU runs, and markChanges itself, against the plain pipeline.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "change_marker.h"
#include "change_marker_kernels.h"
#include "footage.h"
#include "plain_pipeline.h"

namespace {

bool identical(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Runs one kernel on a copy of `work` (a view into a larger image, so the whole image shows
// any write outside the view) and the plain pipeline on another; true when both agree.
::testing::AssertionResult agrees(const MarkKernel& kernel, const cv::Mat& reference,
                                  const cv::Mat& work, const cv::Rect& view) {
  cv::Mat expected = work.clone(), actual = work.clone(), scratch;
  cv::Mat expectedView = expected(view), actualView = actual(view);
  markPlainPipeline(reference, expectedView, scratch);
  markChangesWith(kernel.markRow, reference, actualView);
  if (identical(actual, expected)) return ::testing::AssertionSuccess();
  cv::Mat differs;
  cv::compare(actual.reshape(1), expected.reshape(1), differs, cv::CMP_NE);
  std::vector<cv::Point> where;
  cv::findNonZero(differs, where);
  return ::testing::AssertionFailure()
         << kernel.name << " differs at byte " << where[0] << " of a " << view.size() << " view at "
         << view.tl() << " in " << work.size();
}

// A work frame near the reference: small noise, some pixels changed outright, and channel
// differences that sit on the threshold.
cv::Mat nearby(const cv::Mat& reference, cv::RNG& rng) {
  cv::Mat noise(reference.size(), CV_16SC3), work;
  rng.fill(noise, cv::RNG::NORMAL, 0, rng.uniform(1, 40));
  cv::Mat wide;
  reference.convertTo(wide, CV_16SC3);
  wide += noise;
  for (int i = rng.uniform(0, 20); i > 0; --i) {
    const cv::Point at(rng.uniform(0, reference.cols), rng.uniform(0, reference.rows));
    wide.at<cv::Vec3s>(at) = cv::Vec3s(rng.uniform(0, 256), rng.uniform(0, 256), 0);
  }
  for (int i = rng.uniform(0, 20); i > 0; --i) {
    const cv::Point at(rng.uniform(0, reference.cols), rng.uniform(0, reference.rows));
    const cv::Vec3b r = reference.at<cv::Vec3b>(at);
    const int step = rng.uniform(0, 2) ? 17 : 16;  // sums of 51 and of 48, up or down
    const int sign = rng.uniform(0, 2) ? 1 : -1;
    wide.at<cv::Vec3s>(at) = cv::Vec3s(r[0] + sign * step, r[1] + sign * step, r[2] + sign * step);
  }
  wide.convertTo(work, CV_8UC3);
  return work;
}

std::vector<MarkKernel> kernels() {
  std::vector<MarkKernel> all = markKernels();
  // So that a broken build or CPU check cannot hide a kernel from the tests, nor leave
  // markChanges on a slower one, on either processor.
#if defined(__GNUC__) && defined(__x86_64__)
  const char* fastest = __builtin_cpu_supports("avx2")    ? "avx2"
                        : __builtin_cpu_supports("ssse3") ? "ssse3"
                                                          : "plain";
#elif defined(__aarch64__)
  const char* fastest = "neon";
#else
  const char* fastest = "plain";
#endif
  EXPECT_STREQ(markChangesKernel().name, fastest);
  EXPECT_STREQ(all.back().name, fastest);
  EXPECT_STREQ(all.front().name, "plain");
  return all;
}

TEST(MarkKernels, AgreeWithThePlainPipelineOnRandomFramesAndViews) {
  cv::RNG rng(20240607);
  const std::vector<MarkKernel> all = kernels();
  for (int round = 0; round < 300; ++round) {
    // Mostly small sizes, where the ends of rows and the blocks meet, some up to 300.
    const int limit = round % 3 == 0 ? 300 : 70;
    const cv::Size size(rng.uniform(1, limit + 1), rng.uniform(1, limit + 1));
    const cv::Rect whole(cv::Point(), size);
    // Every third frame is a view with its own offset and row stride in a larger image.
    const bool asView = round % 3 == 1;
    const cv::Size margin = asView ? cv::Size(rng.uniform(1, 40), rng.uniform(1, 5)) : cv::Size();
    cv::Mat bigReference(size + margin, CV_8UC3);
    rng.fill(bigReference, cv::RNG::UNIFORM, 0, 256);
    const cv::Rect referenceView(rng.uniform(0, margin.width + 1),
                                 rng.uniform(0, margin.height + 1), size.width, size.height);
    const cv::Mat reference = bigReference(referenceView);
    cv::Mat bigWork(size + margin, CV_8UC3);
    rng.fill(bigWork, cv::RNG::UNIFORM, 0, 256);
    const cv::Rect workView(rng.uniform(0, margin.width + 1), rng.uniform(0, margin.height + 1),
                            size.width, size.height);
    nearby(reference, rng).copyTo(bigWork(workView));
    for (const MarkKernel& kernel : all)
      ASSERT_TRUE(agrees(kernel, reference, bigWork, asView ? workView : whole));
  }
}

TEST(MarkKernels, AgreeOnExtremeDifferences) {
  // Saturation: channel differences of 255 must not wrap round to small sums.
  const cv::Size size(97, 5);
  const std::vector<MarkKernel> all = kernels();
  for (const cv::Scalar& work : {cv::Scalar(255, 255, 255), cv::Scalar(255, 0, 0),
                                 cv::Scalar(0, 0, 51), cv::Scalar(0, 17, 17)}) {
    const cv::Mat black(size, CV_8UC3, cv::Scalar::all(0));
    const cv::Mat frame(size, CV_8UC3, work);
    for (const MarkKernel& kernel : all) {
      EXPECT_TRUE(agrees(kernel, black, frame, cv::Rect(cv::Point(), size))) << work;
      EXPECT_TRUE(agrees(kernel, frame, black, cv::Rect(cv::Point(), size))) << work;
    }
  }
}

TEST(MarkKernels, AgreeOnRealFootage) {
  const std::vector<cv::Mat> frames = footageFrames(6);
  ASSERT_EQ(frames.size(), 6u) << "no footage: tools/fetch-footage failed";
  const std::vector<MarkKernel> all = kernels();
  const cv::Mat later = footageFrames(1, 60).at(0);
  // Consecutive frames, and one against a frame two seconds on, where people have moved.
  std::vector<std::pair<cv::Mat, cv::Mat>> pairs = {{frames[0], later}};
  for (size_t i = 0; i + 1 < frames.size(); ++i) pairs.push_back({frames[i], frames[i + 1]});
  const cv::Rect whole(cv::Point(), frames[0].size());
  // Also an odd-sized view at an odd offset, so rows end inside a block.
  const cv::Rect odd(3, 1, 701, 573);
  for (const auto& [reference, work] : pairs) {
    ASSERT_EQ(reference.type(), CV_8UC3);
    for (const MarkKernel& kernel : all) {
      EXPECT_TRUE(agrees(kernel, reference, work, whole));
      EXPECT_TRUE(agrees(kernel, reference(odd), work, odd));
    }
  }
  // The footage must exercise marking, not only its absence.
  cv::Mat marked = later.clone();
  markChanges(frames[0], marked);
  EXPECT_GT(cv::norm(marked, later, cv::NORM_L1), 0);
}

}  // namespace
