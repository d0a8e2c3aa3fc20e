// Feeds rawToBgr what a camera may send: any bytes of any length, as MJPEG, NV12, NV21 or
// Bayer BGGR, at any size the camera claims to have agreed to; and planesToBgr what libcamera
// may hand over, in any of its formats, rows and planes. The input is a format byte, the
// agreed width and height (each 32-bit, little-endian), for libcamera's formats the stride
// (32-bit) and a byte for the number of planes, then the frame.
#include <linux/videodev2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>

#include "camera.h"

namespace {

int32_t le32(const uint8_t* p) {
  return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

// libcamera's frames: any stride, the bytes in one to three planes, each a buffer of its own.
void planes(const uint8_t* data, size_t size, const cv::Size& agreed) {
  static const char* const formats[] = {"RG24", "BG24", "XR24", "AR24", "XB24", "AB24", "YUYV",
                                        "UYVY", "YVYU", "NV12", "NV21", "YU12", "YV12", "MJPG"};
  constexpr size_t kHead = 14;
  if (size < kHead) return;
  const char* format = formats[(data[0] - 4) % 14];
  const uint32_t code = static_cast<uint32_t>(format[0]) | format[1] << 8 | format[2] << 16 |
                        static_cast<uint32_t>(format[3]) << 24;
  const size_t stride = static_cast<uint32_t>(le32(data + 9)), bytes = size - kHead;
  const int count = 1 + data[13] % 3;
  // As cameras hand them over: the first plane's rows, then the rest shared by the others.
  const size_t first = count == 1 ? bytes : std::min(bytes, stride * std::max(agreed.height, 0));
  std::vector<size_t> ends{first};
  for (int i = 1; i < count; ++i) ends.push_back(first + (bytes - first) * i / (count - 1));
  std::vector<cv::Mat> planes;
  size_t from = 0;
  for (const size_t to : ends) {
    cv::Mat plane(1, static_cast<int>(to - from), CV_8UC1);
    if (to > from) std::memcpy(plane.data, data + kHead + from, to - from);
    planes.push_back(plane);
    from = to;
  }
  cv::Mat bgr;
  if (!planesToBgr(code, agreed, stride, planes, bgr)) return;
  check(!bgr.empty() && bgr.type() == CV_8UC3, "a frame is 8-bit BGR");
  if (std::strcmp(format, "MJPG") != 0) check(bgr.size() == agreed, "a frame at the agreed size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 9;
  if (size < kHead) return 0;
  const cv::Size agreed(le32(data + 1), le32(data + 5));
  if (data[0] >= 4) {
    planes(data, size, agreed);
    return 0;
  }
  static const uint32_t formats[] = {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_NV21,
                                     V4L2_PIX_FMT_SBGGR8};
  const uint32_t fourcc = formats[data[0]];
  // The frame in a buffer of its own length, as OpenCV hands it over, so that ASan sees a
  // read past its end.
  const int length = static_cast<int>(size - kHead);
  cv::Mat raw(1, length, CV_8UC1);
  if (length > 0) std::memcpy(raw.data, data + kHead, static_cast<size_t>(length));
  cv::Mat bgr;
  if (!rawToBgr(fourcc, raw, agreed, bgr)) return 0;
  check(!bgr.empty() && bgr.type() == CV_8UC3, "a frame is 8-bit BGR");
  const int64_t agreedPixels = int64_t{agreed.width} * agreed.height;
  check(agreed.width > 0 && agreed.height > 0, "a frame at an agreed size that is none");
  if (fourcc != V4L2_PIX_FMT_MJPEG) {
    check(bgr.size() == agreed, "an uncompressed frame at the agreed size");
  } else {
    // The bound camera.cpp promises: 4 times the agreed pixels, 8K UHD at most.
    const int64_t most = 7680 * 4320, pixels = int64_t{bgr.cols} * bgr.rows;
    check(pixels <= most && pixels <= 4 * std::min(agreedPixels, most), "a JPEG beyond the bound");
  }
  return 0;
}
