// End-to-end tests: the real viewer on the virtual camera, each test on its own Xvfb, with
// keys typed through XTest and the picture read back from the window.
#include <gtest/gtest.h>

#include "exit_status.h"
#include "session.h"
#include "stamps.h"
#include "wayland.h"

namespace {

// Everything the texts may touch; the rest of the picture is the camera's.
const cv::Rect kMenuArea(0, 0, 160, 48);
const cv::Rect kCaptionArea(544, 440, 96, 28);
// Baselines of the menu lines, all at x = 10.
const int kMenuBaselines[3] = {10, 22, 34};
const std::string kCameraLost = "orvelle: the camera stopped delivering frames\n";

// ---- reading the picture ----

bool pureGreen(const cv::Vec3b& p) { return p == cv::Vec3b(0, 255, 0); }

struct Marks {
  int count = 0, odd = 0;  // pure-green pixels, and those not at even (x, y)
};

Marks marks(const Picture& p) {
  Marks m;
  for (int y = 0; y < p.rows; ++y)
    for (int x = 0; x < p.cols; ++x)
      if (pureGreen(p.at<cv::Vec3b>(y, x))) {
        ++m.count;
        if (x % 2 || y % 2) ++m.odd;
      }
  return m;
}

bool strongRed(const cv::Vec3b& p) { return p[2] >= 150 && p[1] <= 90 && p[0] <= 90; }

// The red text pixels in `area`: strongly red where the camera's frame is not. `frame` may
// be empty where the footage has no such red there.
struct Red {
  int count = 0;
  cv::Rect box;
};

Red redIn(const Picture& p, const cv::Mat& frame, cv::Rect area) {
  Red r;
  int x0 = INT32_MAX, y0 = INT32_MAX, x1 = -1, y1 = -1;
  area &= cv::Rect(0, 0, p.cols, p.rows);
  for (int y = area.y; y < area.br().y; ++y)
    for (int x = area.x; x < area.br().x; ++x)
      if (strongRed(p.at<cv::Vec3b>(y, x)) &&
          (frame.empty() || !strongRed(frame.at<cv::Vec3b>(y, x)))) {
        ++r.count;
        x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
      }
  if (r.count) r.box = cv::Rect(cv::Point(x0, y0), cv::Point(x1 + 1, y1 + 1));
  return r;
}

// The band of rows of one menu line, from its cap height down to its baseline.
cv::Rect menuLine(int i) { return cv::Rect(0, kMenuBaselines[i] - 8, 200, 9); }

bool menuShown(const Picture& p, const cv::Mat& frame) {
  return redIn(p, frame, menuLine(1)).count > 20 && redIn(p, frame, menuLine(2)).count > 20;
}
bool menuHidden(const Picture& p, const cv::Mat& frame) {
  return redIn(p, frame, menuLine(0)).count > 20 && redIn(p, frame, menuLine(1)).count == 0 &&
         redIn(p, frame, menuLine(2)).count == 0;
}

// Largest difference to `expected` outside the texts' areas.
double diffOutsideTexts(const Picture& p, const cv::Mat& expected, int normType = cv::NORM_INF) {
  cv::Mat mask(p.size(), CV_8U, cv::Scalar(255));
  mask(kMenuArea) = 0;
  mask(kCaptionArea) = 0;
  const double n = cv::norm(p, expected, normType, mask);
  return normType == cv::NORM_L1 ? n / (cv::countNonZero(mask) * 3.0) : n;
}

std::string describe(const Red& r) {
  std::ostringstream s;
  s << r.count << " red pixels in " << r.box;
  return s.str();
}

// The menu (shown or hidden) and the caption in red where they belong.
void expectTexts(const Picture& p, const cv::Mat& frame, bool shown) {
  const int lines = shown ? 3 : 1;
  // Where each line ends: tells "m - show menu" from "q - quit" on the first line.
  const int rightEnd[2][3] = {{104, 0, 0}, {59, 99, 65}};
  for (int i = 0; i < 3; ++i) {
    const Red r = redIn(p, frame, menuLine(i));
    SCOPED_TRACE("menu line " + std::to_string(i) + ": " + describe(r));
    if (i >= lines) {
      EXPECT_EQ(r.count, 0);
      continue;
    }
    EXPECT_GT(r.count, 30);
    EXPECT_NEAR(r.box.x, 10, 1);
    EXPECT_NEAR(r.box.y, kMenuBaselines[i] - 8, 1);       // the band is cut there: moved down?
    EXPECT_NEAR(r.box.br().y, kMenuBaselines[i] + 1, 1);  // moved up?
    EXPECT_NEAR(r.box.br().x, rightEnd[shown][i], 2);
  }
  const Red caption = redIn(p, frame, cv::Rect(400, 400, 240, 80));
  SCOPED_TRACE("caption: " + describe(caption));
  EXPECT_GT(caption.count, 50);
  EXPECT_NEAR(caption.box.x, 552, 1);
  EXPECT_NEAR(caption.box.br().y, 458, 1);
  EXPECT_NEAR(caption.box.br().x, 616, 3);  // ends inside the picture
}

class E2e : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    xvfb_.emplace(dir_);
    ASSERT_NE(xvfb_->display(), nullptr) << "Xvfb did not start";
  }

  // Starts the viewer and waits for its window to show the camera's picture with the menu:
  // keys typed before it is up may be lost.
  Viewer& start(const Camera& camera = {}) {
    viewer_.emplace(*xvfb_, dir_, camera);
    EXPECT_TRUE(viewer_->process().started());
    EXPECT_TRUE(viewer_->waitWindow()) << "no window; stderr: " << viewer_->stderrText();
    // The footage has no strong red in the menu's rows, so no frame is needed to see the menu.
    const Picture p = viewer_->waitPicture([](const Picture& p) { return menuShown(p, {}); });
    EXPECT_TRUE(menuShown(p, {})) << "no picture with the menu";
    return *viewer_;
  }

  // Quits with `q`, which must end the viewer with status 0.
  void expectQuit() {
    viewer_->press(XK_q);
    expectExit(0);
  }

  // Emulated, the viewer may take that long just to start on a loaded machine.
  void expectExit(int code, Ms limit = Ms(5000)) {
    EXPECT_TRUE(exitedWith(viewer_->process().waitExit(emulated() ? limit * 4 : limit), code))
        << "stderr: " << viewer_->stderrText();
  }

  // The end of a camera: status 1 and the one line that says so.
  void expectCameraLost(Ms limit = Ms(5000)) {
    expectExit(1, limit);
    EXPECT_EQ(viewer_->stderrText(), kCameraLost);
  }

  // Starts marking on the walking people and waits for marks.
  void startMarking() {
    viewer_->press(XK_s);
    const Picture p = viewer_->waitPicture([](const Picture& p) { return marks(p).count > 300; });
    ASSERT_GT(marks(p).count, 300)
        << "no marks on walking people; stderr: " << viewer_->stderrText();
  }

  // Under an emulator (ORVELLE_E2E_RUNNER) the viewer is many times slower: limits on how
  // soon it answers say nothing there.
  static bool emulated() { return !Viewer::runner().empty(); }
  static constexpr const char* kTimedOnlyNatively = "its time limits hold only natively";

  TempDir dir_;
  std::optional<Xvfb> xvfb_;
  std::optional<Viewer> viewer_;
};

