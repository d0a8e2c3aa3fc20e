// Decodes frames of a video file into the raw frame file served by liborvelle_vcam.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "frame_file.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: orvelle_vcam_frames INPUT OUTPUT [-n COUNT] [-s WxH]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const char* input = argv[1];
  const char* output = argv[2];
  int count = 100, width = 0, height = 0;
  for (int i = 3; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage();
    if (!std::strcmp(argv[i], "-n")) {
      count = std::atoi(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "-s")) {
      if (std::sscanf(argv[i + 1], "%dx%d", &width, &height) != 2) return Usage();
    } else {
      return Usage();
    }
  }
  if (count < 1 || width < 0 || height < 0 || width > ORVCAM_MAX_SIDE || height > ORVCAM_MAX_SIDE ||
      (width == 0) != (height == 0))
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
  FILE* out = std::fopen(output, "wb");
  if (!out) {
    std::fprintf(stderr, "orvelle_vcam_frames: cannot write %s\n", output);
    return 1;
  }
  std::fprintf(out, ORVCAM_MAGIC " %d %d %zu\n", frames[0].cols, frames[0].rows, frames.size());
  for (const cv::Mat& f : frames) {
    for (int y = 0; y < f.rows; ++y) std::fwrite(f.ptr(y), 3, f.cols, out);
  }
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "orvelle_vcam_frames: cannot write %s\n", output);
    return 1;
  }
  std::printf("%zu frames %dx%d\n", frames.size(), frames[0].cols, frames[0].rows);
  return 0;
}
