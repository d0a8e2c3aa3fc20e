#include "change_marker.h"

#include <cstdlib>

cv::Mat& markChanges(const cv::Mat& referenceFrame, cv::Mat& workFrame) {
  if (referenceFrame.type() != CV_8UC3 || workFrame.type() != CV_8UC3 ||
      referenceFrame.size() != workFrame.size())
    return workFrame;

  for (int y = 0; y < workFrame.rows; y += 2) {
    const uchar* ref = referenceFrame.ptr<uchar>(y);
    uchar* work = workFrame.ptr<uchar>(y);
    for (int x = 0; x < workFrame.cols; x += 2) {
      const uchar* r = ref + 3 * x;
      uchar* w = work + 3 * x;
      // Mean above 16 is the same as a sum of 51 or more.
      int sum = std::abs(r[0] - w[0]) + std::abs(r[1] - w[1]) + std::abs(r[2] - w[2]);
      if (sum >= 51) {
        w[0] = 0;
        w[1] = 255;
        w[2] = 0;
      }
    }
  }
  return workFrame;
}
