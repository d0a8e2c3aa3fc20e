// SPDX-License-Identifier: Apache-2.0
#include "overlay.h"

#include <opencv2/imgproc.hpp>

#include "viewer.h"

OverlayFont overlayFont;
const char* const overlayCaption = "orvelle.info";

namespace {

constexpr double kWidthScale = 0.7;
constexpr int kSuper = 4;  // supersampling factor of the rendering
constexpr int kPad = 2;    // room around the glyphs for the anti-aliased edge

// putText has one scale for both axes, so draw the glyphs' centre lines large, squeeze them
// to 70 % width, then give them a one-pixel stroke: the squeeze must not thin the strokes.
OverlayText renderText(const char* text, cv::Point origin) {
  int baseline = 0;
  const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_PLAIN, 1.0, 1, &baseline);
  const cv::Rect box(origin.x - kPad, origin.y - size.height - kPad,
                     cvCeil(size.width * kWidthScale) + 2 * kPad,
                     size.height + baseline + 2 * kPad);

  cv::Mat lines =
      cv::Mat::zeros(box.height * kSuper, cvRound(box.width * kSuper / kWidthScale), CV_8U);
  const cv::Point bigOrigin(cvRound(kPad * kSuper / kWidthScale), (origin.y - box.y) * kSuper);
  cv::putText(lines, text, bigOrigin, cv::FONT_HERSHEY_PLAIN, kSuper, 255, 1, cv::LINE_8);

  cv::Mat squeezed;
  cv::resize(lines, squeezed, cv::Size(box.width * kSuper, box.height * kSuper), 0, 0,
             cv::INTER_AREA);
  cv::threshold(squeezed, squeezed, 0, 255, cv::THRESH_BINARY);
  cv::dilate(squeezed, squeezed,
             cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(kSuper, kSuper)));

  OverlayText out;
  cv::resize(squeezed, out.alpha, box.size(), 0, 0, cv::INTER_AREA);
  out.topLeft = box.tl();
  return out;
}

void blendRed(cv::Mat& image, const OverlayText& text) {
  const cv::Rect box(text.topLeft, text.alpha.size());
  const cv::Rect clipped = box & cv::Rect(0, 0, image.cols, image.rows);
  for (int y = clipped.y; y < clipped.br().y; ++y) {
    const uchar* a = text.alpha.ptr<uchar>(y - box.y) + (clipped.x - box.x);
    uchar* p = image.ptr<uchar>(y) + 3 * clipped.x;
    for (int x = 0; x < clipped.width; ++x, p += 3) {
      const int k = a[x];
      if (k == 0) continue;
      p[0] = static_cast<uchar>((p[0] * (255 - k) + 127) / 255);
      p[1] = static_cast<uchar>((p[1] * (255 - k) + 127) / 255);
      p[2] = static_cast<uchar>((p[2] * (255 - k) + 255 * k + 127) / 255);
    }
  }
}

}  // namespace

void initOverlayFont() {
  overlayFont.caption = renderText(overlayCaption, {552, 457});
  overlayFont.menu = {renderText("q - quit", {10, 10}), renderText("m - hide menu", {10, 22}),
                      renderText("s - start", {10, 34})};
  overlayFont.hiddenMenu = renderText("m - show menu", {10, 10});
}

void freeOverlayFont() { overlayFont = OverlayFont(); }

void drawOverlay(cv::Mat& displayImage) {
  if (displayImage.type() != CV_8UC3) return;
  blendRed(displayImage, overlayFont.caption);
  if (menuVisible) {
    for (const OverlayText& line : overlayFont.menu) blendRed(displayImage, line);
  } else {
    blendRed(displayImage, overlayFont.hiddenMenu);
  }
}
