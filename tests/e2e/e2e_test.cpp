// End-to-end tests: the real viewer on the virtual camera, each test on its own Xvfb, with
// keys typed through XTest and the picture read back from the window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Last: Xlib's macros (None, Bool, Status) would break the C++ headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using Picture = cv::Mat;  // what the window shows, 8-bit BGR

const cv::Size kPictureSize(640, 480);
// Everything the texts may touch; the rest of the picture is the camera's.
const cv::Rect kMenuArea(0, 0, 160, 48);
const cv::Rect kCaptionArea(544, 440, 96, 28);
// Baselines of the menu lines, all at x = 10.
const int kMenuBaselines[3] = {10, 22, 34};
const std::string kCameraLost = "orvelle: the camera stopped delivering frames\n";

std::string clip(const char* name) { return std::string(ORVELLE_E2E_CLIPS) + "/" + name; }

// The first frame of a frame file, read from its documented layout.
cv::Mat firstFrame(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int w = 0, h = 0, n = 0;
  in >> magic >> w >> h >> n;
  in.get();
  cv::Mat f(h, w, CV_8UC3);
  in.read(reinterpret_cast<char*>(f.data), static_cast<std::streamsize>(f.total() * 3));
  return in ? f : cv::Mat();
}

// Polls `done` until it holds or `limit` passes.
bool waitFor(const std::function<bool()>& done, Ms limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(Ms(20));
  }
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/orvelle-e2e-XXXXXX";
    path_ = mkdtemp(tmpl) ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A child process; killed if it is still running when this goes.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::vector<std::string>& env,
          const std::string& out, const std::string& err, int extraFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, kPassedFd);
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (!status_ && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  static constexpr int kPassedFd = 9;  // where `extraFd` shows up in the child

  bool started() const { return pid_ > 0; }
  bool running() { return started() && !poll(); }
  void terminate() {
    if (running()) kill(pid_, SIGTERM);
  }

  // The wait status once the process has ended within `limit`.
  std::optional<int> waitExit(Ms limit) {
    waitFor([&] { return !running(); }, limit);
    return status_;
  }

 private:
  bool poll() {
    int status = 0;
    if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
};

std::vector<std::string> inheritedEnv() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    // The child's display, camera and preload are the test's alone.
    if (var.rfind("DISPLAY=", 0) == 0 || var.rfind("LD_PRELOAD=", 0) == 0 ||
        var.rfind("ORVELLE_VCAM_", 0) == 0)
      continue;
    env.push_back(var);
  }
  return env;
}

int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

// An X server of its own, so tests can run side by side, and a connection to it.
class Xvfb {
 public:
  explicit Xvfb(const TempDir& dir) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    server_.emplace(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(Process::kPassedFd),
                                 "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
        inheritedEnv(), "/dev/null", dir / "xvfb.log", fds[1]);
    close(fds[1]);
    // Xvfb writes its display number once it accepts clients.
    std::string number;
    const auto end = Clock::now() + Ms(10000);
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (Clock::now() < end && ::poll(&p, 1, 100) >= 0) {
      if (!(p.revents & (POLLIN | POLLHUP))) continue;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (number.empty()) return;
    name_ = ":" + number;
    XSetErrorHandler(ignoreXErrors);  // a window may vanish between two requests
    display_ = XOpenDisplay(name_.c_str());
  }
  ~Xvfb() {
    if (display_) XCloseDisplay(display_);
    if (server_) server_->terminate();
  }

  Display* display() const { return display_; }
  const std::string& name() const { return name_; }

 private:
  std::optional<Process> server_;
  std::string name_;
  Display* display_ = nullptr;
};

// How the virtual camera behaves for one run of the viewer.
struct Camera {
  std::string frames = clip("walk.orv");
  std::string control = "play";  // first contents of the control file
  std::vector<std::string> env;  // more ORVELLE_VCAM_* settings
};

// The real viewer on the virtual camera, with helpers to type keys and read its picture.
class Viewer {
 public:
  Viewer(const Xvfb& x, const TempDir& dir, const Camera& camera)
      : display_(x.display()), controlFile_(dir / "control"), errFile_(dir / "err") {
    setControl(camera.control);
    std::vector<std::string> env = inheritedEnv();
    env.push_back("DISPLAY=" + x.name());
    env.push_back("ORVELLE_VCAM_FRAMES=" + camera.frames);
    env.push_back("ORVELLE_VCAM_CONTROL=" + controlFile_);
    std::istringstream preload(ORVELLE_E2E_PRELOAD_ENV);
    for (std::string var; std::getline(preload, var, '|');) env.push_back(var);
    env.insert(env.end(), camera.env.begin(), camera.env.end());
    // ORVELLE_E2E_VIEWER runs the tests on another build, such as one with a fault put in.
    const char* exe = std::getenv("ORVELLE_E2E_VIEWER");
    process_.emplace(std::vector<std::string>{exe && *exe ? exe : ORVELLE_EXE}, env, dir / "out",
                     errFile_);
  }

