// The least a camera viewer can do: grab, show, wait 10 ms for a key. The CPU it uses is
// what the viewer's own work is measured against (bench/cpu_use).
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>

int main() {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  cv::VideoCapture capture(0, cv::CAP_V4L2);
  if (!capture.isOpened()) return 1;
  capture.set(cv::CAP_PROP_FRAME_WIDTH, 640.0);
  capture.set(cv::CAP_PROP_FRAME_HEIGHT, 480.0);
  cv::namedWindow("bare", cv::WINDOW_NORMAL | cv::WINDOW_GUI_NORMAL);
  cv::resizeWindow("bare", 640, 480);
  cv::Mat frame;
  while (capture.read(frame)) {
    cv::imshow("bare", frame);
    if (cv::waitKeyEx(10) == 'q') break;
  }
  return 0;
}
