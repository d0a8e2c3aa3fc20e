// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <opencv2/core.hpp>

// One text, drawn once at start-up as coverage (0-255) and placed in the 640 x 480 picture.
struct OverlayText {
  cv::Mat alpha;
  cv::Point topLeft;
};

// The text style: Hershey plain, 1.0 tall and 0.7 wide, one-pixel anti-aliased strokes,
// with every text the overlay draws already rendered in it.
struct OverlayFont {
  OverlayText caption;
  std::array<OverlayText, 3> menu;  // "q - quit", "m - hide menu", "s - start"
  OverlayText hiddenMenu;           // "m - show menu"
};

extern OverlayFont overlayFont;
extern const char* const overlayCaption;

void initOverlayFont();
void freeOverlayFont();

// Draws the caption, then the menu as `menuVisible` says, in pure red over the picture.
void drawOverlay(cv::Mat& displayImage);