// ---- the viewer's behaviour ----

TEST_F(E2e, StartsWithCameraPictureMenuAndCaption) {
  const cv::Mat frame = firstFrame(clip("one.orv"));
  Viewer& v = start({clip("one.orv"), "play", {}});
  XWindowAttributes a;
  ASSERT_TRUE(XGetWindowAttributes(xvfb_->display(), v.window(), &a));
  EXPECT_EQ(cv::Size(a.width, a.height), kPictureSize);
  const Picture p = v.waitPicture([&](const Picture& p) { return menuShown(p, frame); });
  ASSERT_EQ(p.size(), kPictureSize);
  EXPECT_EQ(diffOutsideTexts(p, frame), 0) << "the picture is not the camera's, 1:1";
  expectTexts(p, frame, true);
  EXPECT_EQ(marks(p).count, 0);
  expectQuit();
}

TEST_F(E2e, MenuKeyTogglesMenuAndShiftMDoesNothing) {
  const cv::Mat frame = firstFrame(clip("one.orv"));
  Viewer& v = start({clip("one.orv"), "play", {}});
  auto shown = [&](const Picture& p) { return menuShown(p, frame); };
  auto hidden = [&](const Picture& p) { return menuHidden(p, frame); };
  ASSERT_TRUE(shown(v.waitPicture(shown)));

  v.press(XK_m);
  Picture p = v.waitPicture(hidden);
  ASSERT_TRUE(hidden(p)) << "m did not hide the menu";
  expectTexts(p, frame, false);
  EXPECT_EQ(diffOutsideTexts(p, frame), 0);

  v.press(XK_M, true);
  EXPECT_TRUE(v.violation(hidden).empty()) << "Shift+M showed the menu";
  v.press(XK_m);
  p = v.waitPicture(shown);
  ASSERT_TRUE(shown(p)) << "m did not show the menu again";
  expectTexts(p, frame, true);
  v.press(XK_M, true);
  EXPECT_TRUE(v.violation(shown).empty()) << "Shift+M hid the menu";
  expectQuit();
}

TEST_F(E2e, MarkingOnWalkingPeopleOnlyAtEvenPixels) {
  Viewer& v = start();
  auto unmarked = [](const Picture& p) { return marks(p).count == 0; };
  auto marked = [](const Picture& p) { return marks(p).count > 300; };
  v.press(XK_S, true);
  EXPECT_TRUE(v.violation(unmarked).empty()) << "Shift+S started marking";

  v.press(XK_s);
  const Picture p = v.waitPicture(marked);
  const Marks m = marks(p);
  EXPECT_GT(m.count, 300) << "s did not mark the walking people";
  EXPECT_EQ(m.odd, 0) << "marks at odd coordinates";
  v.press(XK_S, true);
  const Picture stopped = v.violation(marked);
  EXPECT_TRUE(stopped.empty()) << "Shift+S stopped marking: " << marks(stopped).count;

  v.press(XK_s);
  EXPECT_TRUE(unmarked(v.waitPicture(unmarked))) << "s again did not clear the marks";
  EXPECT_TRUE(v.violation(unmarked).empty()) << "marks came back";
  expectQuit();
}

