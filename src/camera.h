// SPDX-License-Identifier: Apache-2.0
#pragma once

// A camera as the frame loop sees it, whichever way the machine reaches it, and the
// conversion of the raw frames cameras send into 8-bit BGR.

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

#include "viewer.h"

class Camera {
 public:
  virtual ~Camera() = default;

  // Starts streaming without waiting for a frame, so that the camera starts while the window
  // system does. Without it, streaming starts with the first `next`. A camera that refuses
  // to stream is told by that `next`.
  virtual void start() = 0;

  // The newest frame, waiting up to `ms` for one.
  virtual Grab next(cv::Mat& frame, int ms) = 0;

  // Why the camera ended, once `next` said Lost.
  virtual std::string whyLost() const = 0;
};

// Opens camera 0 and asks it for 640 x 480; null, with `why`, where it cannot.
std::unique_ptr<Camera> openCamera(std::string& why);

// Converts a raw frame of a format OpenCV 4.6 turns into RGB instead of BGR (NV12, NV21,
// Bayer BGGR), or a JPEG (MJPEG), to 8-bit BGR. `size` is the size the camera agreed to; it
// and the frame may be anything a camera sends. False for other formats; for a `size` with no
// pixels; for an uncompressed frame larger than 8K UHD, shorter than `size`, or of an odd size
// in NV12 or NV21; and for a JPEG that is damaged, has more than one scan, or more pixels than
// 4 times `size` or 8K UHD has, which is refused before anything is allocated for it.
bool rawToBgr(uint32_t fourcc, const cv::Mat& raw, cv::Size size, cv::Mat& bgr);
