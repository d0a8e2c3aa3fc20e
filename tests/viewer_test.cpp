#include "viewer.h"

#include <gtest/gtest.h>

#include <deque>
#include <opencv2/imgproc.hpp>

#include "overlay.h"

namespace {

constexpr int kEsc = 27;
const cv::Rect kLine2(8, 12, 80, 14);          // "m - hide menu"
const cv::Rect kMarkArea(200, 140, 200, 200);  // inside the object of withObject()

// A camera, a keyboard and a window played from a script, one step each time the loop asks
// the camera for a frame.
struct Script {
  struct Step {
    Grab grab = Grab::Frame;
    cv::Mat frame;
    std::deque<int> keys;  // typed before the key wait that follows
    bool windowOpen = true;
  };
  std::deque<Step> steps;
  std::vector<cv::Mat> shown;
  std::vector<bool> detectingAtShow;
  int passes = 0;

  Script& then(const cv::Mat& frame, std::deque<int> keys = {}) {
    steps.push_back({Grab::Frame, frame, std::move(keys), true});
    return *this;
  }
  Script& then(const cv::Mat& frame, int key) { return then(frame, std::deque<int>{key}); }
  // The camera has no frame yet while these keys are typed.
  Script& slow(std::deque<int> keys = {}) {
    steps.push_back({Grab::None, {}, std::move(keys), true});
    return *this;
  }
  Script& lost() {
    steps.push_back({Grab::Lost, {}, {}, true});
    return *this;
  }

  LoopEnd run(Viewer& viewer) {
    std::deque<int> keys;
    bool open = true;
    // The wait the loop should ask for next: 10 ms in a pass (none before the first
    // picture), 1 while idle.
    int firstWait = 0;
    const ViewerIo io{
        [&](cv::Mat& frame, int) {
          if (steps.empty()) return Grab::Lost;
          Step step = steps.front();
          steps.pop_front();
          keys = step.keys;
          open = step.windowOpen;
          firstWait = step.grab == Grab::Frame ? (shown.empty() ? 0 : 10) : 1;
          if (step.grab == Grab::Frame) {
            frame = step.frame;
            ++passes;
          }
          return step.grab;
        },
        [&](int delay) {
          EXPECT_EQ(delay, firstWait);
          firstWait = 0;  // the rest of the keys typed are taken without waiting
          // The state must hold its invariant whenever the loop waits.
          EXPECT_EQ(viewer.referenceFrame.empty(), !detecting);
          if (keys.empty()) return -1;
          const int key = keys.front();
          keys.pop_front();
          return key;
        },
        [&] { return open; },
        [&](const cv::Mat& image) {
          shown.push_back(image.clone());
          detectingAtShow.push_back(detecting);
        },
    };
    return runLoop(viewer, io);
  }
};

cv::Mat plain(cv::Size size, cv::Scalar colour) { return cv::Mat(size, CV_8UC3, colour); }

// A grey frame with a bright square where something moved in.
cv::Mat withObject(cv::Size size = {640, 480}) {
  cv::Mat frame = plain(size, cv::Scalar::all(90));
  frame(cv::Rect(size.width / 4, size.height / 4, size.width / 2, size.height / 2))
      .setTo(cv::Scalar(30, 200, 240));
  return frame;
}

int greenDots(const cv::Mat& image, cv::Rect area = {0, 0, 640, 480}) {
  cv::Mat green;
  cv::inRange(image(area), cv::Scalar(0, 255, 0), cv::Scalar(0, 255, 0), green);
  return cv::countNonZero(green);
}

bool menuShown(const cv::Mat& image) {
  cv::Mat red;
  cv::inRange(image(kLine2), cv::Scalar(0, 0, 100), cv::Scalar(60, 60, 255), red);
  return cv::countNonZero(red) > 0;
}

class Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    initOverlayFont();
    menuVisible = true;
    detecting = false;
  }
  void TearDown() override {
    menuVisible = true;
    detecting = false;
  }
  Viewer viewer;
  Script script;
  const cv::Size vga{640, 480};
};

TEST_F(Loop, MenuKeyTakesEffectFromTheNextPass) {
  const cv::Mat still = plain(vga, cv::Scalar::all(90));
  script.then(still).then(still, 'm').then(still).then(still, 'm').then(still);
  EXPECT_EQ(script.run(viewer), LoopEnd::CameraLost);
  ASSERT_EQ(script.shown.size(), 5u);
  const bool expected[] = {true, true, false, false, true};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(menuShown(script.shown[i]), expected[i]) << "pass " << i;
}

