#pragma once

// Real footage for tests and benchmarks: vtest.avi from tools/fetch-footage, which the build
// names in ORVELLE_FETCH_FOOTAGE (the command, with the directory to keep the file in).

#include <cstdio>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

// The path of vtest.avi, downloaded on first use; empty when that fails.
inline std::string footagePath() {
  FILE* out = popen(ORVELLE_FETCH_FOOTAGE, "r");
  if (out == nullptr) return {};
  std::string path;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, out) != nullptr) path += buffer;
  if (pclose(out) != 0) return {};
  while (!path.empty() && path.back() == '\n') path.pop_back();
  return path;
}

// `count` consecutive frames from frame `first` on; fewer when the footage cannot be read.
inline std::vector<cv::Mat> footageFrames(int count, int first = 0) {
  std::vector<cv::Mat> frames;
  const std::string path = footagePath();
  if (path.empty()) return frames;
  cv::VideoCapture video(path, cv::CAP_FFMPEG);
  cv::Mat frame;
  for (int i = 0; i < first + count && video.read(frame); ++i)
    if (i >= first) frames.push_back(frame.clone());
  return frames;
}
