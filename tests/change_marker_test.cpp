#include "change_marker.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

namespace {

// The rule written the plain way: full-frame difference, then every second row and column.
cv::Mat markPlainly(const cv::Mat& reference, const cv::Mat& work) {
  cv::Mat out = work.clone(), diff;
  cv::absdiff(reference, work, diff);
  for (int y = 0; y < diff.rows; y += 2)
    for (int x = 0; x < diff.cols; x += 2) {
      const cv::Vec3b d = diff.at<cv::Vec3b>(y, x);
      if ((d[0] + d[1] + d[2]) / 3 > 16) out.at<cv::Vec3b>(y, x) = cv::Vec3b(0, 255, 0);
    }
  return out;
}

bool identical(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

const cv::Vec3b kGreen(0, 255, 0);

TEST(ChangeMarker, ThresholdIsAMeanAboveSixteen) {
  const cv::Mat reference(4, 4, CV_8UC3, cv::Scalar(100, 100, 100));
  struct Case {
    cv::Scalar work;
    bool marked;
  } cases[] = {
      {{116, 116, 116}, false}, {{117, 117, 117}, true},  {{84, 84, 84}, false},
      {{83, 83, 83}, true},     {{151, 100, 100}, true},  {{150, 100, 100}, false},
      {{100, 151, 100}, true},  {{100, 100, 49}, true},   {{100, 100, 50}, false},
      {{117, 83, 117}, true},   {{100, 100, 100}, false},
  };
  for (const Case& c : cases) {
    cv::Mat work(4, 4, CV_8UC3, c.work);
    markChanges(reference, work);
    const cv::Vec3b expected = c.marked ? kGreen : cv::Vec3b(c.work[0], c.work[1], c.work[2]);
    EXPECT_EQ(work.at<cv::Vec3b>(2, 2), expected) << "work " << c.work;
  }
}

TEST(ChangeMarker, OnlyEvenRowsAndColumnsAreExaminedAndPainted) {
  const cv::Mat reference(6, 6, CV_8UC3, cv::Scalar::all(0));
  cv::Mat work(6, 6, CV_8UC3, cv::Scalar::all(0));
  for (int i = 0; i < 6; ++i) {
    work.at<cv::Vec3b>(1, i) = work.at<cv::Vec3b>(i, 3) = cv::Vec3b(200, 200, 200);
  }
  const cv::Mat before = work.clone();
  markChanges(reference, work);
  EXPECT_TRUE(identical(work, before)) << "a change on odd rows or columns only was marked";

  work.setTo(cv::Scalar::all(200));
  markChanges(reference, work);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) {
      const bool even = x % 2 == 0 && y % 2 == 0;
      EXPECT_EQ(work.at<cv::Vec3b>(y, x), even ? kGreen : cv::Vec3b(200, 200, 200))
          << x << "," << y;
    }
}

TEST(ChangeMarker, OddSizesReachTheLastEvenRowAndColumnAndNoFurther) {
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(5, 3), cv::Size(3, 7), cv::Size(2, 1)}) {
    // A view inside a larger image: anything written beyond it would show in the border.
    cv::Mat whole(size.height + 2, size.width + 2, CV_8UC3, cv::Scalar::all(7));
    cv::Mat work = whole(cv::Rect(cv::Point(1, 1), size));
    work.setTo(cv::Scalar::all(90));
    const cv::Mat reference(size, CV_8UC3, cv::Scalar::all(0));
    markChanges(reference, work);
    EXPECT_EQ(work.at<cv::Vec3b>((size.height - 1) & ~1, (size.width - 1) & ~1), kGreen);
    cv::Mat border = whole.clone();
    border(cv::Rect(cv::Point(1, 1), size)).setTo(cv::Scalar::all(7));
    EXPECT_EQ(cv::countNonZero(border.reshape(1) != 7), 0) << size;
  }
}

TEST(ChangeMarker, AgreesBitForBitWithThePlainRule) {
  cv::RNG rng(12345);
  const cv::Size sizes[] = {{640, 480}, {1280, 720}, {33, 17}, {1, 9}, {97, 2}, {7, 1}};
  for (const cv::Size size : sizes) {
    cv::Mat reference(size, CV_8UC3), work(size, CV_8UC3), noise(size, CV_8UC3);
    rng.fill(reference, cv::RNG::UNIFORM, 0, 256);
    // Differences spread around the threshold, plus some large ones.
    rng.fill(noise, cv::RNG::NORMAL, 0, 20);
    cv::add(reference, noise, work);
    const cv::Mat expected = markPlainly(reference, work);
    markChanges(reference, work);
    EXPECT_TRUE(identical(work, expected)) << size;
  }
}

TEST(ChangeMarker, ViewsUseTheirOwnRowStrides) {
  cv::RNG rng(7);
  cv::Mat bigReference(50, 70, CV_8UC3), bigWork(60, 90, CV_8UC3);
  rng.fill(bigReference, cv::RNG::UNIFORM, 0, 256);
  rng.fill(bigWork, cv::RNG::UNIFORM, 0, 256);
  const cv::Mat reference = bigReference(cv::Rect(3, 5, 41, 31));
  cv::Mat work = bigWork(cv::Rect(10, 2, 41, 31));
  const cv::Mat expected = markPlainly(reference, work);
  const cv::Mat outside = bigWork.clone();
  markChanges(reference, work);
  EXPECT_TRUE(identical(work, expected));
  expected.copyTo(outside(cv::Rect(10, 2, 41, 31)));
  EXPECT_TRUE(identical(bigWork, outside)) << "pixels outside the view changed";
}

TEST(ChangeMarker, ImagesOfUnlikeShapeAreLeftAlone) {
  const cv::Mat reference(4, 4, CV_8UC3, cv::Scalar::all(0));
  cv::Mat larger(6, 4, CV_8UC3, cv::Scalar::all(200)), grey(4, 4, CV_8UC1, cv::Scalar(200));
  const cv::Mat largerBefore = larger.clone(), greyBefore = grey.clone();
  EXPECT_EQ(markChanges(reference, larger).data, larger.data);
  markChanges(reference, grey);
  EXPECT_TRUE(identical(larger, largerBefore));
  EXPECT_TRUE(identical(grey, greyBefore));
}

}  // namespace
