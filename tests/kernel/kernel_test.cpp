// Kernel end-to-end tests: the real viewer on vivid, the kernel's own virtual camera driver,
// on uvcvideo driving a USB webcam in software (orvelle_uvc_camera), and through libcamera on
// vimc, the kernel's virtual camera with a media graph, inside the machine tests/kernel/vm-run
// starts (ctest runs them there). Pictures are compared with the driver's own frames of its
// colour-bar pattern (for vimc, as libcamera's cam captures them), or with the footage the USB
// camera sends; faults come from vivid's error-injection controls and from the USB camera,
// told what to damage.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstdio>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <utility>

#include "exit_status.h"
#include "session.h"

namespace {

const char* const kDevice = "/dev/video0";
const std::string kCannotCapture = "orvelle: cannot capture from the camera /dev/video0\n";
const std::string kCameraLost = "orvelle: the camera stopped delivering frames\n";
const std::string kInUse = "orvelle: the camera /dev/video0 is in use by another program\n";
const std::string kNoPermission = "orvelle: no permission to open the camera /dev/video0\n";
const std::string kUndecodable = "orvelle: the camera's frames cannot be decoded\n";

// Where the viewer's texts may be; the rest of the picture is the camera's.
const cv::Rect kMenuArea(0, 0, 160, 48);
const cv::Rect kCaptionArea(544, 440, 96, 28);
// Mean difference per channel allowed to the driver's own frame: chroma subsampling and
// Bayer interpolation blur the bars' edges a little; swapped red and blue cost about 60.
constexpr double kMaxMeanDiff = 4;
// Under emulation the viewer takes many seconds to start.
const Ms kStartLimit(120000);
// Well below the 5 s after which a silent camera is given up.
const Ms kAtOnce(2500);

std::string viewerExe() {
  const char* exe = std::getenv("ORVELLE_KERNEL_VIEWER");
  return exe && *exe ? exe : ORVELLE_EXE;
}

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  operator int() const { return fd_; }

 private:
  int fd_;
};

// ---- the driver ----

std::string fourccName(uint32_t f) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((f >> (8 * i)) & 0x7f);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return f & (1u << 31) ? s + "-BE" : s;
}

std::vector<uint32_t> driverFormats() {
  Fd fd(open(kDevice, O_RDWR));
  std::vector<uint32_t> formats;
  v4l2_fmtdesc d{};
  d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (; ioctl(fd, VIDIOC_ENUM_FMT, &d) == 0; ++d.index) formats.push_back(d.pixelformat);
  return formats;
}

// Sets the control the driver calls `name`; buttons are pressed with any value.
bool setControl(const std::string& name, int value, const std::string& device = kDevice) {
  Fd fd(open(device.c_str(), O_RDWR));
  v4l2_queryctrl q{};
  q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  for (; ioctl(fd, VIDIOC_QUERYCTRL, &q) == 0; q.id |= V4L2_CTRL_FLAG_NEXT_CTRL)
    if (name == reinterpret_cast<const char*>(q.name)) {
      v4l2_control c{q.id, value};
      return ioctl(fd, VIDIOC_S_CTRL, &c) == 0;
    }
  return false;
}

bool setFramesPerSecond(unsigned fps) {
  Fd fd(open(kDevice, O_RDWR));
  v4l2_streamparm p{};
  p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  p.parm.capture.timeperframe = {1, fps};
  return ioctl(fd, VIDIOC_S_PARM, &p) == 0 && p.parm.capture.timeperframe.denominator == fps;
}

// Whether another file handle holds the camera's buffers, as a streaming program does.
bool ownedByAnother() {
  Fd fd(open(kDevice, O_RDWR));
  v4l2_requestbuffers none{};
  none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  none.memory = V4L2_MEMORY_MMAP;
  return ioctl(fd, VIDIOC_REQBUFS, &none) != 0 && errno == EBUSY;
}

// A fresh driver: one webcam input, default controls, no fault left from a test before.
void reloadVivid() {
  const char* options = std::getenv("ORVELLE_VM_VIVID");
  ASSERT_TRUE(options) << "not in the machine of tests/kernel/vm-run";
  ASSERT_EQ(shell(std::string("modprobe -r vivid && modprobe vivid ") + options), 0);
}

// One frame as the driver makes it, read with read(): BGR3 comes as 8-bit BGR, GREY as grey.
cv::Mat driverFrame(uint32_t format, cv::Size size, int type) {
  Fd fd(open(kDevice, O_RDWR));
  v4l2_format f{};
  f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  f.fmt.pix.width = size.width;
  f.fmt.pix.height = size.height;
  f.fmt.pix.pixelformat = format;
  f.fmt.pix.field = V4L2_FIELD_NONE;
  cv::Mat frame(size, type);
  const size_t bytes = frame.total() * frame.elemSize();
  if (ioctl(fd, VIDIOC_S_FMT, &f) != 0 || f.fmt.pix.pixelformat != format ||
      cv::Size(f.fmt.pix.width, f.fmt.pix.height) != size || f.fmt.pix.sizeimage != bytes ||
      read(fd, frame.data, bytes) != static_cast<ssize_t>(bytes))
    return {};
  return frame;
}

