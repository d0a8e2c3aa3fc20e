// SPDX-License-Identifier: Apache-2.0
// Decodes frames of a video file into the frame file served by liborvelle_vcam: raw BGR24
// frames, and each frame's JPEG for a camera serving MJPG (see frame_file.h).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "frame_file.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: orvelle_vcam_frames INPUT OUTPUT [-n COUNT] [-s WxH] [-q QUALITY]\n");
  return 2;
}

void PutU64(FILE* out, uint64_t v) {
  unsigned char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  std::fwrite(b, 1, 8, out);
}

// The frame as the camera serves it (nearest-neighbour to a width it can serve, as it
// scales), as a JPEG.
std::vector<unsigned char> Jpeg(const cv::Mat& frame, int quality) {
  cv::Mat served = frame;
  const int w = orvcam_served_width(frame.cols);
  if (w != frame.cols) cv::resize(frame, served, {w, frame.rows}, 0, 0, cv::INTER_NEAREST_EXACT);
  std::vector<unsigned char> jpeg;
  cv::imencode(".jpg", served, jpeg, {cv::IMWRITE_JPEG_QUALITY, quality});
  return jpeg;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const char* input = argv[1];
  const char* output = argv[2];
  int count = 100, width = 0, height = 0, quality = 90;
  for (int i = 3; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage();
    if (!std::strcmp(argv[i], "-n")) {
      count = std::atoi(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "-s")) {
      if (std::sscanf(argv[i + 1], "%dx%d", &width, &height) != 2) return Usage();
    } else if (!std::strcmp(argv[i], "-q")) {
      quality = std::atoi(argv[i + 1]);
    } else {
      return Usage();
    }
  }
  if (count < 1 || width < 0 || height < 0 || width > ORVCAM_MAX_SIDE || height > ORVCAM_MAX_SIDE ||
      (width == 0) != (height == 0) || quality < 1 || quality > 100)
    return Usage();

  cv::VideoCapture cap(input);
  if (!cap.isOpened()) {
    std::fprintf(stderr, "orvelle_vcam_frames: cannot open %s\n", input);
    return 1;
  }
  std::vector<cv::Mat> frames;
  cv::Mat frame;
  while (static_cast<int>(frames.size()) < count && cap.read(frame)) {
    if (frame.type() != CV_8UC3) {
      std::fprintf(stderr, "orvelle_vcam_frames: %s does not decode to BGR frames\n", input);
      return 1;
    }
    if (width > 0) cv::resize(frame, frame, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    if (frame.cols > ORVCAM_MAX_SIDE || frame.rows > ORVCAM_MAX_SIDE) {
      std::fprintf(stderr, "orvelle_vcam_frames: frames larger than %d pixels\n", ORVCAM_MAX_SIDE);
      return 1;
    }
    frames.push_back(frame.clone());
  }
  if (frames.empty()) {
    std::fprintf(stderr, "orvelle_vcam_frames: no frames in %s\n", input);
    return 1;
  }
  // Encoded once, here, so the camera only copies bytes.
  std::vector<std::vector<unsigned char>> jpegs;
  for (const cv::Mat& f : frames) jpegs.push_back(Jpeg(f, quality));
  FILE* out = std::fopen(output, "wb");
  if (!out) {
    std::fprintf(stderr, "orvelle_vcam_frames: cannot write %s\n", output);
    return 1;
  }
  const int head = std::fprintf(out, ORVCAM_MAGIC_JPEG " %d %d %zu\n", frames[0].cols,
                                frames[0].rows, frames.size());
  for (const cv::Mat& f : frames) {
    for (int y = 0; y < f.rows; ++y) std::fwrite(f.ptr(y), 3, f.cols, out);
  }
  uint64_t offset =
      static_cast<uint64_t>(head) + frames[0].total() * 3 * frames.size() + 8 * (frames.size() + 1);
  size_t largest = 0;
  for (const auto& j : jpegs) {
    PutU64(out, offset);
    offset += j.size();
    largest = std::max(largest, j.size());
  }
  PutU64(out, offset);
  for (const auto& j : jpegs) std::fwrite(j.data(), 1, j.size(), out);
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "orvelle_vcam_frames: cannot write %s\n", output);
    return 1;
  }
  std::printf("%zu frames %dx%d, JPEGs up to %zu bytes\n", frames.size(), frames[0].cols,
              frames[0].rows, largest);
  return 0;
}
