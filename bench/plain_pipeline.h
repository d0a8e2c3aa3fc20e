#pragma once

#include <opencv2/core.hpp>

// The marking pass as first designed: copy the work frame into a scratch image, take the
// full-frame difference into it, then test every second sample of every second row. Kept as
// the baseline markChanges is measured and checked against; `scratch` is reused between calls.
inline void markPlainPipeline(const cv::Mat& reference, cv::Mat& work, cv::Mat& scratch) {
  work.copyTo(scratch);
  cv::absdiff(reference, scratch, scratch);
  for (int y = 0; y < scratch.rows; y += 2) {
    const uchar* d = scratch.ptr<uchar>(y);
    uchar* w = work.ptr<uchar>(y);
    for (int x = 0; x < scratch.cols; x += 2) {
      const uchar* s = d + 3 * x;
      if ((s[0] + s[1] + s[2]) / 3 > 16) {
        w[3 * x] = 0;
        w[3 * x + 1] = 255;
        w[3 * x + 2] = 0;
      }
    }
  }
}
