// SPDX-License-Identifier: Apache-2.0
#pragma once

// Camera 0 through OpenCV's capture, read so that the picture is the newest frame, the
// window is never kept waiting long for one, and every format is shown in its colours.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "viewer.h"

// Converts a raw frame of a format OpenCV 4.6 turns into RGB instead of BGR (NV12, NV21,
// Bayer BGGR), or a JPEG (MJPEG), to 8-bit BGR. False for other formats, for a frame shorter
// than `size`, and for a damaged JPEG.
bool rawToBgr(uint32_t fourcc, const cv::Mat& raw, cv::Size size, cv::Mat& bgr);

class Camera {
 public:
  Camera();
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // Opens the camera and asks for 640 x 480; empty, or why not.
  std::string open();

  // Starts streaming without waiting for a frame, so that the camera starts while the window
  // system does. Without it, streaming starts with the first `next`. A camera that refuses
  // to stream is told by that `next`.
  void start();

  // The newest frame, waiting up to `ms` for one.
  Grab next(cv::Mat& frame, int ms);

  // Why the camera ended, once `next` said Lost.
  std::string whyLost() const;

  void release();

 private:
  using Clock = std::chrono::steady_clock;
  cv::VideoCapture& capture() { return streams_[0]; }
  Grab first(cv::Mat& frame, int ms);
  Grab heldOrNewer(cv::Mat& frame);
  bool retrieve(cv::Mat& frame);  // the frame dequeued, raw into raw_ where so taken
  bool toBgr(cv::Mat& frame);     // converts raw_ into frame, if frames are taken raw
  bool justCaptured();
  Grab silent();

  std::vector<cv::VideoCapture> streams_{1};  // as waitAny wants it
  std::vector<int> ready_;
  bool delivered_ = false;  // a frame has come: the stream runs, waitAny may wait for it
  bool lostAtStart_ = false;
  cv::Mat held_;                  // the frame `start` took, until the first `next`
  bool refused_ = false;          // the camera failed before its first frame, and is still there
  bool undecodable_ = false;      // the last frame could not be converted
  bool undecodableOnly_ = false;  // given up on a camera whose frames could not be converted
  uint32_t rawFourcc_ = 0;        // set when frames are taken raw and converted here
  cv::Size size_;
  cv::Mat raw_;
  Clock::time_point lastFrame_;
  timer_t sliceTimer_{};
  bool hasSliceTimer_ = false;
};
