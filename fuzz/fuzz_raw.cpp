// Feeds rawToBgr what a camera may send: any bytes of any length, as MJPEG, NV12, NV21 or
// Bayer BGGR, at any size the camera claims to have agreed to. The input is a format byte,
// the agreed width and height (each 32-bit, little-endian), then the frame.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 9;
  if (size < kHead) return 0;
  static const uint32_t formats[] = {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_NV21,
                                     V4L2_PIX_FMT_SBGGR8};
  const uint32_t fourcc = formats[data[0] % 4];
  const cv::Size agreed(le32(data + 1), le32(data + 5));
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