// Whether OpenCV's V4L2 backend captures from the driver when it offers only `format`.
// This process runs with one_format's ioctl, which reads the variable at every call.
bool openCvCaptures(uint32_t format) {
  setenv("ORVELLE_KERNEL_FORMAT", fourccName(format).c_str(), 1);
  cv::VideoCapture capture(0, cv::CAP_V4L2);
  cv::Mat frame;
  const bool captured = capture.isOpened() && capture.read(frame) && !frame.empty();
  const bool tookIt = static_cast<uint32_t>(capture.get(cv::CAP_PROP_FOURCC)) == format;
  unsetenv("ORVELLE_KERNEL_FORMAT");
  return captured && tookIt;
}

// A desktop has GStreamer's plugins, V4L2's among them; a minimal machine does not. The
// viewer must say the same either way: the settings for each, with a registry of its own so
// that no cache of the host's counts.
std::vector<std::vector<std::string>> withAndWithoutGStreamer(const TempDir& dir) {
  EXPECT_EQ(shell("ls /usr/lib/*/gstreamer-1.0/libgstvideo4linux2.so >/dev/null 2>&1"), 0)
      << "no GStreamer V4L2 plugin (gstreamer1.0-plugins-good): tools/install-deps test";
  mkdir((dir / "no-plugins").c_str(), 0755);
  return {{"GST_REGISTRY_1_0=" + dir / "with.bin"},
          {"GST_REGISTRY_1_0=" + dir / "without.bin",
           "GST_PLUGIN_SYSTEM_PATH_1_0=" + dir / "no-plugins", "GST_PLUGIN_PATH_1_0="}};
}

// ---- the viewer ----

bool strongRed(const cv::Vec3b& p) { return p[2] >= 150 && p[1] <= 90 && p[0] <= 90; }

// The menu is drawn: a picture has been painted.
bool painted(const Picture& p) {
  int red = 0;
  for (int y = kMenuArea.y; y < kMenuArea.br().y; ++y)
    for (int x = kMenuArea.x; x < kMenuArea.br().x; ++x) red += strongRed(p.at<cv::Vec3b>(y, x));
  return red > 30;
}

double meanDiff(const Picture& p, const cv::Mat& expected) {
  cv::Mat mask(p.size(), CV_8U, cv::Scalar(255));
  mask(kMenuArea) = 0;
  mask(kCaptionArea) = 0;
  return cv::norm(p, expected, cv::NORM_L1, mask) / (cv::countNonZero(mask) * 3.0);
}

// The window's raw contents, to see that they change.
std::vector<char> rawWindow(Display* display, Window w) {
  XImage* image = XGetImage(display, w, 0, 0, 640, 480, AllPlanes, ZPixmap);
  if (!image) return {};
  std::vector<char> bytes(image->data, image->data + image->bytes_per_line * image->height);
  XDestroyImage(image);
  return bytes;
}

// One X server for every viewer the tests start: it costs seconds to start under emulation.
const Xvfb& xServer() {
  static TempDir dir;
  static Xvfb x(dir);
  return x;
}

// The viewer on whichever camera the machine has.
class Viewing : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(xServer().display(), nullptr) << "Xvfb did not start"; }

  // Starts the viewer, with one_format's settings in `env` and the camera chosen by `args`,
  // and waits for its first picture.
  Viewer& start(const std::vector<std::string>& env = {},
                const std::vector<std::string>& args = {}) {
    runOnly(env, args);
    EXPECT_TRUE(viewer_->waitWindow(kStartLimit)) << "no window; stderr: " << viewer_->stderrText();
    picture_ = viewer_->waitPicture(painted, Ms(30000));
    EXPECT_TRUE(picture_.size() == kPictureSize && painted(picture_)) << "no picture";
    return *viewer_;
  }

  // Starts the viewer with no wait.
  Viewer& runOnly(const std::vector<std::string>& env = {},
                  const std::vector<std::string>& args = {}) {
    viewer_.reset();
    viewer_.emplace(xServer(), dir_, Camera{"", "", env}, viewerExe(), "Orvelle", args);
    EXPECT_TRUE(viewer_->process().started());
    return *viewer_;
  }

  void expectExit(int code, const std::string& line, Ms limit) {
    EXPECT_TRUE(exitedWith(viewer_->process().waitExit(limit), code))
        << "stderr: " << viewer_->stderrText();
    EXPECT_EQ(viewer_->stderrText(), line);
  }

  TempDir dir_;
  std::optional<Viewer> viewer_;
  Picture picture_;
};

class Kernel : public Viewing {
 protected:
  void SetUp() override {
    Viewing::SetUp();
    reloadVivid();
  }

