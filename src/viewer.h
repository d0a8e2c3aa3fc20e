// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <opencv2/core.hpp>

#include "scale.h"

// Viewer flags, changed only by keys; the overlay reads `menuVisible`.
extern bool menuVisible;
extern bool detecting;

// What the frame loop keeps from pass to pass. `referenceFrame` holds an image exactly
// while `detecting` is true.
struct Viewer {
  cv::Mat frame;           // this pass's grabbed frame as 8-bit BGR, never marked
  cv::Mat workFrame;       // copy of `frame`, marked while detecting
  cv::Mat referenceFrame;  // `frame` of the pass whose `s` started marking
  cv::Mat displayImage;    // the 640 x 480 picture the window shows
  cv::Mat converted;       // storage for frames the camera delivers in another form
  LinearScaler scaler;     // scales workFrame into displayImage
};

// What the camera gave when asked for a frame.
enum class Grab { Frame, None, Lost };

// The loop's edges, so a pass can run without a camera or a window.
struct ViewerIo {
  // The camera's newest frame, waiting up to `ms` for one: None if none came, Lost once the
  // camera is gone (or has been silent too long).
  std::function<Grab(cv::Mat& frame, int ms)> grab;
  // The next key typed, waiting up to `ms` for one (0: only keys typed already), or -1.
  std::function<int(int ms)> waitKey;
  std::function<bool()> windowOpen;          // false once the user has closed the window
  std::function<void(const cv::Mat&)> show;  // returns once the picture is on screen
};

enum class LoopEnd { Quit, CameraLost };

// Everything of one pass before the key wait: convert, copy, mark, scale, draw the texts.
void preparePicture(Viewer& viewer, const cv::Mat& grabbed);

// Acts on a key code; returns false for the keys that end the program.
bool handleKey(Viewer& viewer, int key);

LoopEnd runLoop(Viewer& viewer, const ViewerIo& io);

// The whole program: the command line, start-up, loop, shut-down. Returns the exit status.
int runViewer(int argc, char** argv);
