// SPDX-License-Identifier: Apache-2.0
#include "v4l2_camera.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// How long a pass may spend dropping frames that queued up, to show the newest.
constexpr auto kCatchUp = std::chrono::milliseconds(20);

bool absent(int error) { return error == ENOENT || error == ENODEV || error == ENXIO; }

bool gone(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
  return fd < 0 && absent(errno);
}

// What a device node can do, or 0 where it does not open.
uint32_t deviceCaps(const std::string& device, std::string* card = nullptr) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  v4l2_capability cap{};
  const bool known = ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0;
  ::close(fd);
  if (!known) return 0;
  if (card)
    *card = std::string(reinterpret_cast<const char*>(cap.card),
                        strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
  return cap.capabilities & V4L2_CAP_DEVICE_CAPS ? cap.device_caps : cap.capabilities;
}

// OpenCV's first grab starts the stream and then blocks in select() for up to 10 s. A signal
// cuts that wait short (OpenCV gives up on EINTR), so the window can answer meanwhile.
void onSliceOver(int) {}
const int kSliceSignal = SIGRTMIN;

}  // namespace

V4l2Camera::V4l2Camera() {
  struct sigaction action {};
  action.sa_handler = onSliceOver;
  sigemptyset(&action.sa_mask);
  sigaction(kSliceSignal, &action, nullptr);  // no SA_RESTART: the wait must end
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;  // this thread, the one that waits in select()
  event.sigev_signo = kSliceSignal;
  event._sigev_un._tid = gettid();
  hasSliceTimer_ = timer_create(CLOCK_MONOTONIC, &event, &sliceTimer_) == 0;
}

V4l2Camera::~V4l2Camera() {
  if (hasSliceTimer_) timer_delete(sliceTimer_);
}

std::string V4l2Camera::cannotCapture() const {
  return "cannot capture from the camera " + device_;
}

// OpenCV says only that the camera did not open; the device itself tells why.
std::string V4l2Camera::whyNoCamera(const std::string& absentLine) const {
  const std::string inUse = "the camera " + device_ + " is in use by another program";
  const int fd = ::open(device_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (absent(error)) return absentLine;
    if (error == EACCES || error == EPERM) return "no permission to open the camera " + device_;
    if (error == EBUSY) return inUse;
    return "cannot open the camera " + device_ + ": " + std::strerror(error);
  }
  // Asking for no buffers changes nothing, but a driver refuses it while another program
  // streams from the camera.
  v4l2_requestbuffers request{};
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  const bool busy = ioctl(fd, VIDIOC_REQBUFS, &request) < 0 && errno == EBUSY;
  ::close(fd);
  return busy ? inUse : cannotCapture();
}

std::string V4l2Camera::open(const std::string& device, const std::string& absentLine) {
  device_ = device;
  // OpenCV's V4L2 backend only. Given any other, a camera it cannot read goes to GStreamer,
  // where what happens (a picture or none, messages on stderr, a hang on a busy camera)
  // depends on which plugins the machine has.
  if (!capture().open(device_, cv::CAP_V4L2)) return whyNoCamera(absentLine);
  capture().set(cv::CAP_PROP_FRAME_WIDTH, 640.0);
  capture().set(cv::CAP_PROP_FRAME_HEIGHT, 480.0);
  const auto fourcc = static_cast<uint32_t>(capture().get(cv::CAP_PROP_FOURCC));
  size_ = cv::Size(static_cast<int>(capture().get(cv::CAP_PROP_FRAME_WIDTH)),
                   static_cast<int>(capture().get(cv::CAP_PROP_FRAME_HEIGHT)));
  // OpenCV converts these to RGB, not BGR, and shows damaged JPEGs, or the last picture for
  // one it cannot decode: take them raw and convert them here.
  const bool raw = fourcc == V4L2_PIX_FMT_NV12 || fourcc == V4L2_PIX_FMT_NV21 ||
                   fourcc == V4L2_PIX_FMT_SBGGR8 || fourcc == V4L2_PIX_FMT_MJPEG;
  if (raw && capture().set(cv::CAP_PROP_CONVERT_RGB, 0.0)) rawFourcc_ = fourcc;
  return {};
}

void V4l2Camera::start() {
  // A slice of 1 ms ends the grab just after STREAMON; the frames come while the window
  // system starts.
  cv::Mat frame;
  const Grab grab = first(frame, 1);
  lostAtStart_ = grab == Grab::Lost;
  if (grab == Grab::Frame) held_ = frame;
  // A camera silent from the start is given up 5 s after the first look, with the window up.
  if (grab == Grab::None) silence_.reset();
}