  // Sets a control and waits for the viewer to end with status 1 and `line`; how long its
  // window stayed (a Qt program takes seconds more to exit under emulation).
  Ms endsAfter(const std::string& control, int value, const std::string& line, Ms limit) {
    const auto set = Clock::now();
    EXPECT_TRUE(setControl(control, value)) << control;
    EXPECT_TRUE(viewer_->waitWindowGone(limit));
    const auto gone = Clock::now();
    expectExit(1, line, Ms(10000));
    return std::chrono::duration_cast<Ms>(gone - set);
  }
};

// ---- pictures ----

// Every format of the webcam input that OpenCV captures from is shown in its true colours;
// the others are turned away with one line.
TEST_F(Kernel, EveryFormatShowsTheDriversColours) {
  ASSERT_TRUE(setControl("OSD Text Mode", 2));  // no changing text over the bars
  const cv::Mat bgr = driverFrame(V4L2_PIX_FMT_BGR24, kPictureSize, CV_8UC3);
  const cv::Mat grey = driverFrame(V4L2_PIX_FMT_GREY, kPictureSize, CV_8UC1);
  ASSERT_FALSE(bgr.empty() || grey.empty()) << "no frame from the driver";
  cv::Mat greyBgr, swapped;
  cv::cvtColor(grey, greyBgr, cv::COLOR_GRAY2BGR);
  cv::cvtColor(bgr, swapped, cv::COLOR_BGR2RGB);

  std::vector<uint32_t> captured, refused;
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  for (uint32_t f : driverFormats()) (openCvCaptures(f) ? captured : refused).push_back(f);
  std::printf("vivid's webcam formats that OpenCV captures from:");
  for (uint32_t f : captured) std::printf(" %s", fourccName(f).c_str());
  std::printf("\nand those it does not:");
  for (uint32_t f : refused) std::printf(" %s", fourccName(f).c_str());
  std::printf("\n");
  for (uint32_t f : {V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_YUYV})
    ASSERT_NE(std::find(captured.begin(), captured.end(), f), captured.end())
        << fourccName(f) << " is a camera's everyday format";
  ASSERT_FALSE(refused.empty());

  for (uint32_t f : captured) {
    const std::string name = fourccName(f);
    SCOPED_TRACE(name);
    start({"ORVELLE_KERNEL_FORMAT=" + name});
    if (picture_.size() != kPictureSize || !painted(picture_)) continue;
    const bool luma = f == V4L2_PIX_FMT_GREY || f == V4L2_PIX_FMT_Y10 || f == V4L2_PIX_FMT_Y12 ||
                      f == V4L2_PIX_FMT_Y16 || f == V4L2_PIX_FMT_Y16_BE;
    const double diff = meanDiff(picture_, luma ? greyBgr : bgr);
    const double diffSwapped = meanDiff(picture_, swapped);
    std::printf("%-6s mean difference %5.2f%s\n", name.c_str(), diff,
                !luma && diffSwapped < diff ? " (red and blue swapped)" : "");
    EXPECT_LE(diff, kMaxMeanDiff) << "with red and blue swapped: " << diffSwapped;
    // However long a frame of this format takes to fetch and convert here, q acts at once.
    const auto typed = Clock::now();
    viewer_->press(XK_q);
    EXPECT_TRUE(viewer_->waitWindowGone(Ms(10000)));
    const auto answered = std::chrono::duration_cast<Ms>(Clock::now() - typed);
    EXPECT_LT(answered.count(), 1000) << "q waited for the camera";
    std::printf("%-6s q answered in %lld ms\n", name.c_str(),
                static_cast<long long>(answered.count()));
  }

  // A format OpenCV has no conversion for.
  for (auto env : withAndWithoutGStreamer(dir_)) {
    env.push_back("ORVELLE_KERNEL_FORMAT=" + fourccName(refused.front()));
    runOnly(env);
    expectExit(1, kCannotCapture, kStartLimit);
  }
}

// A camera that keeps its own size has its picture scaled to fill the window.
TEST_F(Kernel, OtherSizeIsScaledToFill) {
  ASSERT_TRUE(setControl("OSD Text Mode", 2));
  // A border and a square: the bars alone would hide a picture squashed or cut vertically.
  ASSERT_TRUE(setControl("Show Border", 1));
  ASSERT_TRUE(setControl("Show Square", 1));
  const cv::Size size(1280, 720);
  const cv::Mat frame = driverFrame(V4L2_PIX_FMT_BGR24, size, CV_8UC3);
  ASSERT_FALSE(frame.empty());
  cv::Mat expected;
  cv::resize(frame, expected, kPictureSize, 0, 0, cv::INTER_LINEAR);
  start({"ORVELLE_KERNEL_FORMAT=BGR3", "ORVELLE_KERNEL_SIZE=1280x720"});
  const double diff = meanDiff(picture_, expected);
  std::printf("1280x720 BGR3 scaled: mean difference %.2f\n", diff);
  EXPECT_LE(diff, kMaxMeanDiff);
}

// ---- faults ----

