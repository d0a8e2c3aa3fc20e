// Runs the viewer's loop for many passes on camera 0 and a real window, with the keys
// scripted: marking toggled every 100 passes, the menu every 37. Prints resident memory
// after the warm-up and at the end; with --check-growth it fails if that grew by 1 MiB or
// more. Usage: orvelle_soak [PASSES] [--check-growth]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "overlay.h"
#include "viewer.h"

namespace {

long residentKiB() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  const int passes = argc > 1 ? std::atoi(argv[1]) : 20000;
  const bool checkGrowth = argc > 2 && std::string(argv[2]) == "--check-growth";
  const int warmUp = std::min(1000, passes / 2);
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  initOverlayFont();
  cv::VideoCapture capture(0, cv::CAP_V4L2);
  if (!capture.isOpened()) {
    std::fprintf(stderr, "soak: no camera at index 0\n");
    return 1;
  }
  capture.set(cv::CAP_PROP_FRAME_WIDTH, 640.0);
  capture.set(cv::CAP_PROP_FRAME_HEIGHT, 480.0);
  cv::namedWindow("Orvelle", cv::WINDOW_NORMAL | cv::WINDOW_GUI_NORMAL);
  cv::resizeWindow("Orvelle", 640, 480);

  int pass = 0;
  long afterWarmUp = 0;
  Viewer viewer;
  const ViewerIo io{
      [&](cv::Mat& frame, int) {
        if (pass == warmUp) afterWarmUp = residentKiB();
        return ++pass <= passes && capture.read(frame) ? Grab::Frame : Grab::Lost;
      },
      [&](int delay) {
        if (delay == 0) return -1;
        cv::waitKeyEx(delay);
        return pass % 100 == 0 ? 's' : pass % 37 == 0 ? 'm' : -1;
      },
      [] { return true; },
      [](const cv::Mat& image) { cv::imshow("Orvelle", image); },
  };
  runLoop(viewer, io);
  const long atEnd = residentKiB();

  capture.release();
  cv::destroyWindow("Orvelle");
  freeOverlayFont();
  const int done = std::min(pass, passes);
  std::printf("passes: %d, resident after %d: %ld KiB, at the end: %ld KiB, growth: %ld KiB\n",
              done, warmUp, afterWarmUp, atEnd, atEnd - afterWarmUp);
  if (done < passes) std::fprintf(stderr, "soak: the camera stopped after %d passes\n", done);
  return done == passes && (!checkGrowth || atEnd - afterWarmUp < 1024) ? 0 : 1;
}