TEST_F(E2e, MarkingAStillSceneMarksAlmostNothing) {
  Viewer& v = start({clip("walk.orv"), "still", {}});
  v.press(XK_s);
  const Picture p = v.violation([](const Picture& p) { return marks(p).count <= 20; }, Ms(1500));
  EXPECT_TRUE(p.empty()) << marks(p).count << " marks on a still scene";
  // Marking was on all along: people walking again get marked.
  v.setControl("play");
  EXPECT_GT(marks(v.waitPicture([](const Picture& p) { return marks(p).count > 300; })).count, 300);
  expectQuit();
}

TEST_F(E2e, QAndEscQuitButShiftQDoesNot) {
  Viewer& v = start();
  v.press(XK_Q, true);
  EXPECT_FALSE(v.process().waitExit(Ms(1000))) << "Shift+Q quit";
  expectQuit();
  EXPECT_EQ(v.stderrText(), "");

  Viewer& w = start();
  w.press(XK_Escape);
  expectExit(0);
}

TEST_F(E2e, ClosingTheWindowQuits) {
  Viewer& v = start();
  v.closeWindow();
  expectExit(0);
}

TEST_F(E2e, ClosingTheWindowWhileMarkingQuits) {
  Viewer& v = start();
  startMarking();
  v.closeWindow();
  expectExit(0);
}

// ---- cameras that differ ----

TEST_F(E2e, CameraIgnoringTheSizeIsScaledToFill) {
  const cv::Mat served = firstFrame(clip("one768.orv"));
  ASSERT_EQ(served.size(), cv::Size(768, 576));
  cv::Mat expected;
  cv::resize(served, expected, kPictureSize, 0, 0, cv::INTER_LINEAR);
  Viewer& v = start({clip("one768.orv"), "play", {}});
  const Picture p = v.waitPicture([&](const Picture& p) { return menuShown(p, expected); });
  ASSERT_EQ(p.size(), kPictureSize);
  EXPECT_LE(diffOutsideTexts(p, expected), 1) << "not a bilinear scaling of the frame";
  expectTexts(p, expected, true);
  expectQuit();
}

TEST_F(E2e, YuyvCameraShowsTheRightPicture) {
  const cv::Mat frame = firstFrame(clip("one.orv"));
  Viewer& v = start({clip("one.orv"), "play", {"ORVELLE_VCAM_FORMAT=YUYV"}});
  const Picture p = v.waitPicture([&](const Picture& p) { return menuShown(p, frame); });
  ASSERT_EQ(p.size(), kPictureSize);
  cv::Mat swapped;  // red and blue exchanged: what a wrong conversion would show
  cv::cvtColor(frame, swapped, cv::COLOR_BGR2RGB);
  const double error = diffOutsideTexts(p, frame, cv::NORM_L1);
  EXPECT_LT(error, 3) << "mean difference to the served frame";
  EXPECT_LT(error * 2, diffOutsideTexts(p, swapped, cv::NORM_L1));
  expectTexts(p, frame, true);
  expectQuit();
}

// The camera streams while the window system starts: with the X server held still the stream
// is on already, well before the window can come. (How soon the first picture follows the
// window is for bench/startup.cpp to measure: too tight for a loaded machine.)
TEST_F(E2e, CameraStreamsWhileTheWindowSystemStarts) {
  if (emulated()) GTEST_SKIP() << kTimedOnlyNatively;
  const std::string log = dir_ / "frames.log";
  xvfb_->signal(SIGSTOP);
  viewer_.emplace(*xvfb_, dir_, Camera{clip("walk.orv"), "play", {"ORVELLE_VCAM_LOG=" + log}});
  // Once the viewer holds the camera's device it is open; its stream starts right after.
  const std::string fds = "/proc/" + std::to_string(viewer_->process().pid()) + "/fd";
  const bool opened = waitFor(
      [&] {
        std::error_code e;
        for (const auto& fd : fs::directory_iterator(fds, e))
          if (fs::read_symlink(fd.path(), e).string().find("orvelle-vcam") != std::string::npos)
            return true;
        return false;
      },
      Ms(20000), Ms(5));
  std::this_thread::sleep_for(Ms(1000));
  const int64_t resumed = nowNs();
  xvfb_->signal(SIGCONT);
  ASSERT_TRUE(opened) << "the viewer did not open the camera; stderr: " << viewer_->stderrText();
  ASSERT_TRUE(viewer_->waitWindow()) << "no window; stderr: " << viewer_->stderrText();
  EXPECT_TRUE(
      menuShown(viewer_->waitPicture([](const Picture& p) { return menuShown(p, {}); }), {}));
  expectQuit();
  const std::map<long, Logged> frames = readLog(log);
  ASSERT_FALSE(frames.empty()) << "the camera logged no frame";
  const auto& [k, f] = *frames.begin();
  const int64_t firstDue = f.shot - k * 1000000000LL / 30;
  EXPECT_LT(firstDue, resumed) << "the stream started "
                               << static_cast<double>(firstDue - resumed) / 1e6
                               << " ms after the X server went on";
}

// ---- faults ----

TEST_F(E2e, CameraFailingAtTheFirstFrameEndsTheViewer) {
  viewer_.emplace(*xvfb_, dir_, Camera{clip("walk.orv"), "play", {"ORVELLE_VCAM_FAIL_AFTER=0"}});
  expectCameraLost(Ms(10000));
}

