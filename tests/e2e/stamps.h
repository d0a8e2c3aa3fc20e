// Frames that carry their number (ORVELLE_VCAM_STAMP=1) read back from a window, and the
// camera's log of when it captured each (ORVELLE_VCAM_LOG).
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include <map>

#include "session.h"
#include "stamp.h"

// After the C++ headers, as in session.h: Xlib's macros would break them.
#include <X11/extensions/XShm.h>

namespace {

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// What the camera logged for one frame: when it was captured and dequeued.
struct Logged {
  int64_t shot, taken;
};

std::map<long, Logged> readLog(const std::string& path) {
  std::map<long, Logged> frames;
  std::ifstream in(path);
  long k;
  int64_t shot, taken;
  while (in >> k >> shot >> taken) frames[k] = {shot, taken};
  return frames;
}

// The stamp band of a window, read through shared memory so that a read costs a copy in
// the server and no more.
class Band {
 public:
  Band(Display* d, Window w) : display_(d), window_(w) {
    XWindowAttributes a;
    if (!XShmQueryExtension(d) || !XGetWindowAttributes(d, w, &a)) return;
    width_ = a.width;
    height_ = a.height;
    orvelle_stamp_band(height_, &y0_, &y1_);
    image_ = XShmCreateImage(d, a.visual, static_cast<unsigned>(a.depth), ZPixmap, nullptr, &shm_,
                             static_cast<unsigned>(width_), static_cast<unsigned>(y1_ - y0_));
    if (!image_ || image_->bits_per_pixel != 32) return;
    shm_.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image_->bytes_per_line) * image_->height,
                        IPC_CREAT | 0600);
    if (shm_.shmid < 0) return;
    shm_.shmaddr = image_->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
    shm_.readOnly = False;
    attached_ = shm_.shmaddr != reinterpret_cast<char*>(-1) && XShmAttach(d, &shm_);
    shmctl(shm_.shmid, IPC_RMID, nullptr);  // gone once both sides detach
    XSync(d, False);
    picture_ = cv::Mat(height_, width_, CV_8UC3, cv::Scalar::all(128));
  }
  ~Band() {
    if (attached_) XShmDetach(display_, &shm_);
    if (shm_.shmaddr && shm_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shm_.shmaddr);
    if (image_) {
      image_->data = nullptr;
      XDestroyImage(image_);
    }
  }
  Band(const Band&) = delete;
  Band& operator=(const Band&) = delete;

  bool ok() const { return attached_; }

  // The frame number on screen now and when it was read; -1: none readable, -2: the window
  // cannot be read (gone).
  int read(int64_t& when) {
    const int64_t before = nowNs();
    if (!XShmGetImage(display_, window_, image_, 0, y0_, AllPlanes)) return -2;
    when = (before + nowNs()) / 2;
    cv::Mat bgrx(y1_ - y0_, width_, CV_8UC4, image_->data,
                 static_cast<size_t>(image_->bytes_per_line));
    cv::Mat rows = picture_.rowRange(y0_, y1_);
    cv::cvtColor(bgrx, rows, cv::COLOR_BGRA2BGR);
    return orvelle_stamp_read(picture_.data, picture_.cols, picture_.rows, picture_.step);
  }

 private:
  Display* display_;
  Window window_;
  XShmSegmentInfo shm_{};
  XImage* image_ = nullptr;
  bool attached_ = false;
  int width_ = 0, height_ = 0, y0_ = 0, y1_ = 0;
  cv::Mat picture_;  // only the band is filled in
};

// When each frame number was first seen in the window, reading it every 0.5 ms (2 kHz)
// from `start` until `end`.
struct Watched {
  std::map<int, int64_t> firstSeen;  // by stamp (k mod 2^16)
  int first = -1;                    // on screen already when watching began
  long samples = 0;
};

[[maybe_unused]] Watched watchStamps(Band& band, int64_t start, int64_t end) {
  Watched w;
  const int64_t period = 500000;
  for (int64_t next = start; next < end; next += period) {
    const int64_t now = nowNs();
    if (now < next) {
      const timespec ts{static_cast<time_t>(next / 1000000000),
                        static_cast<long>(next % 1000000000)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    } else if (now - next > 10 * period) {
      next = now;  // fell behind: do not burst to catch up
    }
    int64_t when = 0;
    const int k = band.read(when);
    ++w.samples;
    if (k < 0) continue;
    if (w.first < 0) w.first = k;
    w.firstSeen.emplace(k, when);
  }
  return w;
}

}  // namespace