Grab V4l2Camera::next(cv::Mat& frame, int ms) {
  if (lostAtStart_) return Grab::Lost;
  if (!held_.empty()) return heldOrNewer(frame);
  if (!delivered_) return first(frame, ms);
  try {
    // waitAny dequeues the oldest frame waiting; newer ones may wait behind it. Looking for
    // them takes a poll of at least 1 ms (a time-out of 0 waits forever), so look only
    // behind a frame old enough to have any.
    if (!cv::VideoCapture::waitAny(streams_, ready_, ms * 1000000LL)) return silence_.nothing();
    // Each frame dequeued must be retrieved before the next, but only the newest is converted.
    // Where retrieving outlasts the camera's frame interval a newer frame is always waiting:
    // stop catching up after a while, so that the pass ends and the keys are read.
    const auto catchUpEnd = Clock::now() + kCatchUp;
    for (;;) {
      const bool newest = justCaptured();
      if (!retrieve(frame)) return Grab::Lost;
      if (newest || Clock::now() >= catchUpEnd || !cv::VideoCapture::waitAny(streams_, ready_, 1))
        break;
    }
  } catch (const cv::Exception&) {
    return Grab::Lost;  // the driver reports an error, as for an unplugged camera
  }
  if (!toBgr(frame))
    return silence_.nothing();  // a raw frame too short for its size: a buffer error
  return Grab::Frame;
}

// Until the first frame, in slices of `ms`: the stream starts here.
Grab V4l2Camera::first(cv::Mat& frame, int ms) {
  silence_.begin();
  itimerspec slice{};
  slice.it_value.tv_sec = ms / 1000;
  slice.it_value.tv_nsec = ms % 1000 * 1000000L;
  // Again every 5 ms: a signal that comes just before OpenCV enters select() is missed.
  slice.it_interval.tv_nsec = 5000000L;
  if (hasSliceTimer_) timer_settime(sliceTimer_, 0, &slice, nullptr);
  const bool grabbed = capture().grab();
  // EINTR: the wait for a frame was cut, so the stream runs. Not the signal alone: it may
  // come before STREAMON, which can then fail.
  const bool cut = !grabbed && errno == EINTR;
  const itimerspec off{};
  if (hasSliceTimer_) timer_settime(sliceTimer_, 0, &off, nullptr);
  if (grabbed) delivered_ = true;
  // Started early, the stream has filled its buffers while the window system started, and
  // this is the oldest of them. It is shown as it is: catching up first would keep the new
  // window empty for as long again, and the next pass catches up.
  if (grabbed && retrieve(frame) && toBgr(frame)) return Grab::Frame;
  if (grabbed || cut) return silence_.nothing();
  refused_ = !gone(device_);  // it never started; unplugged, it is simply lost
  return Grab::Lost;
}

// What `start` took is shown unless the camera has a newer frame by now.
Grab V4l2Camera::heldOrNewer(cv::Mat& frame) {
  cv::Mat held;
  std::swap(held, held_);
  const Grab newer = next(frame, 1);
  if (newer != Grab::None) return newer;
  frame = held;
  return Grab::Frame;
}

bool V4l2Camera::retrieve(cv::Mat& frame) { return capture().retrieve(rawFourcc_ ? raw_ : frame); }

bool V4l2Camera::toBgr(cv::Mat& frame) {
  const bool shown = rawFourcc_ == 0 || rawToBgr(rawFourcc_, raw_, size_, frame);
  silence_.frame(shown);
  return shown;
}

std::string V4l2Camera::whyLost() const { return refused_ ? cannotCapture() : silence_.why(); }

// Whether the frame just dequeued was captured so recently that no frame can follow it yet,
// for cameras up to 250 frames a second. Drivers stamp frames with CLOCK_MONOTONIC.
bool V4l2Camera::justCaptured() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const double ageMs = now.tv_sec * 1e3 + now.tv_nsec / 1e6 - capture().get(cv::CAP_PROP_POS_MSEC);
  return ageMs >= 0 && ageMs < 4;
}

std::unique_ptr<V4l2Camera> openV4l2(const std::string& device, const std::string& absentLine,
                                     std::string& why) {
  auto camera = std::make_unique<V4l2Camera>();
  why = camera->open(device, absentLine);
  if (!why.empty()) return nullptr;
  camera->start();
  return camera;
}

bool isMediaGraphNode(const std::string& device) { return deviceCaps(device) & V4L2_CAP_IO_MC; }

std::vector<std::string> listV4l2Cameras() {
  std::vector<int> numbers;
  if (DIR* dev = opendir("/dev")) {
    while (const dirent* entry = readdir(dev)) {
      unsigned n;
      char rest;
      if (std::sscanf(entry->d_name, "video%u%c", &n, &rest) == 1) numbers.push_back(n);
    }
    closedir(dev);
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<std::string> lines;
  for (const int n : numbers) {
    const std::string device = "/dev/video" + std::to_string(n);
    std::string card;
    const uint32_t caps = deviceCaps(device, &card);
    // Metadata and output nodes are not cameras; a media graph's nodes are reached through
    // libcamera.
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) && !(caps & V4L2_CAP_IO_MC))
      lines.push_back(device + "\t" + card);
  }
  return lines;
}
