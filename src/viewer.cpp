// SPDX-License-Identifier: Apache-2.0
#include "viewer.h"

#include <cstdio>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "camera.h"
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

// The first pass pays for starting OpenCV's worker threads and for touching the viewer's
// buffers, about 15 ms. Paid here on a black picture, before the window shows, it no longer
// holds back the window's first picture.
void warmUp(Viewer& viewer) {
  cv::parallel_for_(cv::Range(0, cv::getNumThreads()), [](const cv::Range&) {});
  preparePicture(viewer, cv::Mat::zeros(kPictureSize, CV_8UC3));
  viewer.frame.release();  // not a frame `s` may take
}

int fail(const std::string& message) {
  std::fprintf(stderr, "orvelle: %s\n", message.c_str());
  return 1;
}

const char* const kUsage = "usage: orvelle [CAMERA | --list | --help | --version]";
const char* const kHelp =
    "Shows a camera's live picture in a 640 x 480 window. Keys: s takes a snapshot and marks in\n"
    "green what differs from it (again: stops), m hides or shows the menu, q or Esc quits.\n"
    "\n"
    "CAMERA is an index (2 for /dev/video2), a device path, or a libcamera camera ID, as\n"
    "--list prints them. Without it: camera 0, or libcamera's first camera where camera 0\n"
    "cannot be captured.\n"
    "\n"
    "  --list     print the cameras, one a line: CAMERA, a tab, what it is\n"
    "  --help     print this help\n"
    "  --version  print the version";

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
  bool shown = false;
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
    // The first picture is shown without waiting: no key can have come for it to wait for.
    if (!handleKeys(viewer, io, shown ? kKeyWaitMs : 0)) return LoopEnd::Quit;
    io.show(viewer.displayImage);
    shown = true;
  }
}

int runViewer(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  const std::string arg = argc > 1 ? argv[1] : "";
  if (argc > 2 ||
      (arg.rfind("-", 0) == 0 && arg != "--help" && arg != "--version" && arg != "--list")) {
    std::fprintf(stderr, "%s\n", kUsage);
    return 2;
  }
  if (arg == "--help") return std::printf("%s\n\n%s\n", kUsage, kHelp) < 0;
  if (arg == "--version") return std::printf("orvelle %s\n", ORVELLE_VERSION) < 0;
  if (arg == "--list") {
    for (const std::string& line : listCameras()) std::printf("%s\n", line.c_str());
    return 0;
  }
  initOverlayFont();

  // The window comes as soon as the camera is open; a slow camera's first frame may take
  // seconds, and the window answers its keys meanwhile. The camera starts streaming first,
  // so that it starts while the window system does.
  std::string why;
  std::unique_ptr<Camera> camera = openCamera(arg, why);
  if (!camera) return fail(why);
  Viewer viewer;
  warmUp(viewer);
  why = openDesktop(kWindow, kPictureSize.width, kPictureSize.height);
  if (!why.empty()) return fail(why);

  cv::namedWindow(kWindow, cv::WINDOW_NORMAL | cv::WINDOW_GUI_NORMAL);
  cv::resizeWindow(kWindow, kPictureSize.width, kPictureSize.height);
  watchWindows();

  const auto show = [](const cv::Mat& image) {
    cv::imshow(kWindow, image);
    paintNow();
  };
  // Black until the first frame, rather than whatever the toolkit paints into an empty window;
  // but the camera started early usually has a frame waiting by now, and that comes first.
  bool blank = true;
  const ViewerIo io{
      [&](cv::Mat& frame, int ms) {
        const Grab grab = camera->next(frame, blank ? 1 : ms);
        if (blank && grab == Grab::None) show(cv::Mat::zeros(kPictureSize, CV_8UC3));
        blank = false;
        return grab;
      },
      nextKey,
      [] { return !windowDestroyed() && cv::getWindowProperty(kWindow, cv::WND_PROP_VISIBLE) > 0; },
      show,
  };
  const LoopEnd end = runLoop(viewer, io);

  why = end == LoopEnd::Quit ? "" : camera->whyLost();
  // The window goes at once; letting the camera go may take it a frame's time (a second, for
  // vimc under emulation), which the user need not watch.
  cv::destroyWindow(kWindow);
  camera.reset();
  freeOverlayFont();
  return why.empty() ? 0 : fail(why);
}
