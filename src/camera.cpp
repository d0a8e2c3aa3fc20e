// SPDX-License-Identifier: Apache-2.0
#include "camera.h"

#include <jerror.h>
#include <jpeglib.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <opencv2/imgproc.hpp>

#include "libcamera_camera.h"
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

constexpr uint32_t drm(const char (&code)[5]) {
  return static_cast<uint32_t>(code[0]) | static_cast<uint32_t>(code[1]) << 8 |
         static_cast<uint32_t>(code[2]) << 16 | static_cast<uint32_t>(code[3]) << 24;
}

// `rows` rows of `cols` elements of `type` from `offset` into `bytes`, `stride` apart; empty
// where `bytes` is too short for them.
cv::Mat rowsOf(const cv::Mat& bytes, size_t offset, int rows, int cols, int type, size_t stride) {
  const size_t row = static_cast<size_t>(cols) * CV_ELEM_SIZE(type);
  if (rows <= 0 || cols <= 0 || stride < row || !bytes.isContinuous() ||
      bytes.total() * bytes.elemSize() < offset + stride * (rows - 1) + row)
    return {};
  return cv::Mat(rows, cols, type, bytes.data + offset, stride);
}

}  // namespace

bool planesToBgr(uint32_t drmFourcc, cv::Size size, size_t stride,
                 const std::vector<cv::Mat>& planes, cv::Mat& bgr) {
  const int w = size.width, h = size.height;
  if (planes.empty() || w <= 0 || h <= 0 || int64_t{w} * h > kMaxPixels) return false;
  const cv::Mat& first = planes[0];
  // The chroma planes of a frame in several: their own, or after the luma in the first.
  const auto plane = [&](size_t i, size_t offset, int rows, int cols, int type, size_t step) {
    return planes.size() > i ? rowsOf(planes[i], 0, rows, cols, type, step)
                             : rowsOf(first, offset, rows, cols, type, step);
  };
  const auto convert = [&](const cv::Mat& from, int code) {
    if (from.empty()) return false;
    cv::cvtColor(from, bgr, code);
    return true;
  };
  switch (drmFourcc) {
    case drm("RG24"): {  // B G R in memory: the picture as it is
      const cv::Mat rows = rowsOf(first, 0, h, w, CV_8UC3, stride);
      rows.copyTo(bgr);
      return !rows.empty();
    }
    case drm("BG24"):
      return convert(rowsOf(first, 0, h, w, CV_8UC3, stride), cv::COLOR_RGB2BGR);
    case drm("XR24"):
    case drm("AR24"):
      return convert(rowsOf(first, 0, h, w, CV_8UC4, stride), cv::COLOR_BGRA2BGR);
    case drm("XB24"):
    case drm("AB24"):
      return convert(rowsOf(first, 0, h, w, CV_8UC4, stride), cv::COLOR_RGBA2BGR);
    case drm("YUYV"):
      return w % 2 == 0 && convert(rowsOf(first, 0, h, w, CV_8UC2, stride), cv::COLOR_YUV2BGR_YUYV);
    case drm("UYVY"):
      return w % 2 == 0 && convert(rowsOf(first, 0, h, w, CV_8UC2, stride), cv::COLOR_YUV2BGR_UYVY);
    case drm("YVYU"):
      return w % 2 == 0 && convert(rowsOf(first, 0, h, w, CV_8UC2, stride), cv::COLOR_YUV2BGR_YVYU);
    case drm("NV12"):
    case drm("NV21"): {
      if (w % 2 || h % 2) return false;
      const cv::Mat luma = rowsOf(first, 0, h, w, CV_8UC1, stride);
      const cv::Mat chroma = plane(1, stride * h, h / 2, w / 2, CV_8UC2, stride);
      if (luma.empty() || chroma.empty()) return false;
      cv::cvtColorTwoPlane(
          luma, chroma, bgr,
          drmFourcc == drm("NV12") ? cv::COLOR_YUV2BGR_NV12 : cv::COLOR_YUV2BGR_NV21);
      return true;
    }
    case drm("YU12"):
    case drm("YV12"): {
      if (w % 2 || h % 2) return false;
      const size_t half = stride / 2, quarter = half * (h / 2);
      const cv::Mat luma = rowsOf(first, 0, h, w, CV_8UC1, stride);
      const cv::Mat u = plane(1, stride * h, h / 2, w / 2, CV_8UC1, half);
      const cv::Mat v = plane(2, stride * h + quarter, h / 2, w / 2, CV_8UC1, half);
      if (luma.empty() || u.empty() || v.empty()) return false;
      // OpenCV converts planar YUV from one unpadded buffer only.
      cv::Mat packed(h * 3 / 2, w, CV_8UC1);
      luma.copyTo(packed.rowRange(0, h));
      u.copyTo(cv::Mat(h / 2, w / 2, CV_8UC1, packed.ptr(h)));
      v.copyTo(cv::Mat(h / 2, w / 2, CV_8UC1, packed.ptr(h) + w * h / 4));
      cv::cvtColor(packed, bgr,
                   drmFourcc == drm("YU12") ? cv::COLOR_YUV2BGR_I420 : cv::COLOR_YUV2BGR_YV12);
      return true;
    }
    case drm("MJPG"):
      return rawToBgr(V4L2_PIX_FMT_MJPEG, first, size, bgr);
    default:
      return false;
  }
}

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

void Silence::begin() {
  if (last_ == Clock::time_point()) last_ = Clock::now();
}

void Silence::frame(bool shown) {
  undecodable_ = !shown;
  if (shown) last_ = Clock::now();
}

Grab Silence::nothing() {
  if (Clock::now() - last_ < std::chrono::milliseconds(5250)) return Grab::None;
  gaveUpUndecodable_ = undecodable_;
  return Grab::Lost;
}

std::string Silence::why() const {
  return gaveUpUndecodable_ ? "the camera's frames cannot be decoded"
                            : "the camera stopped delivering frames";
}

std::unique_ptr<Camera> openCamera(const std::string& name, std::string& why) {
  if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
    return openV4l2("/dev/video" + name, "no camera at index " + name, why);
  if (name.rfind("/dev/", 0) == 0) return openV4l2(name, "no camera at " + name, why);
  if (!name.empty()) {
    std::unique_ptr<Camera> camera = openLibcamera(name, why);
    if (!camera && why.empty()) why = "no camera called " + name;
    return camera;
  }
  // Camera 0 through V4L2, unless V4L2 capture cannot show it as it is: missing, a node of a
  // camera with a media graph (whose raw frames are not the picture), or refusing to stream.
  // There libcamera's first camera is shown, if it has one.
  const std::string device = "/dev/video0", absent = "no camera at index 0";
  why.clear();
  if (access(device.c_str(), F_OK) == 0 && !isMediaGraphNode(device)) {
    std::unique_ptr<V4l2Camera> camera = openV4l2(device, absent, why);
    if (camera && !camera->refused()) return camera;
    if (camera) why = "cannot capture from the camera " + device;
    if (why.rfind("cannot capture", 0) != 0) return nullptr;  // in use, forbidden, ...
  }  // a camera that refused is let go here: libcamera may want the same device
  std::string other;
  if (std::unique_ptr<Camera> camera = openLibcamera("", other); camera || !other.empty()) {
    why = other;
    return camera;
  }
  if (!why.empty()) return nullptr;
  return openV4l2(device, absent, why);  // for the line V4L2 has for it
}

std::vector<std::string> listCameras() {
  std::vector<std::string> lines = listV4l2Cameras();
  for (std::string& line : listLibcameraCameras()) lines.push_back(std::move(line));
  return lines;
}
