#include "viewer.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "change_marker.h"
#include "desktop.h"
#include "overlay.h"

bool menuVisible = true;
bool detecting = false;

namespace {

const char* const kWindow = "Orvelle";
const cv::Size kPictureSize(640, 480);
constexpr int kKeyWaitMs = 10;
constexpr int kEsc = 27;
// While no frame comes, the loop looks at the window this often, and for this long.
constexpr int kFrameSliceMs = 50;
constexpr int kIdleKeyWaitMs = 1;
// A camera silent this long is taken for gone.
constexpr auto kCameraSilence = std::chrono::seconds(5);
const char* const kCameraDevice = "/dev/video0";
const char* const kCameraLost = "the camera stopped delivering frames";

// Scale and offset that bring each depth's range to 0-255.
void depthTo8U(int depth, double& scale, double& offset) {
  switch (depth) {
    case CV_8S:
      scale = 1, offset = 128;
      break;
    case CV_16U:
      scale = 1.0 / 256, offset = 0;
      break;
    case CV_16S:
      scale = 1.0 / 256, offset = 128;
      break;
    case CV_32S:
      scale = 1.0 / (1 << 24), offset = 128;
      break;
    case CV_16F:
    case CV_32F:
    case CV_64F:
      scale = 255, offset = 0;
      break;
    default:
      scale = 1, offset = 0;
      break;
  }
}

// Everything after the grab reads three bytes a pixel, so grey, BGRA and deeper frames are
// brought to 8-bit BGR first. Frames that are already so are used as they are.
const cv::Mat& asBgr8(const cv::Mat& grabbed, cv::Mat& converted) {
  if (grabbed.type() == CV_8UC3) return grabbed;
  cv::Mat eight = grabbed;
  if (grabbed.depth() != CV_8U) {
    double scale, offset;
    depthTo8U(grabbed.depth(), scale, offset);
    grabbed.convertTo(converted, CV_8U, scale, offset);
    eight = converted;
  }
  switch (eight.channels()) {
    case 1:
      cv::cvtColor(eight, converted, cv::COLOR_GRAY2BGR);
      break;
    case 3:  // only deeper frames get here, and their conversion is done
      break;
    case 4:
      cv::cvtColor(eight, converted, cv::COLOR_BGRA2BGR);
      break;
    default: {
      cv::Mat first;
      cv::extractChannel(eight, first, 0);
      cv::cvtColor(first, converted, cv::COLOR_GRAY2BGR);
    }
  }
  return converted;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "orvelle: %s\n", message.c_str());
  return 1;
}

// OpenCV says only that the camera did not open; the device itself tells why.
std::string whyNoCamera() {
  const std::string device = kCameraDevice;
  const std::string inUse = "the camera " + device + " is in use by another program";
  const int fd = ::open(kCameraDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT || error == ENODEV || error == ENXIO) return "no camera at index 0";
    if (error == EACCES || error == EPERM) return "no permission to open the camera " + device;
    if (error == EBUSY) return inUse;
    return "cannot open the camera " + device + ": " + std::strerror(error);
  }
  // Asking for no buffers changes nothing, but a driver refuses it while another program
  // streams from the camera.
  v4l2_requestbuffers request{};
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  const bool busy = ioctl(fd, VIDIOC_REQBUFS, &request) < 0 && errno == EBUSY;
  ::close(fd);
  return busy ? inUse : "cannot capture from the camera " + device;
}

// Camera 0, read so that the picture is the newest frame and the window is never kept
// waiting long for one.
class Camera {
 public:
  // Opens the camera, asks for 640 x 480 and waits for its first frame; empty, or why not.
  std::string open() {
    // V4L2 first: for an index OpenCV would try GStreamer before it, and the camera would then
    // behave as the installed GStreamer plugins decide.
    if (!capture().open(0, cv::CAP_V4L2)) capture().open(0, cv::CAP_ANY);
    if (!capture().isOpened()) return whyNoCamera();
    capture().set(cv::CAP_PROP_FRAME_WIDTH, 640.0);
    capture().set(cv::CAP_PROP_FRAME_HEIGHT, 480.0);
    // Only V4L2 captures can be waited for with a time-out.
    pollable_ = capture().getBackendName() == "V4L2";
    if (!capture().read(first_) || first_.empty()) return kCameraLost;
    lastFrame_ = Clock::now();
    return {};
  }

