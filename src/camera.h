// SPDX-License-Identifier: Apache-2.0
#pragma once

// A camera as the frame loop sees it, whichever way the machine reaches it, and the
// conversion of the raw frames cameras send into 8-bit BGR.

#include <chrono>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "viewer.h"

// An open camera, streaming: it starts while the window system does, and its first frame is
// usually waiting when the window appears.
class Camera {
 public:
  virtual ~Camera() = default;

  // The newest frame, waiting up to `ms` for one.
  virtual Grab next(cv::Mat& frame, int ms) = 0;

  // Why the camera ended, once `next` said Lost.
  virtual std::string whyLost() const = 0;
};

// Opens the camera `name` names (an index, a device path or a libcamera camera ID) and asks
// it for 640 x 480. With no name, camera 0; or libcamera's first camera where camera 0 cannot
// be captured. Null, with `why`, where it cannot.
std::unique_ptr<Camera> openCamera(const std::string& name, std::string& why);

// The machine's cameras, a line each: the name to give openCamera, a tab, what it is.
std::vector<std::string> listCameras();

// What every camera keeps to: one that has shown nothing for a little over 5 s is given up
// (a little over, so that a camera with a frame every 5 s is not), and told apart as
// undecodable where it was still sending frames that could not be shown.
class Silence {
 public:
  // Starts the count, unless it runs already.
  void begin();
  // Stops it: the next `begin` starts it afresh.
  void reset() { last_ = {}; }
  // A frame came; `shown` says whether it could be shown.
  void frame(bool shown);
  // Nothing to show: None while the camera is still waited for, Lost once it is given up.
  Grab nothing();
  // Why a camera that `nothing` gave up ended.
  std::string why() const;

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_;
  bool undecodable_ = false;  // the last frame could not be shown
  bool gaveUpUndecodable_ = false;
};

// Converts a raw frame of a format OpenCV 4.6 turns into RGB instead of BGR (NV12, NV21,
// Bayer BGGR), or a JPEG (MJPEG), to 8-bit BGR. `size` is the size the camera agreed to; it
// and the frame may be anything a camera sends. False for other formats; for a `size` with no
// pixels; for an uncompressed frame larger than 8K UHD, shorter than `size`, or of an odd size
// in NV12 or NV21; and for a JPEG that is damaged, has more than one scan, or more pixels than
// 4 times `size` or 8K UHD has, which is refused before anything is allocated for it.
bool rawToBgr(uint32_t fourcc, const cv::Mat& raw, cv::Size size, cv::Mat& bgr);

// Converts a frame as libcamera hands it over to 8-bit BGR: `drmFourcc` names its format as
// libcamera does (DRM's codes: RG24, BG24, XR24, AR24, XB24, AB24, YUYV, UYVY, YVYU, NV12,
// NV21, YU12, YV12, MJPG), `planes` are its planes' bytes (one row each; the chroma may also
// follow the luma in the first plane) and `stride` the bytes from one row of the first plane
// to the next. False for other formats, for a `size` with no pixels or more than 8K UHD has,
// and for planes too short for it.
bool planesToBgr(uint32_t drmFourcc, cv::Size size, size_t stride,
                 const std::vector<cv::Mat>& planes, cv::Mat& bgr);
