// SPDX-License-Identifier: Apache-2.0
#pragma once

// A V4L2 camera through OpenCV's capture, read so that the picture is the newest frame, the
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

  // Opens `device` and asks for 640 x 480; empty, or why not (`absentLine` where there is no
  // such device).
  std::string open(const std::string& device, const std::string& absentLine);

  // Starts streaming without waiting for a frame. Without it, streaming starts with the first
  // `next`. A camera that refuses to stream is told by that `next`.
  void start();
  // The camera refused to start streaming, and is still there.
  bool refused() const { return lostAtStart_ && refused_; }

  Grab next(cv::Mat& frame, int ms) override;
  std::string whyLost() const override;

 private:
  using Clock = std::chrono::steady_clock;
  std::string cannotCapture() const;
  std::string whyNoCamera(const std::string& absentLine) const;
  cv::VideoCapture& capture() { return streams_[0]; }
  Grab first(cv::Mat& frame, int ms);
  Grab heldOrNewer(cv::Mat& frame);
  bool retrieve(cv::Mat& frame);  // the frame dequeued, raw into raw_ where so taken
  bool toBgr(cv::Mat& frame);     // converts raw_ into frame, if frames are taken raw
  bool justCaptured();

  std::vector<cv::VideoCapture> streams_{1};  // as waitAny wants it
  std::vector<int> ready_;
  bool delivered_ = false;  // a frame has come: the stream runs, waitAny may wait for it
  bool lostAtStart_ = false;
  cv::Mat held_;            // the frame `start` took, until the first `next`
  bool refused_ = false;    // the camera failed before its first frame, and is still there
  uint32_t rawFourcc_ = 0;  // set when frames are taken raw and converted here
  std::string device_;
  cv::Size size_;
  cv::Mat raw_;
  Silence silence_;
  timer_t sliceTimer_{};
  bool hasSliceTimer_ = false;
};

// Opens and starts `device`; null, with `why`, where it cannot.
std::unique_ptr<V4l2Camera> openV4l2(const std::string& device, const std::string& absentLine,
                                     std::string& why);

// Whether `device` is a node of a camera with a media graph, whose frames are not the picture
// until the graph is set up (the raw node of a Raspberry Pi camera module, a MIPI laptop
// camera, vimc). Such cameras are reached through libcamera.
bool isMediaGraphNode(const std::string& device);

// The V4L2 cameras as `orvelle --list` prints them: device, a tab, the driver's name for it.
std::vector<std::string> listV4l2Cameras();