  Grab next(cv::Mat& frame, int ms) {
    if (!first_.empty()) {
      frame = first_;
      first_.release();
      return Grab::Frame;
    }
    if (!pollable_) return capture().read(frame) ? Grab::Frame : Grab::Lost;
    try {
      // waitAny dequeues the oldest frame waiting; newer ones may wait behind it. Looking for
      // them takes a poll of at least 1 ms (a time-out of 0 waits forever), so look only
      // behind a frame old enough to have any.
      if (!cv::VideoCapture::waitAny(streams_, ready_, ms * 1000000LL))
        return Clock::now() - lastFrame_ < kCameraSilence ? Grab::None : Grab::Lost;
      for (;;) {
        const bool newest = justCaptured();
        if (!capture().retrieve(frame)) return Grab::Lost;
        if (newest || !cv::VideoCapture::waitAny(streams_, ready_, 1)) break;
      }
    } catch (const cv::Exception&) {
      return Grab::Lost;  // the driver reports an error, as for an unplugged camera
    }
    lastFrame_ = Clock::now();
    return Grab::Frame;
  }

  void release() { capture().release(); }

 private:
  // Whether the frame just dequeued was captured so recently that no frame can follow it yet,
  // for cameras up to 250 frames a second. Drivers stamp frames with CLOCK_MONOTONIC.
  bool justCaptured() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double ageMs =
        now.tv_sec * 1e3 + now.tv_nsec / 1e6 - capture().get(cv::CAP_PROP_POS_MSEC);
    return ageMs >= 0 && ageMs < 4;
  }

  using Clock = std::chrono::steady_clock;
  cv::VideoCapture& capture() { return streams_[0]; }

  std::vector<cv::VideoCapture> streams_{1};  // as waitAny wants it
  std::vector<int> ready_;
  bool pollable_ = false;
  cv::Mat first_;
  Clock::time_point lastFrame_;
};

bool handleKeys(Viewer& viewer, const ViewerIo& io, int ms) {
  for (int key = io.waitKey(ms); key != -1; key = io.waitKey(0))
    if (!handleKey(viewer, key)) return false;
  // Closing the window only hides it; take that as a quit rather than show it again.
  return io.windowOpen();
}

}  // namespace

void preparePicture(Viewer& viewer, const cv::Mat& grabbed) {
  viewer.frame = asBgr8(grabbed, viewer.converted);
  // A camera that changes its frame size cannot be compared with the old reference:
  // stop marking, so that `s` takes a fresh one.
  if (detecting && viewer.referenceFrame.size() != viewer.frame.size()) {
    viewer.referenceFrame.release();
    detecting = false;
  }
  viewer.frame.copyTo(viewer.workFrame);
  if (detecting) markChanges(viewer.referenceFrame, viewer.workFrame);
  if (viewer.displayImage.empty()) viewer.displayImage.create(kPictureSize, CV_8UC3);
  viewer.scaler.scale(viewer.workFrame, viewer.displayImage, kPictureSize);
  drawOverlay(viewer.displayImage);
}

bool handleKey(Viewer& viewer, int key) {
  if (key == kEsc || key == 'q') return false;
  if (key == 'm') {
    menuVisible = !menuVisible;
  } else if (key == 's' && !viewer.frame.empty()) {  // before the first frame: nothing to take
    if (detecting)
      viewer.referenceFrame.release();
    else
      viewer.referenceFrame = viewer.frame.clone();
    detecting = !detecting;
  }
  return true;
}

LoopEnd runLoop(Viewer& viewer, const ViewerIo& io) {
  cv::Mat grabbed;
  for (;;) {
    // Keys typed while the camera is slow act at once; `m` and `s` show in the next picture.
    for (;;) {
      const Grab grab = io.grab(grabbed, kFrameSliceMs);
      if (grab == Grab::Lost || (grab == Grab::Frame && grabbed.empty()))
        return LoopEnd::CameraLost;
      if (grab == Grab::Frame) break;
      if (!handleKeys(viewer, io, kIdleKeyWaitMs)) return LoopEnd::Quit;
    }
    preparePicture(viewer, grabbed);
    if (!handleKeys(viewer, io, kKeyWaitMs)) return LoopEnd::Quit;
    io.show(viewer.displayImage);
  }
}

int runViewer() {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  initOverlayFont();

  Camera camera;
  if (const std::string why = camera.open(); !why.empty()) return fail(why);
  if (const std::string why = openDesktop(kWindow, kPictureSize.width, kPictureSize.height);
      !why.empty())
    return fail(why);

  cv::namedWindow(kWindow, cv::WINDOW_NORMAL | cv::WINDOW_GUI_NORMAL);
  cv::resizeWindow(kWindow, kPictureSize.width, kPictureSize.height);
  watchWindows();

  Viewer viewer;
  const ViewerIo io{
      [&](cv::Mat& frame, int ms) { return camera.next(frame, ms); },
      nextKey,
      [] { return !windowDestroyed() && cv::getWindowProperty(kWindow, cv::WND_PROP_VISIBLE) > 0; },
      [](const cv::Mat& image) {
        cv::imshow(kWindow, image);
        paintNow();
      },
  };
  const LoopEnd end = runLoop(viewer, io);

  camera.release();
  cv::destroyWindow(kWindow);
  freeOverlayFont();
  return end == LoopEnd::Quit ? 0 : fail(kCameraLost);
}