TEST_F(E2e, CameraFailingMidRunEndsTheViewer) {
  // 45 frames: about a second and a half after the first.
  start({clip("walk.orv"), "play", {"ORVELLE_VCAM_FAIL_AFTER=45"}});
  expectCameraLost();
}

TEST_F(E2e, CameraUnpluggedWhileMarkingEndsTheViewer) {
  Viewer& v = start();
  startMarking();
  v.setControl("fail");
  expectCameraLost();
}

// OpenCV 4.6 keeps delivering the old shape after a mid-stream change; the viewer must just
// keep going.
TEST_F(E2e, SizeAndFormatChangesMidRunKeepTheViewerRunning) {
  struct Change {
    const char* control;
    bool marking;
  };
  for (Change c : {Change{"size 320x240", false}, Change{"size 1024x768", true},
                   Change{"format YUYV", false}, Change{"format YUYV", true}}) {
    SCOPED_TRACE(std::string(c.control) + (c.marking ? ", marking" : ""));
    Viewer& v = start();
    if (c.marking) startMarking();
    v.setControl(std::string("play ") + c.control);
    EXPECT_FALSE(v.process().waitExit(Ms(1500))) << v.stderrText();
    EXPECT_EQ(v.grab().size(), kPictureSize);
    expectQuit();
  }
}

TEST_F(E2e, KeyBurstLeavesTheViewerResponsive) {
  Viewer& v = start();
  const KeySym keys[] = {XK_s, XK_m, XK_S, XK_M, XK_x};
  for (int i = 0; i < 100; ++i) {
    const KeySym k = keys[i % 5];
    v.press(k, k == XK_S || k == XK_M);
    std::this_thread::sleep_for(Ms(10));
  }
  EXPECT_FALSE(v.process().waitExit(Ms(500))) << "the burst ended the viewer";
  // The footage has no strong red in the menu's rows: no frame needed to read the menu.
  Picture p = v.waitPicture(
      [](const Picture& p) { return menuShown(p, cv::Mat()) || menuHidden(p, cv::Mat()); });
  ASSERT_EQ(p.size(), kPictureSize);
  const bool wasShown = menuShown(p, cv::Mat());
  v.press(XK_m);
  p = v.waitPicture([&](const Picture& p) {
    return wasShown ? menuHidden(p, cv::Mat()) : menuShown(p, cv::Mat());
  });
  EXPECT_NE(menuShown(p, cv::Mat()), wasShown) << "m no longer acts after the burst";
  expectQuit();
}

// ---- a live picture ----

// How long after its capture each frame first showed in the window, watched for `span` on a
// camera that stamps and logs its frames; sorted, in ms.
std::vector<double> frameDelaysMs(Viewer& v, Display* display, const std::string& log, Ms span) {
  Band band(display, v.window());
  EXPECT_TRUE(band.ok());
  const int64_t start = nowNs();
  const Watched watched = watchStamps(band, start, start + std::chrono::nanoseconds(span).count());
  std::map<int, int64_t> captured;
  for (const auto& [k, f] : readLog(log)) captured[static_cast<int>(k & 0xffff)] = f.shot;
  std::vector<double> delays;
  for (const auto& [k, when] : watched.firstSeen)
    if (k != watched.first && captured.count(k)) delays.push_back((when - captured[k]) / 1e6);
  std::sort(delays.begin(), delays.end());
  return delays;
}

// A picture is on screen as soon as its pass is done, not a frame later; and a camera faster
// than the viewer is shown by its newest frame, not by the oldest of those queued up.
TEST_F(E2e, EachPictureIsTheNewestFrameOnScreenAtOnce) {
  if (emulated()) GTEST_SKIP() << kTimedOnlyNatively;
  struct Case {
    const char* fps;
    double maxMedianMs;
  };
  for (const Case c : {Case{"5", 60}, Case{"120", 35}}) {
    SCOPED_TRACE(std::string(c.fps) + " fps");
    const std::string log = dir_ / (std::string("frames-") + c.fps);
    Viewer& v = start({clip("walk.orv"),
                       "play",
                       {std::string("ORVELLE_VCAM_FPS=") + c.fps, "ORVELLE_VCAM_STAMP=1",
                        "ORVELLE_VCAM_LOG=" + log}});
    const std::vector<double> delays = frameDelaysMs(v, xvfb_->display(), log, Ms(2000));
    ASSERT_GE(delays.size(), 5u);
    EXPECT_LT(delays[delays.size() / 2], c.maxMedianMs)
        << "median of " << delays.size() << " frames, the longest " << delays.back() << " ms";
    expectQuit();
  }
}

// A camera that goes silent: `q` still acts at once, and after 5 s the viewer gives up.
TEST_F(E2e, StalledCameraQuitsAtOnceAndEndsByItself) {
  if (emulated()) GTEST_SKIP() << kTimedOnlyNatively;
  Viewer& v = start();
  v.setControl("stall");
  std::this_thread::sleep_for(Ms(500));
  const auto typed = Clock::now();
  v.press(XK_q);
  // Until the window goes: a sanitized viewer takes a while to check for leaks at exit.
  EXPECT_TRUE(v.waitWindowGone(Ms(2000)));
  EXPECT_LT(Clock::now() - typed, Ms(400)) << "q waited for a frame";
  expectExit(0);

  Viewer& w = start();
  w.setControl("stall");
  const auto stalled = Clock::now();
  expectCameraLost(Ms(10000));
  EXPECT_GT(Clock::now() - stalled, Ms(4500)) << "gave up on a camera silent for less than 5 s";
}