// Unplugged, or a fatal error in the driver: the viewer ends at once, not after 5 s of silence.
TEST_F(Kernel, UnpluggedOrBrokenCameraEndsTheViewerAtOnce) {
  Ms unplugged{0};
  for (const auto& env : withAndWithoutGStreamer(dir_)) {
    reloadVivid();
    start(env);
    unplugged = endsAfter("Disconnect", 1, kCameraLost, Ms(10000));
    EXPECT_LT(unplugged.count(), kAtOnce.count());
  }
  // Gone for good: no camera at all.
  ASSERT_EQ(shell("modprobe -r vivid"), 0);
  for (const auto& env : withAndWithoutGStreamer(dir_)) {
    runOnly(env);
    expectExit(1, "orvelle: no camera at index 0\n", kStartLimit);
  }
  reloadVivid();
  start();
  const Ms broken = endsAfter("Inject Fatal Streaming Error", 1, kCameraLost, Ms(10000));
  EXPECT_LT(broken.count(), kAtOnce.count());
  std::printf("ended %lld ms after the unplugging, %lld ms after the fatal error\n",
              static_cast<long long>(unplugged.count()), static_cast<long long>(broken.count()));
}

// Frames marked as corrupt and frames never returned are passed over.
TEST_F(Kernel, BufferErrorsAndDroppedFramesDoNotEndTheViewer) {
  Viewer& v = start();
  ASSERT_TRUE(setControl("Percentage of Dropped Buffers", 50));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(setControl("Inject V4L2_BUF_FLAG_ERROR", 1));
    std::this_thread::sleep_for(Ms(300));
  }
  std::this_thread::sleep_for(Ms(1000));
  ASSERT_TRUE(v.process().running()) << "stderr: " << v.stderrText();
  v.press(XK_q);
  expectExit(0, "", Ms(10000));
}

// A camera that will not start streaming, and one that stalls for 5 s, end the viewer.
TEST_F(Kernel, StreamingStartErrorAndStallEndTheViewer) {
  for (const auto& env : withAndWithoutGStreamer(dir_)) {
    ASSERT_TRUE(setControl("Inject VIDIOC_STREAMON Error", 1));
    runOnly(env);
    EXPECT_TRUE(exitedWith(viewer_->process().waitExit(kStartLimit), 1));
    const std::string said = viewer_->stderrText();
    std::printf("a camera that would not stream: %s", said.c_str());
    EXPECT_EQ(said, kCannotCapture) << "it never delivered a frame to stop delivering";
  }

  reloadVivid();
  start();
  const Ms stalled = endsAfter("Percentage of Dropped Buffers", 100, kCameraLost, Ms(15000));
  EXPECT_GT(stalled.count(), 4500) << "gave up on a camera silent for less than 5 s";
  std::printf("a stalled camera ended the viewer after %lld ms\n",
              static_cast<long long>(stalled.count()));
}

