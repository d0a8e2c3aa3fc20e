#include "camera.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// Colour bars, where a red-blue swap or a wrong Bayer phase shows at once.
cv::Mat bars(cv::Size size) {
  const cv::Vec3b colours[] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                               {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
  cv::Mat bgr(size, CV_8UC3);
  for (int x = 0; x < size.width; ++x) bgr.col(x).setTo(colours[x * 8 / size.width]);
  return bgr;
}

// The buffer a camera delivers in `fourcc` for the picture `bgr`.
cv::Mat raw(uint32_t fourcc, const cv::Mat& bgr) {
  if (fourcc == V4L2_PIX_FMT_SBGGR8) {  // rows B G B G ... / G R G R ...
    cv::Mat mosaic(bgr.size(), CV_8UC1);
    for (int y = 0; y < bgr.rows; ++y)
      for (int x = 0; x < bgr.cols; ++x)
        mosaic.at<uchar>(y, x) = bgr.at<cv::Vec3b>(y, x)[y % 2 + x % 2];
    return mosaic;
  }
  cv::Mat i420, semi;  // planar U then V, interleaved into one plane for NV12 / NV21
  cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
  i420.copyTo(semi);
  const int luma = bgr.rows * bgr.cols, quarter = luma / 4;
  const bool uFirst = fourcc == V4L2_PIX_FMT_NV12;
  for (int i = 0; i < quarter; ++i) {
    semi.data[luma + 2 * i + !uFirst] = i420.data[luma + i];
    semi.data[luma + 2 * i + uFirst] = i420.data[luma + quarter + i];
  }
  return semi.reshape(1, 1);  // as OpenCV hands a raw buffer over: one row of bytes
}

TEST(RawFrames, FormatsOpenCvTurnsToRgbComeOutInTheirColours) {
  const cv::Size size(64, 48);
  const cv::Mat expected = bars(size);
  for (const uint32_t fourcc : {V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_NV21, V4L2_PIX_FMT_SBGGR8}) {
    SCOPED_TRACE(fourcc);
    cv::Mat bgr;
    ASSERT_TRUE(rawToBgr(fourcc, raw(fourcc, expected), size, bgr));
    ASSERT_EQ(bgr.size(), size);
    ASSERT_EQ(bgr.type(), CV_8UC3);
    // Away from the bar edges, which chroma subsampling and demosaicing blur.
    for (int bar = 0; bar < 8; ++bar) {
      const cv::Rect inside(bar * 8 + 2, 2, 4, size.height - 4);
      EXPECT_LT(cv::norm(bgr(inside), expected(inside), cv::NORM_INF), 8) << "bar " << bar;
    }
  }
  cv::Mat bgr;
  const cv::Mat shortFrame(1, 100, CV_8UC1);
  EXPECT_FALSE(rawToBgr(V4L2_PIX_FMT_NV12, shortFrame, size, bgr)) << "read past a short frame";
  EXPECT_FALSE(rawToBgr(V4L2_PIX_FMT_YUYV, raw(V4L2_PIX_FMT_NV12, expected), size, bgr));
  // MJPEG: decoded as OpenCV does, but not when cut short, where libjpeg makes up the rest.
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", expected, jpeg));
  ASSERT_TRUE(rawToBgr(V4L2_PIX_FMT_MJPEG, cv::Mat(jpeg).reshape(1, 1), size, bgr));
  EXPECT_EQ(cv::norm(bgr, cv::imdecode(jpeg, cv::IMREAD_COLOR), cv::NORM_INF), 0);
  const cv::Mat cut(1, static_cast<int>(jpeg.size() / 2), CV_8UC1, jpeg.data());
  EXPECT_FALSE(rawToBgr(V4L2_PIX_FMT_MJPEG, cut, size, bgr));
  jpeg.insert(jpeg.end() - 2, 16, 0x55);  // stray bytes before the end marker, as webcams send
  EXPECT_TRUE(rawToBgr(V4L2_PIX_FMT_MJPEG, cv::Mat(jpeg).reshape(1, 1), size, bgr));
}

// A camera that ignores the size it agreed to is shown; a JPEG far larger than that size, or
// progressive, is refused unread.
TEST(RawFrames, JpegsAreHeldToTheAgreedSize) {
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", bars({1280, 720}), jpeg));
  const cv::Mat raw = cv::Mat(jpeg).reshape(1, 1);
  cv::Mat bgr;
  ASSERT_TRUE(rawToBgr(V4L2_PIX_FMT_MJPEG, raw, {640, 480}, bgr));
  EXPECT_EQ(bgr.size(), cv::Size(1280, 720));
  EXPECT_FALSE(rawToBgr(V4L2_PIX_FMT_MJPEG, raw, {320, 240}, bgr)) << "12 times the agreed size";
  ASSERT_TRUE(cv::imencode(".jpg", bars({64, 48}), jpeg, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
  EXPECT_FALSE(rawToBgr(V4L2_PIX_FMT_MJPEG, cv::Mat(jpeg).reshape(1, 1), {64, 48}, bgr));
}

// Rows of `rows` one after another, each `pad` bytes longer than its pixels.
cv::Mat padded(const cv::Mat& rows, int pad) {
  const size_t row = rows.cols * rows.elemSize();
  cv::Mat out(1, static_cast<int>((row + pad) * rows.rows), CV_8UC1, cv::Scalar(77));
  for (int y = 0; y < rows.rows; ++y) std::memcpy(out.ptr() + y * (row + pad), rows.ptr(y), row);
  return out;
}

// A frame as libcamera hands it over in `format`: its planes, one each or all in one, the rows
// of the first `pad` bytes longer than its pixels (the chroma's of YU12 and YV12 half that).
struct Planes {
  std::vector<cv::Mat> planes;
  size_t stride;
};
Planes planes(const std::string& f, const cv::Mat& bgr, int pad, bool split) {
  const int w = bgr.cols, h = bgr.rows;
  cv::Mat packed;
  if (f == "RG24") packed = bgr;
  if (f == "BG24") cv::cvtColor(bgr, packed, cv::COLOR_BGR2RGB);
  if (f == "XR24") cv::cvtColor(bgr, packed, cv::COLOR_BGR2BGRA);
  if (f == "XB24") cv::cvtColor(bgr, packed, cv::COLOR_BGR2RGBA);
  cv::Mat i420;
  cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
  const cv::Mat y = i420.rowRange(0, h);
  const cv::Mat u(h / 2, w / 2, CV_8UC1, i420.ptr(h));
  const cv::Mat v(h / 2, w / 2, CV_8UC1, i420.ptr(h) + w * h / 4);
  if (f == "YUYV" || f == "UYVY") {
    packed.create(h, w, CV_8UC2);
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x) {
        const uchar luma = y.at<uchar>(r, x), chroma = (x % 2 ? v : u).at<uchar>(r / 2, x / 2);
        packed.at<cv::Vec2b>(r, x) =
            f == "YUYV" ? cv::Vec2b(luma, chroma) : cv::Vec2b(chroma, luma);
      }
  }
  if (!packed.empty()) return {{padded(packed, pad)}, packed.cols * packed.elemSize() + pad};
  std::vector<cv::Mat> parts{padded(y, pad)};
  if (f == "NV12" || f == "NV21") {
    std::vector<cv::Mat> uv{u, v};
    if (f == "NV21") std::swap(uv[0], uv[1]);
    cv::Mat chroma;
    cv::merge(uv, chroma);
    parts.push_back(padded(chroma, pad));
  } else {
    parts.push_back(padded(f == "YU12" ? u : v, pad / 2));
    parts.push_back(padded(f == "YU12" ? v : u, pad / 2));
  }
  if (!split) {
    cv::Mat whole;
    cv::hconcat(parts, whole);
    parts = {whole};
  }
  return {parts, static_cast<size_t>(w + pad)};
}

uint32_t drmCode(const std::string& f) {
  return static_cast<uint32_t>(f[0]) | f[1] << 8 | f[2] << 16 | static_cast<uint32_t>(f[3]) << 24;
}

TEST(RawFrames, LibcameraFormatsComeOutInTheirColoursWhateverTheirRowsAndPlanes) {
  const cv::Size size(64, 48);
  const cv::Mat expected = bars(size);
  for (const char* format :
       {"RG24", "BG24", "XR24", "XB24", "YUYV", "UYVY", "NV12", "NV21", "YU12", "YV12"})
    for (const bool split : {false, true}) {
      SCOPED_TRACE(std::string(format) + (split ? ", a plane each" : ", one plane"));
      const Planes frame = planes(format, expected, 32, split);
      cv::Mat bgr;
      ASSERT_TRUE(planesToBgr(drmCode(format), size, frame.stride, frame.planes, bgr));
      ASSERT_EQ(bgr.size(), size);
      ASSERT_EQ(bgr.type(), CV_8UC3);
      for (int bar = 0; bar < 8; ++bar) {
        const cv::Rect inside(bar * 8 + 2, 2, 4, size.height - 4);
        EXPECT_LT(cv::norm(bgr(inside), expected(inside), cv::NORM_INF), 8) << "bar " << bar;
      }
      // Cut inside the last row's pixels, past its padding: nothing is read beyond the planes.
      std::vector<cv::Mat> cut = frame.planes;
      cut.back() = cut.back().colRange(0, cut.back().cols - 40);
      EXPECT_FALSE(planesToBgr(drmCode(format), size, frame.stride, cut, bgr));
    }
}

}  // namespace