// A frame a second: keys act at once all the same, and `m` shows in the next picture.
TEST_F(E2e, SlowCameraAnswersKeysAtOnce) {
  if (emulated()) GTEST_SKIP() << kTimedOnlyNatively;
  Viewer& v = start({clip("walk.orv"), "play", {"ORVELLE_VCAM_FPS=1"}});
  v.press(XK_m);
  const Picture p = v.waitPicture([](const Picture& p) { return menuHidden(p, {}); }, Ms(5000));
  ASSERT_TRUE(menuHidden(p, {})) << "m did not show in the next picture";
  // A frame has just come: the next one is a second away.
  const auto typed = Clock::now();
  v.press(XK_q);
  // Until the window goes: a sanitized viewer takes a while to check for leaks at exit.
  EXPECT_TRUE(v.waitWindowGone(Ms(2000)));
  EXPECT_LT(Clock::now() - typed, Ms(400)) << "q waited for a frame";
  expectExit(0);
}

// 4K YUYV at 120 frames a second: converting a frame outlasts the interval, so a newer one is
// always waiting. Each pass must still end and read the keys.
TEST_F(E2e, CameraFasterThanTheMachineAnswersQ) {
  if (emulated()) GTEST_SKIP() << kTimedOnlyNatively;
  Viewer& v = start({clip("one.orv"),
                     "play size 3840x2160",
                     {"ORVELLE_VCAM_FPS=120", "ORVELLE_VCAM_FORMAT=YUYV"}});
  std::this_thread::sleep_for(Ms(500));
  const auto typed = Clock::now();
  v.press(XK_q);
  EXPECT_TRUE(v.waitWindowGone(Ms(5000)));
  EXPECT_LT(Clock::now() - typed, Ms(1000)) << "q waited for the camera to be caught up with";
  expectExit(0);
}

// A frame every 5 s: the window is up at once and answers `q` before the first frame; a
// camera silent from the start is given up as one that falls silent later.
TEST_F(E2e, SlowCameraGetsItsWindowAtOnce) {
  if (emulated()) GTEST_SKIP() << kTimedOnlyNatively;
  // Measured against a 30 fps camera in the same run, so that a loaded machine or a
  // sanitized build, slower to start, does not count against the viewer.
  Clock::duration startUp[2];
  for (const char* fps : {"30", "0.2"}) {
    const auto started = Clock::now();
    viewer_.emplace(*xvfb_, dir_,
                    Camera{clip("walk.orv"), "play", {std::string("ORVELLE_VCAM_FPS=") + fps}});
    ASSERT_TRUE(viewer_->waitWindow(Ms(15000))) << viewer_->stderrText();
    startUp[fps[0] == '0'] = Clock::now() - started;
    if (fps[0] == '0') break;
    // Its window must be gone before the next one is sought; keys count once it shows.
    viewer_->waitPicture([](const Picture& p) { return menuShown(p, {}); });
    expectQuit();
  }
  EXPECT_LT(startUp[1], startUp[0] + Ms(1500)) << "the window waited for the camera";
  // Qt takes a moment to start taking keys after the window is mapped; the frame is 5 s away.
  std::this_thread::sleep_for(Ms(1000));
  const auto typed = Clock::now();
  viewer_->press(XK_q);
  EXPECT_TRUE(viewer_->waitWindowGone(Ms(3000)));
  EXPECT_LT(Clock::now() - typed, Ms(1500)) << "q waited for the first frame";
  expectExit(0);

  viewer_.emplace(*xvfb_, dir_, Camera{clip("walk.orv"), "stall", {}});
  ASSERT_TRUE(viewer_->waitWindow(Ms(10000))) << viewer_->stderrText();
  const auto silent = Clock::now();
  EXPECT_TRUE(viewer_->waitWindowGone(Ms(12000)));
  EXPECT_GT(Clock::now() - silent, Ms(4500)) << "gave up on a camera silent for less than 5 s";
  EXPECT_LT(Clock::now() - silent, Ms(7500)) << "a camera silent from the start kept waiting";
  expectCameraLost(Ms(10000));
}

// ---- failures told truthfully, and no key lost ----

TEST_F(E2e, KeysTypedInOneBurstAllAct) {
  Viewer& v = start();
  v.type({XK_m, XK_m});
  EXPECT_TRUE(v.violation([](const Picture& p) { return menuShown(p, {}); }).empty())
      << "the menu was toggled once for two `m`";
  v.type({XK_q, XK_m});
  expectExit(0);
}

// By another program; but a compositor that is stopping may destroy the window just before
// its X server goes (mutter through XWayland), and that is a lost display.
TEST_F(E2e, DestroyedWindowEndsTheViewer) {
  Viewer& v = start();
  v.destroyWindow();
  expectExit(0);
  EXPECT_EQ(v.stderrText(), "");

  Viewer& w = start();
  w.destroyWindow();
  std::this_thread::sleep_for(Ms(200));
  xvfb_->stop();
  expectExit(1);
  EXPECT_EQ(w.stderrText(), "orvelle: lost the connection to the display\n");
}

