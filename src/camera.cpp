// SPDX-License-Identifier: Apache-2.0
#include "camera.h"

#include <jerror.h>
#include <jpeglib.h>
#include <linux/videodev2.h>

#include <csetjmp>
#include <opencv2/imgproc.hpp>

#include "v4l2_camera.h"

namespace {

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
bool decodeJpeg(const cv::Mat& raw, cv::Mat& bgr) {
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
  jpeg_mem_src(&jpeg, raw.data, raw.total());
  jpeg_read_header(&jpeg, TRUE);
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
  const size_t pixels = static_cast<size_t>(size.area());
  const size_t bytes = raw.isContinuous() ? raw.total() * raw.elemSize() : 0;
  switch (fourcc) {
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
      if (bytes < pixels * 3 / 2) return false;
      cv::cvtColor(cv::Mat(size.height * 3 / 2, size.width, CV_8UC1, raw.data), bgr,
                   fourcc == V4L2_PIX_FMT_NV12 ? cv::COLOR_YUV2BGR_NV12 : cv::COLOR_YUV2BGR_NV21);
      return true;
    case V4L2_PIX_FMT_SBGGR8:
      if (bytes < pixels) return false;
      // OpenCV names a Bayer pattern after its second row: V4L2's BGGR is its RG.
      cv::cvtColor(cv::Mat(size, CV_8UC1, raw.data), bgr, cv::COLOR_BayerRG2BGR);
      return true;
    case V4L2_PIX_FMT_MJPEG:
      return raw.isContinuous() && decodeJpeg(raw, bgr);
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
