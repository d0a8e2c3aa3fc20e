#include "overlay.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "viewer.h"

namespace {

// Where the red went, as a mask of the pixels the texts touched.
cv::Mat drawnOnBlack() {
  cv::Mat picture(480, 640, CV_8UC3, cv::Scalar::all(0));
  drawOverlay(picture);
  cv::Mat channels[3];
  cv::split(picture, channels);
  EXPECT_EQ(cv::countNonZero(channels[0]) + cv::countNonZero(channels[1]), 0) << "not pure red";
  return channels[2] > 0;
}

int inkIn(const cv::Mat& ink, cv::Rect box) { return cv::countNonZero(ink(box)); }

class Overlay : public ::testing::Test {
 protected:
  void SetUp() override {
    initOverlayFont();
    menuVisible = true;
  }
  void TearDown() override { menuVisible = true; }
};

// Text boxes: the menu lines stand on baselines 10, 22 and 34 at x = 10, the caption on
// baseline 457 at x = 552; glyphs of the plain Hershey face reach 11 px above the baseline
// and 3 below, and the longest line is 129 px wide before the squeeze.
const cv::Rect kLine1(8, 0, 96, 14), kLine2(8, 11, 96, 14), kLine3(8, 23, 96, 14);
const cv::Rect kCaption(550, 445, 90, 16);

TEST_F(Overlay, MenuAndCaptionLandInTheirBoxesAndNowhereElse) {
  cv::Mat ink = drawnOnBlack();
  for (const cv::Rect& box : {kLine1, kLine2, kLine3, kCaption}) EXPECT_GT(inkIn(ink, box), 20);
  ink(kLine1 | kLine2 | kLine3).setTo(0);
  ink(kCaption).setTo(0);
  EXPECT_EQ(cv::countNonZero(ink), 0);
}

TEST_F(Overlay, HiddenMenuLeavesOneLineInThePlaceOfTheFirst) {
  const cv::Mat shown = drawnOnBlack();
  menuVisible = false;
  const cv::Mat hidden = drawnOnBlack();
  EXPECT_GT(inkIn(hidden, kLine1), 20);
  EXPECT_EQ(inkIn(hidden, cv::Rect(0, 14, 640, 30)), 0);
  EXPECT_NE(cv::countNonZero(hidden(kLine1) != shown(kLine1)), 0) << "the line did not change";
  EXPECT_EQ(cv::countNonZero(hidden(kCaption) != shown(kCaption)), 0) << "the caption moved";
}

TEST_F(Overlay, CaptionIsSqueezedToSevenTenthsAndEndsInsideThePicture) {
  const cv::Mat ink = drawnOnBlack();
  cv::Rect drawn = cv::boundingRect(ink(kCaption));
  drawn += kCaption.tl();
  // The same text at full width, as OpenCV draws it.
  cv::Mat fullInk(40, 200, CV_8U, cv::Scalar(0));
  cv::putText(fullInk, overlayCaption, {10, 30}, cv::FONT_HERSHEY_PLAIN, 1.0, 255, 1, cv::LINE_AA);
  const cv::Rect full = cv::boundingRect(fullInk);
  EXPECT_EQ(std::string(overlayCaption).size(), 12u);
  EXPECT_GT(full.width, 85) << "at full width the caption would not fit";
  EXPECT_NEAR(drawn.width, 0.7 * full.width, 2.0);
  EXPECT_NEAR(drawn.height, full.height, 1.0) << "the height must stay full";
  EXPECT_NEAR(drawn.br().y, 457 + full.br().y - 30, 1.0) << "not on its baseline";
  EXPECT_GE(drawn.x, 551);
  EXPECT_LT(drawn.br().x, 630);
}

TEST_F(Overlay, StrokesAreSolidRedAtTheirCentres) {
  cv::Mat picture(480, 640, CV_8UC3, cv::Scalar(255, 255, 255));
  drawOverlay(picture);
  cv::Mat channels[3];
  cv::split(picture, channels);
  double minRed = 0, minBlue = 0;
  cv::minMaxLoc(channels[2], &minRed);
  cv::minMaxLoc(channels[0](kLine1), &minBlue);
  EXPECT_EQ(minRed, 255) << "red must never be dimmed";
  EXPECT_LT(minBlue, 40) << "no stroke reaches full strength";
}

TEST_F(Overlay, DrawsNothingBeforeTheFontIsPreparedOrOnOtherImages) {
  freeOverlayFont();
  cv::Mat picture(480, 640, CV_8UC3, cv::Scalar::all(0));
  drawOverlay(picture);
  EXPECT_EQ(cv::countNonZero(picture.reshape(1)), 0);
  initOverlayFont();
  cv::Mat small(20, 30, CV_8UC3, cv::Scalar::all(0));
  drawOverlay(small);  // clipped to the image, no write beyond it
  EXPECT_GT(cv::countNonZero(small.reshape(1)), 0);
}

}  // namespace