// Another program streaming, and a device this user may not open, are told apart.
TEST_F(Kernel, CameraInUseOrForbiddenIsToldApart) {
  const auto gstreamer = withAndWithoutGStreamer(dir_);
  Process other({"v4l2-ctl", "-d", kDevice, "--stream-mmap"}, {"PATH=/usr/bin:/bin"}, "/dev/null",
                "/dev/null");
  ASSERT_TRUE(waitFor(ownedByAnother, Ms(30000))) << "v4l2-ctl did not take the camera";
  for (const auto& env : gstreamer) {
    runOnly(env);
    expectExit(1, kInUse, kStartLimit);
  }
  other.terminate();
  ASSERT_TRUE(other.waitExit(Ms(10000)).has_value());

  ASSERT_EQ(chmod(kDevice, 0600), 0);
  for (auto env : gstreamer) {
    const std::string err = dir_ / "nobody.err";
    env.insert(env.end(), {"PATH=/usr/bin:/bin", "DISPLAY=" + xServer().name()});
    Process nobody({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", viewerExe()},
                   env, "/dev/null", err);
    EXPECT_TRUE(exitedWith(nobody.waitExit(kStartLimit), 1));
    EXPECT_EQ(fileText(err), kNoPermission);
  }
}

// A frame a second: q ends the viewer at once all the same, not at the next frame.
TEST_F(Kernel, SlowCameraAnswersQAtOnce) {
  Viewer& v = start();
  ASSERT_TRUE(setFramesPerSecond(1));
  // vivid's text changes with every frame. Frames already on their way come at the old rate:
  // wait for one that came a good half second after the one before, to be just past a frame.
  Display* d = xServer().display();
  std::vector<char> last = rawWindow(d, v.window());
  auto changed = Clock::now();
  ASSERT_TRUE(waitFor(
      [&] {
        std::vector<char> now = rawWindow(d, v.window());
        if (now == last) return false;
        last.swap(now);
        const auto before = std::exchange(changed, Clock::now());
        return changed - before > Ms(500);
      },
      Ms(10000), Ms(5)))
      << "no frame a second";
  const auto typed = Clock::now();
  v.press(XK_q);
  EXPECT_TRUE(v.waitWindowGone(Ms(5000)));
  const Ms answered = std::chrono::duration_cast<Ms>(Clock::now() - typed);
  std::printf("q on a 1 fps camera: window gone after %lld ms\n",
              static_cast<long long>(answered.count()));
  EXPECT_LT(answered.count(), 500) << "q waited for a frame";
  expectExit(0, "", Ms(10000));
}

// ---- a USB webcam ----

const char* const kVhci = "/sys/devices/platform/vhci_hcd.0";

v4l2_capability capability(const char* device) {
  Fd fd(open(device, O_RDWR));
  v4l2_capability c{};
  return ioctl(fd, VIDIOC_QUERYCAP, &c) == 0 ? c : v4l2_capability{};
}

std::string driverName(const char* device = kDevice) {
  return reinterpret_cast<const char*>(capability(device).driver);
}

bool writeFile(const std::string& path, const std::string& text) {
  Fd fd(open(path.c_str(), O_WRONLY | O_NONBLOCK));
  return fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

Ms since(Clock::time_point t) { return std::chrono::duration_cast<Ms>(Clock::now() - t); }

// The software webcam, plugged into the machine's USB/IP host controller for uvcvideo to
// drive. It sends frame 0 of the e2e tests' footage until told otherwise.
class UsbCamera : public Viewing {
 protected:
  void TearDown() override { unplug(); }

  // Plugged in, and driven by uvcvideo as `device`.
  void plug(const char* device = kDevice) {
    ASSERT_EQ(access(kVhci, F_OK), 0) << "no vhci-hcd: vm-run --modules 'vhci-hcd uvcvideo'";
    const std::string commands = dir_ / "commands", err = dir_ / "camera.err";
    mkfifo(commands.c_str(), 0600);
    device_ = device;
    camera_.emplace(std::vector<std::string>{ORVELLE_UVC_CAMERA, "--commands", commands,
                                             clip("walk.orv"), clip("walk720.orv")},
                    std::vector<std::string>{}, "/dev/null", err);
    ASSERT_TRUE(waitFor([&] { return driverName(device) == "uvcvideo"; }, Ms(30000)))
        << "uvcvideo did not take the camera as " << device << "; it said: " << fileText(err);
  }

  // Detached from the bus (its port, 0), as a cable pulled out.
  static bool pull() { return writeFile(std::string(kVhci) + "/detach", "0"); }

  // Pulled, and gone: the camera program ends, and so does the device.
  void unplug() {
    if (!camera_ || !camera_->running()) return;
    EXPECT_TRUE(pull());
    EXPECT_TRUE(exitedWith(camera_->waitExit(Ms(10000)), 0));
    EXPECT_TRUE(waitFor([&] { return access(device_, F_OK) != 0; }, Ms(10000)));
  }

  void tell(const std::string& command) {
    ASSERT_TRUE(writeFile(dir_ / "commands", command + "\n")) << command;
  }

  std::optional<Process> camera_;
  const char* device_ = kDevice;
};

class Usb : public UsbCamera {
 protected:
  void SetUp() override {
    UsbCamera::SetUp();
    plug();
  }
};

// Both formats as sent: YUYV, and MJPEG within JPEG's loss, also at the larger size scaled.
TEST_F(Usb, YuyvAndMjpegShowTheFootage) {
  ASSERT_EQ(driverName(), "uvcvideo");
  const cv::Mat small = firstFrame(clip("walk.orv")), large = firstFrame(clip("walk720.orv"));
  ASSERT_FALSE(small.empty() || large.empty());
  cv::Mat scaled;
  cv::resize(large, scaled, kPictureSize, 0, 0, cv::INTER_LINEAR);
  const struct {
    std::string format, size;
    const cv::Mat& expected;
  } cases[] = {{"YUYV", "", small}, {"MJPG", "", small}, {"MJPG", "1280x720", scaled}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format + " " + c.size);
    std::vector<std::string> env = {"ORVELLE_KERNEL_FORMAT=" + c.format};
    if (!c.size.empty()) env.push_back("ORVELLE_KERNEL_SIZE=" + c.size);
    Viewer& v = start(env);
    const double diff = meanDiff(picture_, c.expected);
    std::printf("USB camera, %s %s: mean difference %.2f\n", c.format.c_str(),
                c.size.empty() ? "640x480" : c.size.c_str(), diff);
    EXPECT_LE(diff, kMaxMeanDiff);
    v.press(XK_q);
    expectExit(0, "", Ms(10000));
  }
}

// A payload with UVC's error bit, JPEGs cut short and JPEGs with garbage inside, as a webcam
// sends on a poor cable: passed over without a word, and the next good frame shown.
TEST_F(Usb, DamagedFramesArePassedOverSilently) {
  const cv::Mat later = clipFrame(clip("walk.orv"), 59);
  ASSERT_GT(meanDiff(firstFrame(clip("walk.orv")), later), kMaxMeanDiff);
  Viewer& v = start({"ORVELLE_KERNEL_FORMAT=MJPG"});
  tell("error 3\ncut 3\ngarbage 3\nframe 59");
  const auto told = Clock::now();
  const Picture shown = v.waitPicture(
      [&](const Picture& p) { return meanDiff(p, later) <= kMaxMeanDiff; }, Ms(30000));
  EXPECT_LE(meanDiff(shown, later), kMaxMeanDiff) << "the good frame after them is not shown";
  std::printf("USB camera, 9 damaged frames: the next good one shown after %lld ms\n",
              static_cast<long long>(since(told).count()));
  ASSERT_TRUE(v.process().running()) << "stderr: " << v.stderrText();
  v.press(XK_q);
  expectExit(0, "", Ms(10000));
}

// Pulled out of the bus: the viewer ends at once with the camera-lost line.
TEST_F(Usb, UnpluggedUsbCameraEndsTheViewerAtOnce) {
  Viewer& v = start();
  const auto pulled = Clock::now();
  ASSERT_TRUE(pull());
  EXPECT_TRUE(v.waitWindowGone(Ms(10000)));
  const Ms gone = since(pulled);
  expectExit(1, kCameraLost, Ms(10000));
  std::printf("USB camera unplugged: window gone after %lld ms\n",
              static_cast<long long>(gone.count()));
  EXPECT_LT(gone.count(), 1000);
}

// A camera that stops sending is given up after 5 s; one whose JPEGs all fail to decode, or
// all claim a size far beyond the one it agreed to, is told as such, not shown frozen or black
// for ever, nor left to make the viewer allocate what the JPEG claims.
TEST_F(Usb, SilentOrUndecodableUsbCameraIsGivenUp) {
  start({"ORVELLE_KERNEL_FORMAT=MJPG"});
  auto told = Clock::now();
  tell("stop");
  EXPECT_TRUE(viewer_->waitWindowGone(Ms(15000)));
  const Ms silent = since(told);
  expectExit(1, kCameraLost, Ms(10000));
  EXPECT_GT(silent.count(), 4500) << "gave up on a camera silent for less than 5 s";
  std::printf("USB camera silent: given up after %lld ms\n",
              static_cast<long long>(silent.count()));

  // Zeroed starts; JPEGs of 65500 x 65500 (nearly 13 GB in BGR) from a camera agreed at 640 x 480.
  for (const char* fault : {"broken", "lie"}) {
    SCOPED_TRACE(fault);
    unplug();
    plug();
    start({"ORVELLE_KERNEL_FORMAT=MJPG"});
    told = Clock::now();
    tell(fault);
    EXPECT_TRUE(viewer_->waitWindowGone(Ms(15000)));
    const Ms undecodable = since(told);
    expectExit(1, kUndecodable, Ms(10000));
    std::printf("USB camera, %s JPEGs: given up after %lld ms\n", fault,
                static_cast<long long>(undecodable.count()));
  }
}

// ---- cameras behind libcamera, and a choice of camera ----

// The IDs of the cameras libcamera's own tool lists, in its order.
std::vector<std::string> libcameraIds(const TempDir& dir) {
  const std::string out = dir / "list.out", err = dir / "list.err";
  Process cam({"cam", "-l"}, inheritedEnv(), out, err);
  EXPECT_TRUE(exitedWith(cam.waitExit(Ms(60000)), 0)) << fileText(err);
  // 1: 'Sensor B' (platform/vimc.0 Sensor B)
  std::vector<std::string> ids;
  std::istringstream lines(fileText(out));
  for (std::string line; std::getline(lines, line);) {
    const size_t open = line.find("' ("), close = line.size() - 1;
    if (open != std::string::npos && line[close] == ')' && std::isdigit(line[0]))
      ids.push_back(line.substr(open + 3, close - open - 3));
  }
  return ids;
}

// A frame as libcamera's cam captures it from camera `id`, as 8-bit BGR.
cv::Mat camFrame(const TempDir& dir, const std::string& id, cv::Size size) {
  const std::string files = dir / "frames";
  fs::remove_all(files);
  fs::create_directory(files);
  // BGR888, R, G, B in memory: vimc on 6.12 offers RGB888 through libcamera 0.4, but will not
  // stream it. cam 0.0.3 never ends when asked for one frame: two, and the last one kept.
  Process cam({"cam", "-c", id, "-C2", "-F" + files + "/#.bin", "-s",
               "pixelformat=BGR888,width=" + std::to_string(size.width) +
                   ",height=" + std::to_string(size.height)},
              inheritedEnv(), "/dev/null", dir / "cam.err");
  if (!exitedWith(cam.waitExit(Ms(120000)), 0)) return {};
  std::vector<std::string> names;
  for (const auto& f : fs::directory_iterator(files)) names.push_back(f.path());
  if (names.empty()) return {};
  std::sort(names.begin(), names.end());
  const std::string bytes = fileText(names.back());
  cv::Mat rgb(size, CV_8UC3), frame;
  if (bytes.size() != rgb.total() * 3) return {};
  std::copy(bytes.begin(), bytes.end(), rgb.data);
  cv::cvtColor(rgb, frame, cv::COLOR_RGB2BGR);
  return frame;
}

// The node of the subdevice called `name` in a media graph, such as vimc's "Sensor B".
std::string subdevice(const std::string& name) {
  for (const auto& e : fs::directory_iterator("/sys/class/video4linux")) {
    const std::string node = e.path().filename();
    if (node.rfind("v4l-subdev", 0) == 0 && fileText(e.path() / "name") == name + "\n")
      return "/dev/" + node;
  }
  return "";
}

// The menu's lines but its first ("m - show menu") are gone.
bool menuHidden(const Picture& p) {
  auto red = [&](const cv::Rect& r) {
    int n = 0;
    for (int y = r.y; y < r.br().y; ++y)
      for (int x = r.x; x < r.br().x; ++x) n += strongRed(p.at<cv::Vec3b>(y, x));
    return n;
  };
  return p.size() == kPictureSize && red({0, 2, 160, 9}) > 20 && red({0, 14, 160, 22}) == 0;
}

// The viewer run for its output alone, as `orvelle --list` is.
struct Output {
  std::optional<int> status;
  std::string out, err;
};
Output run(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> command{viewerExe()};
  command.insert(command.end(), args.begin(), args.end());
  Process p(command, inheritedEnv(), dir / "run.out", dir / "run.err");
  const auto status = p.waitExit(kStartLimit);
  return {status, fileText(dir / "run.out"), fileText(dir / "run.err")};
}

// One machine with vimc, vivid and the USB camera, two of them at a time: vimc alone, whose
// raw node is /dev/video0 as a Raspberry Pi camera's is, or vivid's webcam as /dev/video0
// and the USB camera as /dev/video1; or the USB camera alone on the machine's xHCI
// controller. udev, through which libcamera finds cameras, is told of each change before a
// camera is looked for.
class Libcamera : public UsbCamera {
 protected:
  void TearDown() override {
    UsbCamera::TearDown();
    EXPECT_EQ(shell("! [ -e /sys/module/xhci_pci ] || modprobe -r xhci-pci"), 0);
  }

  void onlyVimc() {
    ASSERT_EQ(shell("! [ -e /sys/module/vivid ] || rmmod vivid"), 0);
    // Built here where the kernel has no vimc of its own.
    const char* built = std::getenv("ORVELLE_VM_VIMC");
    ASSERT_EQ(shell("[ -e /sys/module/vimc ] || " +
                    (built ? "insmod " + std::string(built) : std::string("modprobe vimc"))),
              0);
    ASSERT_EQ(shell("udevadm settle"), 0);
    ASSERT_EQ(driverName(), "vimc");
  }

  void vividAndUsb() {
    ASSERT_EQ(shell("! [ -e /sys/module/vimc ] || rmmod vimc"), 0);
    const char* options = std::getenv("ORVELLE_VM_VIVID");
    ASSERT_TRUE(options);
    ASSERT_EQ(shell("[ -e /sys/module/vivid ] || modprobe vivid " + std::string(options)), 0);
    ASSERT_EQ(driverName(), "vivid");
    plug("/dev/video1");
    ASSERT_EQ(shell("udevadm settle"), 0);
  }

  // The USB camera, on the host, that vm-run --usbredir has plugged into QEMU's xHCI
  // controller: it comes when the controller's driver is loaded, as /dev/video0.
  void onlyUsbOnXhci() {
    ASSERT_EQ(shell("! [ -e /sys/module/vimc ] || rmmod vimc"), 0);
    ASSERT_EQ(shell("! [ -e /sys/module/vivid ] || rmmod vivid"), 0);
    ASSERT_EQ(shell("modprobe xhci-pci"), 0);
    ASSERT_TRUE(waitFor([] { return driverName() == "uvcvideo"; }, Ms(60000)))
        << "no USB camera on the xHCI controller";
    ASSERT_EQ(shell("udevadm settle"), 0);
  }

  // Each camera named, opened in turn, shows the USB camera's footage and ends on q.
  void expectFootageFrom(const std::vector<std::string>& cameras) {
    const cv::Mat footage = firstFrame(clip("walk.orv"));
    for (const std::string& camera : cameras) {
      SCOPED_TRACE(camera);
      Viewer& v = start({}, {camera});
      ASSERT_EQ(picture_.size(), kPictureSize);
      const double diff = meanDiff(picture_, footage);
      std::printf("orvelle '%s': mean difference %.2f to the USB camera's footage\n",
                  camera.c_str(), diff);
      EXPECT_LE(diff, kMaxMeanDiff);
      v.press(XK_q);
      expectExit(0, "", Ms(10000));
    }
  }
};

// With no argument, vimc's raw node is passed over for libcamera's camera, shown in the
// colours cam captures; its keys act, q at once; and a camera another libcamera program
// holds, chosen by its ID, is told as in use.
TEST_F(Libcamera, VimcIsShownThroughLibcamera) {
  onlyVimc();
  const std::vector<std::string> ids = libcameraIds(dir_);
  ASSERT_EQ(ids.size(), 1u) << "vimc should be libcamera's only camera";
  std::printf("libcamera's camera: %s\n", ids[0].c_str());
  // No changing text over the bars.
  ASSERT_TRUE(setControl("Show Information", 2, subdevice("Sensor B")));
  // A size libcamera 0.0.3's vimc pipeline takes as it is (a multiple of 6), scaled as the
  // viewer scales whatever size it gets.
  const cv::Mat frame = camFrame(dir_, ids[0], {960, 720});
  ASSERT_FALSE(frame.empty()) << "cam captured nothing; it said: " << fileText(dir_ / "cam.err");
  cv::Mat expected;
  cv::resize(frame, expected, kPictureSize, 0, 0, cv::INTER_AREA);

  Viewer& v = start();
  ASSERT_EQ(picture_.size(), kPictureSize);
  const double diff = meanDiff(picture_, expected);
  std::printf("vimc through libcamera: mean difference %.2f\n", diff);
  EXPECT_LE(diff, kMaxMeanDiff);
  v.press(XK_m);
  EXPECT_TRUE(menuHidden(v.waitPicture(menuHidden, Ms(10000)))) << "m did not hide the menu";
  const auto typed = Clock::now();
  v.press(XK_q);
  EXPECT_TRUE(v.waitWindowGone(Ms(10000)));
  const Ms answered = since(typed);
  std::printf("vimc through libcamera: q answered in %lld ms\n",
              static_cast<long long>(answered.count()));
  EXPECT_LT(answered.count(), 1000);
  expectExit(0, "", Ms(10000));

  Process other({"cam", "-c", ids[0], "-C"}, inheritedEnv(), dir_ / "other.out",
                dir_ / "other.err");
  ASSERT_TRUE(waitFor(
      [&] { return fileText(dir_ / "other.out").find("seq:") != std::string::npos; }, Ms(60000)))
      << "cam did not stream; it said: " << fileText(dir_ / "other.err");
  runOnly({}, {ids[0]});
  expectExit(1, "orvelle: the camera " + ids[0] + " is in use by another program\n", kStartLimit);
}

// Two cameras: both listed, and the second shown when chosen by its path or by its index,
// told apart from the first by its picture, the footage rather than colour bars.
TEST_F(Libcamera, SecondCameraIsChosenByPathOrIndex) {
  vividAndUsb();
  // libcamera names a USB camera after its host controller's node in the firmware (ACPI or
  // device tree); vhci-hcd has none, so libcamera leaves this one out, with an error line of
  // its own that must not reach the terminal.
  const Output list = run(dir_, {"--list"});
  std::printf("orvelle --list:\n%s", list.out.c_str());
  EXPECT_TRUE(exitedWith(list.status, 0));
  EXPECT_EQ(list.err, "");
  std::string v4l2;
  for (const char* device : {"/dev/video0", "/dev/video1"})
    v4l2 +=
        std::string(device) + "\t" + reinterpret_cast<const char*>(capability(device).card) + "\n";
  EXPECT_EQ(list.out.substr(0, v4l2.size()), v4l2);
  EXPECT_EQ(list.out.find("/dev/", v4l2.size()), std::string::npos);

  expectFootageFrom({"/dev/video1", "1"});
}

// The USB camera on a host controller the machine's firmware describes, which libcamera
// names it after: listed, and shown alike, as its V4L2 node and as libcamera's camera.
TEST_F(Libcamera, UsbCameraIsShownThroughLibcameraAndV4l2) {
  if (!std::getenv("ORVELLE_VM_USBREDIR"))
    GTEST_SKIP() << "no USB camera through QEMU's usb-redir (vm-run --usbredir; "
                    "orvelle_uvc_camera needs libusbredirparser-dev for it)";
  onlyUsbOnXhci();
  const std::vector<std::string> ids = libcameraIds(dir_);
  ASSERT_EQ(ids.size(), 1u) << "the USB camera should be libcamera's only camera";
  const std::string v4l2 =
      std::string(kDevice) + "\t" + reinterpret_cast<const char*>(capability(kDevice).card) + "\n";
  const Output list = run(dir_, {"--list"});
  std::printf("orvelle --list:\n%s", list.out.c_str());
  EXPECT_TRUE(exitedWith(list.status, 0));
  EXPECT_EQ(list.err, "");
  EXPECT_EQ(list.out.substr(0, v4l2.size()), v4l2);
  const std::string through = ", through libcamera\n";
  EXPECT_EQ(list.out.find(ids[0] + "\t", v4l2.size()), v4l2.size()) << ids[0];
  EXPECT_EQ(list.out.size() - through.size(), list.out.find(through));

  expectFootageFrom({kDevice, ids[0]});
}

}  // namespace