TEST_F(E2e, LostDisplayEndsTheViewerWithOneLine) {
  Viewer& v = start();
  xvfb_->stop();
  expectExit(1);
  EXPECT_EQ(v.stderrText(), "orvelle: lost the connection to the display\n");
}

TEST_F(E2e, MissingToolkitPluginEndsTheViewerWithOneLine) {
  viewer_.emplace(*xvfb_, dir_, Camera{clip("walk.orv"), "play", {"QT_QPA_PLATFORM=orvelle-none"}});
  expectExit(1, Ms(10000));
  EXPECT_EQ(viewer_->stderrText(),
            "orvelle: the window system failed: "
            "Could not find the Qt platform plugin \"orvelle-none\" in \"\"\n");
}

// An X server at its limit of clients turns new ones away until one leaves.
TEST_F(E2e, FullDisplayIsTriedAgainThenToldTruthfully) {
  xvfb_.emplace(dir_, std::vector<std::string>{"-maxclients", "64"});
  ASSERT_NE(xvfb_->display(), nullptr);
  std::vector<Display*> clients;
  while (clients.size() < 100)
    if (Display* d = XOpenDisplay(xvfb_->name().c_str()))
      clients.push_back(d);
    else
      break;
  ASSERT_LT(clients.size(), 100u);
  viewer_.emplace(*xvfb_, dir_, Camera{});
  expectExit(1, Ms(10000));
  EXPECT_EQ(viewer_->stderrText(), "orvelle: cannot open the display " + xvfb_->name() +
                                       ": Maximum number of clients reached\n");

  viewer_.emplace(*xvfb_, dir_, Camera{});
  std::this_thread::sleep_for(Ms(300));
  for (Display* d : clients) XCloseDisplay(d);
  EXPECT_TRUE(viewer_->waitWindow()) << viewer_->stderrText();
  // Keys typed before the first picture may be lost.
  EXPECT_TRUE(
      menuShown(viewer_->waitPicture([](const Picture& p) { return menuShown(p, {}); }), {}));
  expectQuit();
}

TEST_F(E2e, CameraInUseOrForbiddenIsToldApart) {
  const std::pair<const char*, const char*> cases[] = {
      {"busy", "orvelle: the camera /dev/video0 is in use by another program\n"},
      {"denied", "orvelle: no permission to open the camera /dev/video0\n"}};
  for (const auto& [refuse, line] : cases) {
    viewer_.emplace(
        *xvfb_, dir_,
        Camera{clip("walk.orv"), "play", {std::string("ORVELLE_VCAM_REFUSE=") + refuse}});
    expectExit(1, Ms(10000));
    EXPECT_EQ(viewer_->stderrText(), line);
  }
}

// ---- MJPEG ----

// Many webcams offer only MJPEG, at least above 640 x 480; the viewer decodes each frame. The
// camera's JPEGs were encoded at quality 90, so only their loss may show.
TEST_F(E2e, MjpegOnlyCameraShowsTheRightPicture) {
  for (const char* name : {"one.orv", "one768.orv"}) {
    SCOPED_TRACE(name);
    cv::Mat frame = firstFrame(clip(name));
    cv::resize(frame, frame, kPictureSize, 0, 0, cv::INTER_LINEAR);
    Viewer& v = start({clip(name), "play", {"ORVELLE_VCAM_FORMAT=MJPG"}});
    const Picture p = v.waitPicture([&](const Picture& p) { return menuShown(p, frame); });
    ASSERT_EQ(p.size(), kPictureSize);
    cv::Mat swapped;  // red and blue exchanged: what a wrong conversion would show
    cv::cvtColor(frame, swapped, cv::COLOR_BGR2RGB);
    const double error = diffOutsideTexts(p, frame, cv::NORM_L1);
    std::printf("%s: mean difference %.2f, to swapped colours %.2f\n", name, error,
                diffOutsideTexts(p, swapped, cv::NORM_L1));
    EXPECT_LT(error, 3) << "mean difference to the served frame";
    EXPECT_LT(error * 2, diffOutsideTexts(p, swapped, cv::NORM_L1));
    expectTexts(p, frame, true);
    expectQuit();
  }
}

// ---- on a Wayland compositor ----

// A copy of the viewer whose Qt has every plugin but Wayland's, as without qtwayland5.
std::string viewerWithoutQtWayland(const TempDir& dir) {
  const fs::path root = dir / "no-qtwayland";
  fs::create_directories(root / "plugins" / "platforms");
  for (const auto& entry : fs::directory_iterator(ORVELLE_E2E_QT_PLUGINS))
    if (entry.path().filename() != "platforms")
      fs::create_directory_symlink(entry.path(), root / "plugins" / entry.path().filename());
  for (const auto& entry : fs::directory_iterator(fs::path(ORVELLE_E2E_QT_PLUGINS) / "platforms"))
    if (entry.path().filename().string().rfind("libqwayland", 0) != 0)
      fs::create_symlink(entry.path(), root / "plugins" / "platforms" / entry.path().filename());
  // Qt looks for qt.conf beside the program.
  std::ofstream(root / "qt.conf") << "[Paths]\nPlugins=" << (root / "plugins").string() << "\n";
  fs::copy_file(Viewer::viewerExe(), root / "orvelle");
  return root / "orvelle";
}

// An X display name that no server has.
std::string staleX11Display() {
  int n = 900;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(n))) ++n;
  return ":" + std::to_string(n);
}

class SwayTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    if (output("command -v sway grim jq").empty())
      GTEST_SKIP() << "no sway, grim or jq: tools/install-deps test";
    if (!Viewer::runner().empty())
      GTEST_SKIP() << "not under emulation: its Qt has no Wayland plugin, and the runner "
                      "sets the plugin path these tests choose";
    fs::create_directory(runtimeDir_);
    fs::permissions(runtimeDir_, fs::perms::owner_all);
    sway_.emplace(dir_);
    ASSERT_TRUE(sway_->ok()) << "sway did not start: " << fileText(dir_ / "sway.log");
  }

  // A session's display variables: its own runtime directory and sway's Wayland socket.
  std::vector<std::string> session(std::vector<std::string> more = {}) const {
    more.push_back("XDG_RUNTIME_DIR=" + runtimeDir_);
    more.push_back("WAYLAND_DISPLAY=" + sway_->socket());
    // Without a session bus, libdbus would start one through X11 where dbus-x11 is installed,
    // and start XWayland with it.
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
      more.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtimeDir_ + "/no-bus");
    return more;
  }

  // Starts the viewer and waits for its window; returns the window as it first appeared.
  SwayWindow start(const std::vector<std::string>& displayEnv, const Camera& camera = {},
                   const std::string& exe = Viewer::viewerExe()) {
    viewer_.emplace(dir_, camera, displayEnv, exe);
    EXPECT_TRUE(viewer_->process().started());
    SwayWindow first;
    waitFor([&] { return (first = sway_->window()).found || !viewer_->process().running(); },
            Ms(10000), Ms(5));
    EXPECT_TRUE(first.found) << "no window; stderr: " << viewer_->stderrText();
    return first;
  }

  // The window's picture once `ok` holds for it, or the last one taken.
  Picture waitPicture(const std::function<bool(const Picture&)>& ok, Ms limit = Ms(5000)) {
    Picture last;
    waitFor(
        [&] {
          last = sway_->grab(sway_->window().content);
          return last.size() == kPictureSize && ok(last);
        },
        limit);
    return last;
  }

  void expectExit(int code, Ms limit = Ms(5000)) {
    EXPECT_TRUE(exitedWith(viewer_->process().waitExit(limit), code))
        << "stderr: " << viewer_->stderrText();
  }

  // Closes the window as a user does, by asking sway.
  void closeWindow() { sway_->swaymsg("'[title=\"Orvelle\"] kill'"); }

  TempDir dir_;
  const std::string runtimeDir_ = dir_ / "run";
  std::optional<Sway> sway_;
  std::optional<Viewer> viewer_;
};

// How the viewer reaches sway: Qt's Wayland platform, or X11 through XWayland.
enum class Via { Native, XWayland };
void PrintTo(Via via, std::ostream* out) { *out << (via == Via::Native ? "native" : "XWayland"); }

class OnSway : public SwayTest, public testing::WithParamInterface<Via> {
 protected:
  void SetUp() override {
    SwayTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (GetParam() == Via::XWayland) {
      ASSERT_TRUE(sway_->admitToX11());
    }
  }

  // A Wayland session, where Qt goes native and must leave XWayland alone; or, with no
  // session type, X11 first.
  std::vector<std::string> displayEnv() const {
    std::vector<std::string> env = session({"DISPLAY=" + sway_->x11Display()});
    if (GetParam() == Via::Native) env.push_back("XDG_SESSION_TYPE=wayland");
    return env;
  }

  // Starts the viewer and waits for the menu in its window, which must be 640 x 480 from
  // the start and carry the desktop's name.
  void start(const Camera& camera = {}) {
    const SwayWindow first = SwayTest::start(displayEnv(), camera);
    EXPECT_EQ(first.surface, kPictureSize) << "first shown at another size";
    EXPECT_EQ(first.content.size(), kPictureSize) << "first shown at another size";
    if (GetParam() == Via::Native) {
      EXPECT_EQ(first.shell, "xdg_shell");
      EXPECT_EQ(first.appId, "info.orvelle.orvelle");
      EXPECT_FALSE(sway_->x11Running()) << "XWayland was started for nothing";
    } else {
      EXPECT_EQ(first.shell, "xwayland");
      EXPECT_EQ(first.wmClass, "info.orvelle.orvelle");
      EXPECT_EQ(first.wmInstance, "orvelle");
    }
    const Picture p = waitPicture([](const Picture& p) { return menuShown(p, {}); });
    EXPECT_TRUE(menuShown(p, {})) << "no picture with the menu";
    // A window that may be resized is fitted into a tile by sway when it maps, which may
    // come before the picture; X11 tells what the window asks for.
    if (GetParam() == Via::XWayland) {
      const auto [least, largest] = sway_->x11SizeLimits(first.x11Window);
      EXPECT_EQ(least, kPictureSize) << "a window that may be resized";
      EXPECT_EQ(largest, kPictureSize) << "a window that may be resized";
    }
  }
};