  Process& process() { return *process_; }

  // The control file is re-read at every frame; write it whole, then rename, so the camera
  // never reads half of it.
  void setControl(const std::string& words) {
    const std::string tmp = controlFile_ + ".new";
    std::ofstream(tmp) << words << "\n";
    std::rename(tmp.c_str(), controlFile_.c_str());
  }

  std::string stderrText() const {
    std::ifstream in(errFile_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Waits for the viewer's top-level window to be mapped.
  bool waitWindow(Ms limit = Ms(10000)) {
    return waitFor(
               [&] {
                 window_ = findWindow();
                 return window_ != 0 || !process_->running();
               },
               limit) &&
           window_ != 0;
  }

  Window window() const { return window_; }

  // What the window shows now; empty if it cannot be read.
  Picture grab() {
    XWindowAttributes a;
    if (!window_ || !XGetWindowAttributes(display_, window_, &a)) return {};
    XImage* image = XGetImage(display_, window_, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) return {};
    Picture picture(a.height, a.width, CV_8UC3);
    for (int y = 0; y < a.height; ++y)
      for (int x = 0; x < a.width; ++x) {
        const unsigned long p = XGetPixel(image, x, y);
        picture.at<cv::Vec3b>(y, x) =
            cv::Vec3b(channel(p, image->blue_mask), channel(p, image->green_mask),
                      channel(p, image->red_mask));
      }
    XDestroyImage(image);
    return picture;
  }

  // Grabs until `ok` holds for a 640 x 480 picture; returns the last picture.
  Picture waitPicture(const std::function<bool(const Picture&)>& ok, Ms limit = Ms(5000)) {
    Picture last;
    waitFor(
        [&] {
          last = grab();
          return last.size() == kPictureSize && ok(last);
        },
        limit);
    return last;
  }

  // Grabs for `span` (many frames at 30 per second); returns the first picture for which
  // `ok` does not hold, or an empty one.
  Picture violation(const std::function<bool(const Picture&)>& ok, Ms span = Ms(700)) {
    Picture bad;
    waitFor(
        [&] {
          const Picture p = grab();
          if (p.size() != kPictureSize || !ok(p)) bad = p.empty() ? Picture(1, 1, CV_8UC3) : p;
          return !bad.empty();
        },
        span);
    return bad;
  }

  // Types one key into the window; `shift` holds a real Shift down around it.
  void press(KeySym key, bool shift = false) {
    // No window manager gives the window the focus: take it, and wait until the server has.
    waitFor(
        [&] {
          XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
          Window focus;
          int revert;
          XGetInputFocus(display_, &focus, &revert);
          return focus == window_;
        },
        Ms(2000));
    const KeyCode shiftCode = XKeysymToKeycode(display_, XK_Shift_L);
    const KeyCode code = XKeysymToKeycode(display_, key);
    if (shift) XTestFakeKeyEvent(display_, shiftCode, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    if (shift) XTestFakeKeyEvent(display_, shiftCode, False, CurrentTime);
    XSync(display_, False);
  }

  // What a window manager sends when the user closes the window.
  void closeWindow() {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window_;
    e.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window_, False, NoEventMask, &e);
    XSync(display_, False);
  }

 private:
  static uchar channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const unsigned long max = mask >> shift;
    return static_cast<uchar>(((pixel & mask) >> shift) * 255 / max);
  }

  Window findWindow() {
    Window root, parent, *children = nullptr, found = 0;
    unsigned count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count))
      return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
      char* name = nullptr;
      XWindowAttributes a;
      if (XFetchName(display_, children[i], &name) && name && std::strcmp(name, "Orvelle") == 0 &&
          XGetWindowAttributes(display_, children[i], &a) && a.map_state == IsViewable)
        found = children[i];
      if (name) XFree(name);
    }
    if (children) XFree(children);
    return found;
  }

  Display* display_;
  std::string controlFile_, errFile_;
  std::optional<Process> process_;
  Window window_ = 0;
};

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

testing::AssertionResult exitedWith(const std::optional<int>& status, int code) {
  if (!status) return testing::AssertionFailure() << "still running";
  if (WIFSIGNALED(*status))
    return testing::AssertionFailure() << "killed by signal " << WTERMSIG(*status);
  if (WEXITSTATUS(*status) != code)
    return testing::AssertionFailure() << "exit status " << WEXITSTATUS(*status);
  return testing::AssertionSuccess();
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

  void expectExit(int code, Ms limit = Ms(5000)) {
    EXPECT_TRUE(exitedWith(viewer_->process().waitExit(limit), code))
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

}  // namespace
