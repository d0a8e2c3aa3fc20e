// SPDX-License-Identifier: Apache-2.0
#pragma once

// Camera 0 through OpenCV's V4L2 capture, read so that the picture is the newest frame, the
// window is never kept waiting long for one, and every format is shown in its colours.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "camera.h"

class V4l2Camera : public Camera {
 public:
  V4l2Camera();
  ~V4l2Camera() override;
  V4l2Camera(const V4l2Camera&) = delete;
  V4l2Camera& operator=(const V4l2Camera&) = delete;

  // Opens the camera and asks for 640 x 480; empty, or why not.
  std::string open();

  void start() override;
  Grab next(cv::Mat& frame, int ms) override;
  std::string whyLost() const override;

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