TEST_P(OnSway, PictureMenuCaptionKeysAndClosing) {
  const cv::Mat frame = firstFrame(clip("walk.orv"));
  start({clip("walk.orv"), "still", {}});
  VirtualKeyboard& keys = sway_->keyboard();
  Picture p = waitPicture([&](const Picture& p) { return menuShown(p, frame); });
  ASSERT_EQ(p.size(), kPictureSize);
  EXPECT_LT(diffOutsideTexts(p, frame, cv::NORM_L1), 3) << "not the camera's picture, 1:1";
  expectTexts(p, frame, true);

  keys.press(KEY_Q, true);
  EXPECT_FALSE(viewer_->process().waitExit(Ms(1000))) << "Shift+Q quit";
  keys.press(KEY_M);
  p = waitPicture([&](const Picture& p) { return menuHidden(p, frame); });
  EXPECT_TRUE(menuHidden(p, frame)) << "m did not hide the menu";
  keys.press(KEY_S);
  std::this_thread::sleep_for(Ms(300));
  EXPECT_LE(marks(waitPicture([](const Picture&) { return true; })).count, 20)
      << "marks on a still scene";
  viewer_->setControl("play");
  p = waitPicture([](const Picture& p) { return marks(p).count > 300; });
  EXPECT_GT(marks(p).count, 300) << "s did not mark the walking people";
  keys.press(KEY_Q);
  expectExit(0);
  EXPECT_EQ(viewer_->stderrText(), "");

  start();
  keys.press(KEY_ESC);
  expectExit(0);

  start();
  closeWindow();
  expectExit(0);
  EXPECT_EQ(viewer_->stderrText(), "");
}

TEST_P(OnSway, LostCompositorEndsTheViewerWithOneLine) {
  start();
  sway_->stop();
  expectExit(1);
  EXPECT_EQ(viewer_->stderrText(), "orvelle: lost the connection to the display\n");
}

INSTANTIATE_TEST_SUITE_P(, OnSway, testing::Values(Via::Native, Via::XWayland),
                         [](const testing::TestParamInfo<Via>& info) {
                           return info.param == Via::Native ? "Native" : "XWayland";
                         });

// Qt's choice of platform, and the one line where none works.
TEST_F(SwayTest, OpensWhereQtCanElseSaysWhy) {
  const std::string stale = staleX11Display();
  const std::string socketName = fs::path(sway_->socket()).filename();
  const std::string noQtWayland = viewerWithoutQtWayland(dir_);
  struct Case {
    const char* what;
    std::vector<std::string> env;
    std::string exe;
    std::string shell;  // where the window opens, or
    std::string line;   // what the viewer says instead
  };
  const Case cases[] = {
      {"a Wayland session with a stale DISPLAY",
       session({"XDG_SESSION_TYPE=wayland", "DISPLAY=" + stale}), Viewer::viewerExe(), "xdg_shell",
       ""},
      {"Wayland without a session type", session(), Viewer::viewerExe(), "xdg_shell", ""},
      {"xcb;wayland without X11", session({"QT_QPA_PLATFORM=xcb;wayland"}), Viewer::viewerExe(),
       "xdg_shell", ""},
      {"Wayland alone without Qt's Wayland plugin", session({"XDG_SESSION_TYPE=wayland"}),
       noQtWayland, "",
       "orvelle: cannot open the display " + sway_->socket() +
           ": Qt's Wayland plugin is missing (install qtwayland5)\n"},
      {"no XDG_RUNTIME_DIR",
       {"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=" + socketName},
       Viewer::viewerExe(),
       "",
       "orvelle: cannot open the display " + socketName +
           ": XDG_RUNTIME_DIR is invalid or not set in the environment\n"},
      {"wayland;xcb, neither there",
       {"XDG_RUNTIME_DIR=" + runtimeDir_, "WAYLAND_DISPLAY=" + runtimeDir_ + "/none",
        "DISPLAY=" + stale, "QT_QPA_PLATFORM=wayland;xcb"},
       Viewer::viewerExe(),
       "",
       "orvelle: cannot open the display " + runtimeDir_ +
           "/none: Failed to create wl_display (No such file or directory)\n"},
      {"no display at all",
       {"XDG_RUNTIME_DIR=" + runtimeDir_},
       Viewer::viewerExe(),
       "",
       "orvelle: cannot open the display: neither WAYLAND_DISPLAY nor DISPLAY is set\n"},
      {"X11 alone, and no display",
       {"XDG_RUNTIME_DIR=" + runtimeDir_, "QT_QPA_PLATFORM=xcb"},
       Viewer::viewerExe(),
       "",
       "orvelle: cannot open the display: DISPLAY is not set\n"},
      {"an X display with no server",
       {"XDG_RUNTIME_DIR=" + runtimeDir_, "DISPLAY=" + stale},
       Viewer::viewerExe(),
       "",
       "orvelle: cannot open the display " + stale + ": no X server answers there\n"},
      {"a Wayland session without Qt's Wayland plugin, with XWayland",
       session({"XDG_SESSION_TYPE=wayland", "DISPLAY=" + sway_->x11Display()}), noQtWayland,
       "xwayland", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.shell == "xwayland") {
      ASSERT_TRUE(sway_->admitToX11());
    }
    if (!c.shell.empty()) {
      EXPECT_EQ(start(c.env, {}, c.exe).shell, c.shell);
      closeWindow();
      expectExit(0);
      EXPECT_EQ(viewer_->stderrText(), "");
    } else {
      viewer_.emplace(dir_, Camera{}, c.env, c.exe);
      expectExit(1, Ms(10000));
      EXPECT_EQ(viewer_->stderrText(), c.line);
    }
  }
}

}  // namespace