TEST_F(Loop, MarkingStartsStopsAndRestartsWithAFreshReference) {
  const cv::Mat empty = plain(vga, cv::Scalar::all(90)), object = withObject();
  script.then(empty)
      .then(empty, 's')
      .then(object)
      .then(object, 's')
      .then(object)
      .then(object, 's')
      .then(object)
      .then(empty);
  script.run(viewer);
  ASSERT_EQ(script.shown.size(), 8u);
  EXPECT_EQ(greenDots(script.shown[1]), 0) << "the pass that read `s` is still unmarked";
  // 200 x 200 px of the picture hold 100 x 100 dots; the texts are far away.
  EXPECT_EQ(greenDots(script.shown[2], kMarkArea), 100 * 100);
  EXPECT_EQ(greenDots(script.shown[3], kMarkArea), 100 * 100) << "still marked while stopping";
  EXPECT_EQ(greenDots(script.shown[4]), 0);
  EXPECT_EQ(greenDots(script.shown[5]), 0);
  EXPECT_EQ(greenDots(script.shown[6]), 0) << "the fresh reference shows the object";
  EXPECT_EQ(greenDots(script.shown[7], kMarkArea), 100 * 100) << "the object left";
  EXPECT_TRUE(detecting);
  EXPECT_EQ(cv::norm(viewer.referenceFrame, object, cv::NORM_INF), 0);
}

TEST_F(Loop, ReferenceIsTheRawFrameNeverTheMarkedOne) {
  const cv::Mat empty = plain(vga, cv::Scalar::all(90)), object = withObject();
  script.then(empty, 's').then(object, 's').then(object, 's').then(object);
  script.run(viewer);
  ASSERT_TRUE(detecting);
  EXPECT_EQ(greenDots(viewer.referenceFrame), 0);
  EXPECT_EQ(cv::norm(viewer.referenceFrame, object, cv::NORM_INF), 0);
}

TEST_F(Loop, EscAndLowerCaseQLeaveWithoutShowingThatPass) {
  for (const int key : {kEsc, int('q')}) {
    Viewer fresh;
    Script quit;
    const cv::Mat still = plain(vga, cv::Scalar::all(90));
    quit.then(still).then(still, key).then(still);
    EXPECT_EQ(quit.run(fresh), LoopEnd::Quit) << key;
    EXPECT_EQ(quit.passes, 2);
    EXPECT_EQ(quit.shown.size(), 1u);
  }
}

TEST_F(Loop, UpperCaseAndOtherKeysDoNothing) {
  const cv::Mat object = withObject();
  script.then(object, 'Q').then(object, 'M').then(object, 'S').then(object, 'x');
  script.then(object, 0x10ff51).then(object, 113 | 0x100000).then(object);
  EXPECT_EQ(script.run(viewer), LoopEnd::CameraLost);
  EXPECT_EQ(script.shown.size(), 7u);
  EXPECT_TRUE(menuVisible);
  EXPECT_FALSE(detecting);
  EXPECT_TRUE(menuShown(script.shown.back()));
}

TEST_F(Loop, ClosedWindowEndsTheLoopWithoutShowing) {
  const cv::Mat still = plain(vga, cv::Scalar::all(90));
  script.then(still).then(still);
  script.steps.back().windowOpen = false;
  script.then(still);
  EXPECT_EQ(script.run(viewer), LoopEnd::Quit);
  EXPECT_EQ(script.shown.size(), 1u);
}

TEST_F(Loop, LostCameraEndsTheLoop) {
  for (const bool emptyFrame : {false, true}) {
    Viewer fresh;
    Script lost;
    lost.then(plain(vga, cv::Scalar::all(90))).slow();
    if (emptyFrame)
      lost.then(cv::Mat());
    else
      lost.lost();
    lost.then(plain(vga, cv::Scalar::all(90)));
    EXPECT_EQ(lost.run(fresh), LoopEnd::CameraLost) << "an empty frame counts as a lost camera";
    EXPECT_EQ(lost.shown.size(), 1u);
  }
}

TEST_F(Loop, EveryKeyOfAPassActsInOrder) {
  const cv::Mat still = plain(vga, cv::Scalar::all(90));
  script.then(still, {'m', 'm', 's'}).then(still, {'m', 'q', 'm'}).then(still);
  EXPECT_EQ(script.run(viewer), LoopEnd::Quit);
  EXPECT_EQ(script.shown.size(), 1u);
  EXPECT_FALSE(menuVisible) << "the keys after `q` must not act";
  EXPECT_TRUE(detecting);
}

