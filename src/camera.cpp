// SPDX-License-Identifier: Apache-2.0
#include "camera.h"

#include <jerror.h>
#include <jpeglib.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <csetjmp>
#include <opencv2/imgproc.hpp>

#include "v4l2_camera.h"

namespace {

// The most pixels a frame may have, whatever size its camera agreed to (a UVC camera may claim
// up to 65535 x 65535): 8K UHD, twice the sides of 4K, the largest video mode USB cameras
// offer. Such a frame is 100 MB in BGR; the few copies the viewer keeps of a frame, the
// reference among them, fit a machine of a few GB.
constexpr int64_t kMaxPixels = int64_t{7680} * 4320;
// A JPEG may have up to this many times the pixels of the size its camera agreed to, since a
// camera that ignores the request sends its next larger mode (1280 x 720 for 640 x 480 has 3
// times the pixels), but not more, whatever its header claims: decoding a frame then costs at
// most 4 agreed pictures in BGR, and libjpeg's few rows.
constexpr int64_t kJpegOverAgreed = 4;

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf bail;
};

[[noreturn]] void bail(j_common_ptr jpeg) {
  std::longjmp(reinterpret_cast<JpegError*>(jpeg->err)->bail, 1);
}

// A JPEG damaged on its way from the camera is no frame, whatever libjpeg would make of it.
// Its warnings, such as "Corrupt JPEG data", would otherwise go to stderr. Stray bytes before
// the end marker, which many webcams send in every frame, spoil nothing.
bool decodeJpeg(const uint8_t* data, size_t bytes, int64_t maxPixels, cv::Mat& bgr) {
  jpeg_decompress_struct jpeg{};
  JpegError error;
  jpeg.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = bail;
  error.manager.emit_message = [](j_common_ptr j, int level) {
    if (level < 0 && j->err->msg_code != JWRN_EXTRANEOUS_DATA) bail(j);
  };
  if (setjmp(error.bail)) {
    jpeg_destroy_decompress(&jpeg);
    return false;
  }
  jpeg_create_decompress(&jpeg);
  jpeg_mem_src(&jpeg, data, bytes);
  jpeg_read_header(&jpeg, TRUE);
  // Checked before jpeg_start_decompress allocates for the picture the header claims. Webcams
  // send JPEGs of one scan. Several (progressive ones) would need buffers of coefficients for
  // the whole picture, up to twice its BGR, and a pass over the picture for each scan, of up
  // to 2,090 from libjpeg's own encoder: 0.3 to 0.8 s a frame at 1280 x 960, 10 to 26 s at 8K.
  if (int64_t{jpeg.image_width} * jpeg.image_height > maxPixels || jpeg_has_multiple_scans(&jpeg)) {
    jpeg_destroy_decompress(&jpeg);
    return false;
  }
  jpeg.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&jpeg);
  bgr.create(static_cast<int>(jpeg.output_height), static_cast<int>(jpeg.output_width), CV_8UC3);
  while (jpeg.output_scanline < jpeg.output_height) {
    JSAMPROW row = bgr.ptr(static_cast<int>(jpeg.output_scanline));
    jpeg_read_scanlines(&jpeg, &row, 1);
  }
  jpeg_finish_decompress(&jpeg);
  jpeg_destroy_decompress(&jpeg);
  return true;
}

}  // namespace

bool rawToBgr(uint32_t fourcc, const cv::Mat& raw, cv::Size size, cv::Mat& bgr) {
  // The size is the camera's word too; cv::cvtColor throws at one it cannot convert at.
  if (size.width <= 0 || size.height <= 0) return false;
  const int64_t pixels = int64_t{size.width} * size.height;
  const size_t bytes = raw.isContinuous() ? raw.total() * raw.elemSize() : 0;
  if (fourcc == V4L2_PIX_FMT_MJPEG) {
    const int64_t most = std::min(kMaxPixels, kJpegOverAgreed * std::min(pixels, kMaxPixels));
    return bytes > 0 && decodeJpeg(raw.data, bytes, most, bgr);
  }
  if (pixels > kMaxPixels) return false;
  switch (fourcc) {
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
      // A chroma sample for every 2 x 2 pixels.
      if (size.width % 2 != 0 || size.height % 2 != 0 || bytes < size_t(pixels) * 3 / 2)
        return false;
      cv::cvtColor(cv::Mat(size.height * 3 / 2, size.width, CV_8UC1, raw.data), bgr,
                   fourcc == V4L2_PIX_FMT_NV12 ? cv::COLOR_YUV2BGR_NV12 : cv::COLOR_YUV2BGR_NV21);
      return true;
    case V4L2_PIX_FMT_SBGGR8:
      if (bytes < size_t(pixels)) return false;
      // OpenCV names a Bayer pattern after its second row: V4L2's BGGR is its RG.
      cv::cvtColor(cv::Mat(size, CV_8UC1, raw.data), bgr, cv::COLOR_BayerRG2BGR);
      return true;
    default:
      return false;
  }
}

std::unique_ptr<Camera> openCamera(std::string& why) {
  auto camera = std::make_unique<V4l2Camera>();
  why = camera->open();
  if (!why.empty()) return nullptr;
  return camera;
}
