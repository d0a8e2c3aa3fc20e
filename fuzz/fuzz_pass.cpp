// Drives the frame loop with frames of any shape and any key codes taken from the input,
// checking the viewer's state after every step.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>

#include "overlay.h"
#include "viewer.h"

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint32_t take(int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | (pos_ < size_ ? data_[pos_++] : 0);
    return v;
  }
  // Pixel bytes come from the rest of the input, round and round.
  void fill(cv::Mat& m) {
    if (size_ == 0) return;
    for (int y = 0; y < m.rows; ++y) {
      uint8_t* row = m.ptr<uint8_t>(y);
      const size_t n = m.cols * m.elemSize();
      for (size_t i = 0; i < n; ++i) row[i] = data_[(pos_ + y * n + i) % size_];
    }
  }

 private:
  const uint8_t* data_;
  size_t size_, pos_ = 0;
};

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (initOverlayFont(), true);
  (void)ready;
  menuVisible = true;
  detecting = false;
  Input in(data, size);
  Viewer viewer;
  bool windowOpen = true, anyFrame = false;

  const ViewerIo io{
      [&](cv::Mat& frame, int) {
        if (in.done()) return Grab::Lost;
        // Now and then the camera is slow to deliver. Small sizes, 0 x 0 and 1 x 1 included;
        // every depth and 1 to 8 channels.
        const uint32_t widthByte = in.take(1);
        if (widthByte == 0xff) return Grab::None;
        anyFrame = true;
        const int width = widthByte % 97, height = in.take(1) % 83;
        const int depth = in.take(1) % 8, channels = 1 + in.take(1) % 8;
        frame.create(height, width, CV_MAKETYPE(depth, channels));
        in.fill(frame);
        return Grab::Frame;
      },
      [&](int) {
        check(viewer.referenceFrame.empty() == !detecting, "reference exists iff detecting");
        if (anyFrame) {
          check(viewer.displayImage.size() == cv::Size(640, 480), "picture is 640 x 480");
          check(viewer.displayImage.type() == CV_8UC3, "picture is 8-bit BGR");
        }
        const uint32_t control = in.take(1);
        windowOpen = control != 0xff;
        // Mostly the keys that act, sometimes any int at all.
        static const int keys[] = {27, 'q', 'm', 's', 'Q', 'M', 'S', -1};
        return control & 0x80 ? static_cast<int>(in.take(4)) : keys[control & 7];
      },
      [&] { return windowOpen; },
      [&](const cv::Mat& image) {
        check(image.data == viewer.displayImage.data, "shows the picture it drew");
        check(viewer.referenceFrame.empty() == !detecting, "reference exists iff detecting");
        if (detecting) check(viewer.referenceFrame.size() == viewer.frame.size(), "same shape");
      },
  };
  runLoop(viewer, io);
  check(viewer.referenceFrame.empty() == !detecting, "reference exists iff detecting");
  return 0;
}