// A slow camera: keys typed while no frame comes act at once, and show in the next picture.
TEST_F(Loop, KeysActWhileTheCameraIsSlow) {
  const cv::Mat empty = plain(vga, cv::Scalar::all(90)), object = withObject();
  // `s` before any frame has nothing to take for a reference.
  script.slow({'s'}).then(empty).slow({'m'}).slow({'s'}).then(object);
  EXPECT_EQ(script.run(viewer), LoopEnd::CameraLost);
  ASSERT_EQ(script.shown.size(), 2u);
  EXPECT_TRUE(menuShown(script.shown[0]));
  EXPECT_FALSE(menuShown(script.shown[1]));
  // The reference is the picture the user saw when pressing `s`.
  EXPECT_EQ(greenDots(script.shown[1], kMarkArea), 100 * 100);

  for (const bool closeWindow : {false, true}) {
    Viewer fresh;
    Script quit;
    quit.then(empty).slow().slow(closeWindow ? std::deque<int>{} : std::deque<int>{'q'});
    quit.steps.back().windowOpen = !closeWindow;
    quit.then(empty);
    EXPECT_EQ(quit.run(fresh), LoopEnd::Quit);
    EXPECT_EQ(quit.passes, 1);
    EXPECT_EQ(quit.shown.size(), 1u);
  }
}

TEST_F(Loop, SizeChangeWhileMarkingEndsMarking) {
  const cv::Mat small = withObject(), large = withObject({1280, 720});
  script.then(small, 's').then(small).then(large).then(large, 's').then(withObject({1280, 721}));
  script.run(viewer);
  ASSERT_EQ(script.shown.size(), 5u);
  EXPECT_EQ(script.detectingAtShow, (std::vector<bool>{true, true, false, true, false}));
  EXPECT_EQ(greenDots(script.shown[2]), 0);
  EXPECT_TRUE(viewer.referenceFrame.empty());
}

TEST_F(Loop, OtherFrameFormatsAreShownAsColourPictures) {
  cv::Mat grey(480, 640, CV_8UC1, cv::Scalar(77)),
      bgra(480, 640, CV_8UC4, cv::Scalar(10, 20, 30, 0));
  cv::Mat deep(480, 640, CV_16UC3, cv::Scalar(256 * 40, 256 * 50, 256 * 60));
  cv::Mat odd(5, 7, CV_8UC2, cv::Scalar(33, 200));
  script.then(grey, 's').then(grey).then(bgra).then(deep).then(odd);
  script.run(viewer);
  ASSERT_EQ(script.shown.size(), 5u);
  const cv::Point middle(320, 240);
  EXPECT_EQ(script.shown[0].at<cv::Vec3b>(middle), cv::Vec3b(77, 77, 77));
  EXPECT_EQ(script.shown[1].at<cv::Vec3b>(middle), cv::Vec3b(77, 77, 77)) << "grey is no change";
  EXPECT_EQ(script.shown[2].at<cv::Vec3b>(middle), cv::Vec3b(0, 255, 0)) << "BGRA differs";
  EXPECT_EQ(script.shown[3].at<cv::Vec3b>(middle), cv::Vec3b(0, 255, 0));
  EXPECT_EQ(viewer.frame.at<cv::Vec3b>(0, 0), cv::Vec3b(33, 33, 33)) << "first channel as grey";
  EXPECT_EQ(script.shown[2].at<cv::Vec3b>(middle + cv::Point(1, 1)), cv::Vec3b(10, 20, 30));
  EXPECT_EQ(script.shown[3].at<cv::Vec3b>(middle + cv::Point(1, 1)), cv::Vec3b(40, 50, 60));
  for (const cv::Mat& image : script.shown) {
    EXPECT_EQ(image.size(), vga);
    EXPECT_EQ(image.type(), CV_8UC3);
  }
}

TEST_F(Loop, LargerCameraStillFillsThePictureWithTheTextsInPlace) {
  cv::Mat hd(720, 1280, CV_8UC3);
  cv::randu(hd, 0, 256);
  cv::GaussianBlur(hd, hd, {9, 9}, 3);
  const cv::Mat vgaFrame = plain(vga, cv::Scalar::all(0));
  script.then(hd).then(vgaFrame);
  script.run(viewer);
  ASSERT_EQ(script.shown.size(), 2u);
  cv::Mat expected;
  cv::resize(hd, expected, vga, 0, 0, cv::INTER_LINEAR);
  // Away from the texts the picture is the bilinear scaling of the whole frame.
  const cv::Rect clear(100, 50, 440, 380);
  EXPECT_EQ(cv::norm(script.shown[0](clear), expected(clear), cv::NORM_INF), 0);
  cv::Mat textOnly = vgaFrame.clone(), hdText = expected.clone();
  drawOverlay(textOnly);
  drawOverlay(hdText);
  EXPECT_EQ(cv::norm(script.shown[1], textOnly, cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(script.shown[0], hdText, cv::NORM_INF), 0);
}

}  // namespace
