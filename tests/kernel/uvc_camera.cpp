// A USB webcam in software for the kernel tests: a UVC 1.1 camera with a bulk streaming
// endpoint, YUYV and MJPEG at 640x480 and 1280x720, 30 and 15 frames a second, answering the
// USB requests itself, so that the kernel's own uvcvideo drives it as it drives any webcam.
// It is plugged in one of two ways:
//   - into the machine's USB/IP host controller (vhci-hcd) through a socket pair: the
//     program runs in the machine;
//   - with --usbredir, into QEMU's usb-redir device (on an emulated xHCI controller, which the
//     machine's firmware describes, as libcamera wants of a USB camera's controller): the
//     program runs on the host and listens at SOCKET for QEMU's chardev, serving one machine
//     after another until killed.
//
//   orvelle_uvc_camera [--port N | --usbredir SOCKET] [--commands FIFO]
//                      FRAMES_640x480 FRAMES_1280x720
//
// The frame files are orvelle_vcam_frames's (BGR frames and their JPEGs); the camera shows
// one frame of them until told otherwise. Commands, one a line on the FIFO:
//   frame K      show frame K from now on
//   error N      the next N frames have a payload with UVC's error bit
//   cut N        the next N JPEGs are cut short at half
//   garbage N    the next N JPEGs have garbage in their middle
//   broken       no JPEG from now on starts as one
//   lie          every JPEG from now on claims to be 65500x65500, the most JPEG can say
//   stop         no more frames, though the requests are still answered
// Unplugged (the port written to vhci-hcd's detach), it ends with status 0.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "frame_file.h"

#ifdef ORVELLE_USBREDIR
#include <usbredirparser.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kVhci = "/sys/devices/platform/vhci_hcd.0";
constexpr int kSpeedHigh = 3;  // USB_SPEED_HIGH
constexpr uint32_t kClockHz = 48000000;
// Payloads as large as uvcvideo's bulk URBs can be (32 packets of 512 bytes): one per URB.
constexpr uint32_t kPayload = 16384;
constexpr uint8_t kBulkIn = 0x81;  // the streaming endpoint

int fail(const std::string& what) {
  std::fprintf(stderr, "orvelle_uvc_camera: %s\n", what.c_str());
  return 1;
}

// ---- descriptors ----

void put16(Bytes& b, unsigned v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

struct Size {
  unsigned w, h;
};
const Size kSizes[] = {{640, 480}, {1280, 720}};
const uint32_t kIntervals[] = {333333, 666666};  // 100 ns units: 30 and 15 fps

Bytes deviceDescriptor() {
  Bytes d = {18, 1};
  put16(d, 0x0200);
  d.insert(d.end(), {0xef, 0x02, 0x01, 64});  // miscellaneous, interface association
  put16(d, 0x1209);                           // pid.codes' test vendor
  put16(d, 0x0001);
  put16(d, 0x0100);
  d.insert(d.end(), {1, 2, 0, 1});
  return d;
}

void frameDescriptor(Bytes& d, uint8_t subtype, uint8_t index, Size s) {
  const uint32_t bytes = s.w * s.h * 2;
  d.insert(d.end(), {34, 0x24, subtype, index, 0});
  put16(d, s.w);
  put16(d, s.h);
  put32(d, bytes * 8 * 15);  // bit rates, at 15 and 30 fps
  put32(d, bytes * 8 * 30);
  put32(d, bytes);
  put32(d, kIntervals[0]);
  d.push_back(2);
  for (uint32_t i : kIntervals) put32(d, i);
}

Bytes configDescriptor() {
  Bytes d = {9, 2, 0, 0, 2, 1, 0, 0x80, 250};
  d.insert(d.end(), {8, 0x0b, 0, 2, 0x0e, 0x03, 0, 2});  // interface association
  d.insert(d.end(), {9, 4, 0, 0, 0, 0x0e, 0x01, 0, 2});  // video control
  d.insert(d.end(), {13, 0x24, 1, 0x10, 0x01, 52, 0});   // header, UVC 1.1, 52 bytes
  put32(d, kClockHz);
  d.insert(d.end(), {1, 1});                                        // streaming interface 1
  d.insert(d.end(), {18, 0x24, 2, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0,  // camera terminal 1
                     0, 0, 3, 0, 0, 0});
  // processing unit 2, with brightness
  d.insert(d.end(), {12, 0x24, 5, 2, 1, 0, 0, 2, 0x01, 0x00, 0, 0});
  d.insert(d.end(), {9, 0x24, 3, 3, 0x01, 0x01, 0, 2, 0});  // streaming terminal 3
  d.insert(d.end(), {9, 4, 1, 0, 1, 0x0e, 0x02, 0, 0});     // video streaming
  // its header (two formats, endpoint 0x81, terminal 3), YUY2 and MJPEG with their frames
  const size_t header = d.size();
  d.insert(d.end(), {15, 0x24, 1, 2, 0, 0, kBulkIn, 0, 3, 0, 0, 0, 1, 0, 0});
  d.insert(d.end(),
           {27,   0x24, 4,    1,    2,    'Y',  'U',  'Y', '2', 0x00, 0x00, 0x10, 0x00, 0x80,
            0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71, 16,  1,   0,    0,    0,    0});
  for (uint8_t i = 0; i < 2; ++i) frameDescriptor(d, 5, i + 1, kSizes[i]);
  d.insert(d.end(), {11, 0x24, 6, 2, 2, 0, 1, 0, 0, 0, 0});
  for (uint8_t i = 0; i < 2; ++i) frameDescriptor(d, 7, i + 1, kSizes[i]);
  const size_t streaming = d.size() - header;
  d[header + 4] = uint8_t(streaming);
  d[header + 5] = uint8_t(streaming >> 8);
  d.insert(d.end(), {7, 5, kBulkIn, 0x02, 0x00, 0x02, 0});  // bulk in, 512 bytes
  d[2] = uint8_t(d.size());
  d[3] = uint8_t(d.size() >> 8);
  return d;
}

Bytes stringDescriptor(int index) {
  if (index == 0) return {4, 3, 0x09, 0x04};
  const char* s = index == 1 ? "Orvelle" : "Orvelle USB test camera";
  Bytes d = {uint8_t(2 + 2 * std::strlen(s)), 3};
  for (; *s; ++s) put16(d, uint8_t(*s));
  return d;
}

// ---- pictures ----

struct Clip {
  std::vector<Bytes> yuyv, jpeg;
};

// BGR to YUYV as OpenCV converts it back: BT.601, luma 16 to 235.
Bytes toYuyv(const uint8_t* bgr, Size s) {
  Bytes out(size_t(s.w) * s.h * 2);
  uint8_t* o = out.data();
  for (size_t i = 0; i < size_t(s.w) * s.h; i += 2, bgr += 6, o += 4) {
    int u = 0, v = 0;
    for (int k = 0; k < 2; ++k) {
      const int b = bgr[3 * k], g = bgr[3 * k + 1], r = bgr[3 * k + 2];
      o[2 * k] = uint8_t((66 * r + 129 * g + 25 * b + 128 + 4096) >> 8);
      u += -38 * r - 74 * g + 112 * b;
      v += 112 * r - 94 * g - 18 * b;
    }
    o[1] = uint8_t(std::clamp((u / 2 + 128) / 256 + 128, 0, 255));
    o[3] = uint8_t(std::clamp((v / 2 + 128) / 256 + 128, 0, 255));
  }
  return out;
}

bool loadClip(const char* path, Size want, Clip& clip) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  unsigned w = 0, h = 0, n = 0;
  in >> magic >> w >> h >> n;
  in.get();
  if (!in || magic != ORVCAM_MAGIC_JPEG || w != want.w || h != want.h || n == 0) return false;
  Bytes bgr(size_t(w) * h * 3);
  for (unsigned i = 0; i < n; ++i) {
    if (!in.read(reinterpret_cast<char*>(bgr.data()), std::streamsize(bgr.size()))) return false;
    clip.yuyv.push_back(toYuyv(bgr.data(), want));
  }
  std::vector<uint64_t> offsets(n + 1);
  for (uint64_t& o : offsets) {
    uint8_t b[8];
    if (!in.read(reinterpret_cast<char*>(b), 8)) return false;
    o = 0;
    for (int k = 7; k >= 0; --k) o = o << 8 | b[k];
  }
  for (unsigned i = 0; i < n; ++i) {
    Bytes j(offsets[i + 1] - offsets[i]);
    if (!in.read(reinterpret_cast<char*>(j.data()), std::streamsize(j.size()))) return false;
    clip.jpeg.push_back(std::move(j));
  }
  return true;
}

// Makes a JPEG's frame header (SOF) claim another size; its data stays as it is.
void claimSize(Bytes& jpeg, unsigned w, unsigned h) {
  for (size_t i = 2; i + 9 <= jpeg.size() && jpeg[i] == 0xff;
       i += 2 + size_t(jpeg[i + 2] << 8 | jpeg[i + 3])) {
    const uint8_t m = jpeg[i + 1];  // SOF0 to SOF15, but for DHT, JPG and DAC
    if (m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc) {
      const uint8_t size[] = {uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w)};
      std::copy(size, size + 4, jpeg.begin() + long(i + 5));
      return;
    }
  }
}

// ---- the device ----

// A transfer on the bulk endpoint, waiting for a payload.
struct Urb {
  uint64_t id;
  uint32_t length;
};

// The host controller the camera is plugged into, as a transport: what the host sends is read
// and handed to the camera, and the camera's payloads go back through it.
class Link {
 public:
  explicit Link(int fd) : fd_(fd) {}
  virtual ~Link() = default;
  int fd() const { return fd_; }
  // Hands what the host has sent to the camera; false once the host has gone.
  virtual bool receive() = 0;
  virtual bool completeBulk(uint64_t id, const Bytes& payload) = 0;

 protected:
  int fd_;
};

class Camera {
 public:
  explicit Camera(const Clip* clips) : clips_(clips) { probe_ = defaults(); }

  // A control request (8 bytes of setup, an OUT transfer's data); false stalls it. An IN
  // transfer's answer is cut to the length asked for.
  bool control(const uint8_t* setup, const Bytes& out, Bytes& in) {
    if (!answer(setup, out, in)) return false;
    in.resize(std::min<size_t>(in.size(), setup[6] | setup[7] << 8));
    return true;
  }

  void submitBulk(uint64_t id, uint32_t length) { urbs_.push_back({id, length}); }

  // Whether transfer `id` was still waiting, and is now given up.
  bool cancelBulk(uint64_t id) {
    const auto it =
        std::find_if(urbs_.begin(), urbs_.end(), [&](const Urb& u) { return u.id == id; });
    if (it == urbs_.end()) return false;
    urbs_.erase(it);
    return true;
  }

  // Serves until the host goes: unplugged.
  int run(Link& link, int commands) {
    std::string pending;
    for (;;) {
      const int64_t wait = streamWait();
      pollfd fds[2] = {{link.fd(), POLLIN, 0}, {commands, POLLIN, 0}};
      if (poll(fds, commands >= 0 ? 2 : 1, int(wait)) < 0 && errno != EINTR) return 1;
      if (fds[0].revents) {
        if (!link.receive()) return 0;
        continue;  // every request first: the URBs to fill, and those cancelled
      }
      if (commands >= 0 && fds[1].revents & POLLIN) {
        char buf[256];
        const ssize_t n = read(commands, buf, sizeof buf);
        if (n > 0) pending.append(buf, size_t(n));
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
          command(pending.substr(0, eol));
          pending.erase(0, eol + 1);
        }
      }
      if (!sendPayload(link)) return 0;
    }
  }

 private:
  // The streaming parameters the camera proposes: YUYV 640x480 at 30 fps.
  Bytes defaults() const { return negotiate(1, 1, kIntervals[0]); }

  Bytes negotiate(unsigned format, unsigned frame, uint32_t interval) const {
    format = std::clamp(format, 1u, 2u);
    frame = std::clamp(frame, 1u, 2u);
    interval = interval > (kIntervals[0] + kIntervals[1]) / 2 ? kIntervals[1] : kIntervals[0];
    const Size s = kSizes[frame - 1];
    Bytes p(34, 0);
    p[0] = 1;  // the frame interval is fixed
    p[2] = uint8_t(format);
    p[3] = uint8_t(frame);
    std::memcpy(&p[4], &interval, 4);  // little-endian, as USB
    const uint32_t bytes = s.w * s.h * 2, payload = kPayload, clock = kClockHz;
    std::memcpy(&p[18], &bytes, 4);
    std::memcpy(&p[22], &payload, 4);
    std::memcpy(&p[26], &clock, 4);
    p[30] = 3;  // frame ID and end of frame in the payload headers
    p[31] = p[32] = p[33] = 0;
    return p;
  }

  // A control request's answer; false stalls it.
  bool answer(const uint8_t* s, const Bytes& out, Bytes& in) {
    const uint8_t type = s[0], request = s[1];
    const unsigned value = s[2] | s[3] << 8, index = s[4] | s[5] << 8;
    if ((type & 0x60) == 0) {  // standard
      switch (request) {
        case 0:  // GET_STATUS
          in = {0, 0};
          return true;
        case 1:  // CLEAR_FEATURE: uvcvideo halts the bulk endpoint to stop the stream
          if (type == 0x02 && index == kBulkIn) streaming_ = false;
          return true;
        case 6:  // GET_DESCRIPTOR
          switch (value >> 8) {
            case 1:
              in = deviceDescriptor();
              return true;
            case 2:
              in = configDescriptor();
              return true;
            case 3:
              if ((value & 0xff) > 2) return false;
              in = stringDescriptor(value & 0xff);
              return true;
          }
          return false;
        case 8:  // GET_CONFIGURATION
          in = {1};
          return true;
        case 9:   // SET_CONFIGURATION
        case 11:  // SET_INTERFACE
          return true;
        case 10:  // GET_INTERFACE
          in = {0};
          return true;
      }
      return false;
    }
    if ((type & 0x60) != 0x20) return false;
    const unsigned selector = value >> 8, interface = index & 0xff, entity = index >> 8;
    const bool set = request == 0x01;
    if (interface == 1 && entity == 0 && (selector == 1 || selector == 2)) {
      if (set) {
        if (out.size() < 26) return false;
        Bytes p = negotiate(out[2], out[3], get32(&out[4]));
        if (selector == 1) {
          probe_ = p;
        } else {
          start(p);
        }
        return true;
      }
      switch (request) {
        case 0x81:  // GET_CUR
          in = probe_;
          return true;
        case 0x82:  // GET_MIN, MAX, DEF
        case 0x83:
        case 0x87:
          in = defaults();
          return true;
        case 0x85:  // GET_LEN
          in = {34, 0};
          return true;
        case 0x86:  // GET_INFO
          in = {3};
          return true;
      }
      return false;
    }
    if (interface == 0 && entity == 0 && selector == 2 && request == 0x81) {
      in = {lastError_};  // why the last request stalled
      return true;
    }
    if (interface == 0 && entity == 2 && selector == 2) {  // brightness
      switch (request) {
        case 0x01:
          if (out.size() != 2) return false;
          brightness_ = out[0] | out[1] << 8;
          return true;
        case 0x81:
          in = {uint8_t(brightness_), uint8_t(brightness_ >> 8)};
          return true;
        case 0x82:
          in = {0, 0};
          return true;
        case 0x83:
          in = {255, 0};
          return true;
        case 0x84:
          in = {1, 0};
          return true;
        case 0x85:
          in = {2, 0};
          return true;
        case 0x86:
          in = {3};
          return true;
        case 0x87:
          in = {128, 0};
          return true;
      }
    }
    lastError_ = 0x06;  // invalid control
    return false;
  }

  void start(const Bytes& committed) {
    format_ = committed[2];
    clip_ = &clips_[committed[3] - 1];
    interval_ = get32(&committed[4]) * int64_t(100);
    streaming_ = true;
    frame_.clear();
    nextFrame_ = now();
  }

  void command(const std::string& line) {
    char word[16] = "";
    unsigned n = 0;
    std::sscanf(line.c_str(), "%15s %u", word, &n);
    const std::string w = word;
    if (w == "frame") shown_ = n;
    if (w == "error") errors_ = n;
    if (w == "cut") cuts_ = n;
    if (w == "garbage") garbage_ = n;
    if (w == "broken") broken_ = true;
    if (w == "lie") lie_ = true;
    if (w == "stop") stopped_ = true;
  }

  static int64_t now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
  }

  // How long poll may wait: a frame under way is sent as fast as URBs come.
  int64_t streamWait() const {
    if (!streaming_ || stopped_ || urbs_.empty()) return -1;
    if (sent_ < frame_.size()) return 0;
    return std::max<int64_t>(0, (nextFrame_ - now() + 999999) / 1000000);
  }

  // The next frame's bytes, damaged as told.
  void nextFrame() {
    const size_t k = shown_ % clip_->yuyv.size();
    frame_ = format_ == 1 ? clip_->yuyv[k] : clip_->jpeg[k];
    errorPayload_ = SIZE_MAX;
    // One fault a frame: error bits first, then cut JPEGs, then garbage.
    if (errors_ > 0) {
      --errors_;
      errorPayload_ = 1;
    } else if (format_ == 2 && cuts_ > 0) {
      --cuts_;
      frame_.resize(frame_.size() / 2);
    } else if (format_ == 2 && garbage_ > 0) {
      --garbage_;
      uint32_t x = 12345;
      for (size_t i = frame_.size() / 3; i < frame_.size() / 2; ++i) {
        x = x * 1103515245 + 12345;
        frame_[i] = uint8_t(x >> 16);
      }
    }
    if (format_ == 2 && broken_) frame_[0] = frame_[1] = 0;  // no JPEG's start
    if (format_ == 2 && lie_) claimSize(frame_, 65500, 65500);
    sent_ = 0;
    payload_ = 0;
    fid_ ^= 1;
    pts_ = uint32_t(now() / 1000 * (kClockHz / 1000000));
  }

  bool sendPayload(Link& link) {
    if (!streaming_ || stopped_ || urbs_.empty()) return true;
    if (sent_ >= frame_.size()) {
      if (now() < nextFrame_) return true;
      nextFrame_ = std::max(nextFrame_ + interval_, now());
      nextFrame();
    }
    const Urb urb = urbs_.front();
    urbs_.pop_front();
    // A payload shorter than the URB ends there; one as long ends only at kPayload.
    const size_t room = urb.length >= kPayload ? kPayload : urb.length - 1;
    const size_t n = std::min(frame_.size() - sent_, room - 6);
    const bool last = sent_ + n == frame_.size();
    Bytes p = {6,
               uint8_t(0x04 | fid_ | (last ? 0x02 : 0) | (payload_ == errorPayload_ ? 0x40 : 0))};
    put32(p, pts_);
    p.insert(p.end(), frame_.begin() + long(sent_), frame_.begin() + long(sent_ + n));
    sent_ += n;
    ++payload_;
    return link.completeBulk(urb.id, p);
  }

  const Clip* clips_;
  const Clip* clip_ = nullptr;
  Bytes probe_;
  std::deque<Urb> urbs_;
  bool streaming_ = false, stopped_ = false, broken_ = false, lie_ = false;
  unsigned format_ = 1, shown_ = 0, errors_ = 0, cuts_ = 0, garbage_ = 0;
  unsigned brightness_ = 128;
  uint8_t lastError_ = 0, fid_ = 1;
  int64_t interval_ = 0, nextFrame_ = 0;
  Bytes frame_;
  size_t sent_ = 0, payload_ = 0, errorPayload_ = SIZE_MAX;
  uint32_t pts_ = 0;
};

// ---- the ways in ----

bool readAll(int fd, void* data, size_t n) {
  auto* p = static_cast<uint8_t*>(data);
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      return false;
    }
    p += r;
    n -= size_t(r);
  }
  return true;
}

bool sendAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    // Not SIGPIPE: a machine that goes away ends its connection, not the camera.
    const ssize_t r = send(fd, data, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    data += r;
    n -= size_t(r);
  }
  return true;
}

// ---- USB/IP: vhci-hcd in the machine ----

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
void putBe32(Bytes& b, uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}

class UsbipLink : public Link {
 public:
  UsbipLink(Camera& camera, int sock) : Link(sock), camera_(camera) {}

  // One request (48 bytes, big-endian, as usbip_protocol.rst lays them out).
  bool receive() override {
    uint8_t h[48];
    if (!readAll(fd_, h, sizeof h)) return false;
    const uint32_t command = be32(h), seqnum = be32(h + 4), in = be32(h + 12), ep = be32(h + 16);
    const uint32_t length = be32(h + 24);
    if (command == 2)  // CMD_UNLINK of the request numbered at 20
      return reply(4, seqnum, camera_.cancelBulk(be32(h + 20)) ? -ECONNRESET : 0, {}, 0);
    if (command != 1) return false;  // not CMD_SUBMIT
    Bytes out;
    if (!in && length > 0) {
      out.resize(length);
      if (!readAll(fd_, out.data(), out.size())) return false;
    }
    if (ep != 0) {
      camera_.submitBulk(seqnum, length);
      return true;
    }
    Bytes answer;
    const int status = camera_.control(h + 40, out, answer) ? 0 : -EPIPE;
    return reply(3, seqnum, status, answer, in ? 0 : uint32_t(out.size()));
  }

  bool completeBulk(uint64_t id, const Bytes& payload) override {
    return reply(3, uint32_t(id), 0, payload, 0);
  }

 private:
  // RET_SUBMIT (3) or RET_UNLINK (4): the status, the length done, an IN transfer's data.
  bool reply(uint32_t command, uint32_t seqnum, int status, const Bytes& data, uint32_t done) {
    Bytes r;
    putBe32(r, command);
    putBe32(r, seqnum);
    for (int i = 0; i < 3; ++i) putBe32(r, 0);
    putBe32(r, uint32_t(status));
    putBe32(r, data.empty() ? done : uint32_t(data.size()));
    r.resize(48, 0);
    r.insert(r.end(), data.begin(), data.end());
    return sendAll(fd_, r.data(), r.size());
  }

  Camera& camera_;
};

// ---- usbredir: QEMU's usb-redir device, the camera on the host ----

#ifdef ORVELLE_USBREDIR
// This side is usbredir's "USB host", the one with the device. QEMU handles SET_ADDRESS
// itself and sends the other standard requests that change the device's state as packets of
// their own; they are answered here as the same control requests.
class UsbredirLink : public Link {
 public:
  UsbredirLink(Camera& camera, int sock)
      : Link(sock), camera_(camera), parser_(usbredirparser_create()) {
    usbredirparser& p = *parser_;
    p.priv = this;
    p.log_func = [](void*, int level, const char* message) {
      if (level <= usbredirparser_error) std::fprintf(stderr, "orvelle_uvc_camera: %s\n", message);
    };
    p.read_func = [](void* l, uint8_t* data, int n) {
      const ssize_t r = recv(self(l).fd_, data, size_t(n), MSG_DONTWAIT);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
      return r > 0 ? int(r) : -1;  // 0: the machine has gone
    };
    p.write_func = [](void* l, uint8_t* data, int n) {
      return sendAll(self(l).fd_, data, size_t(n)) ? n : -1;
    };
    p.hello_func = [](void* l, usb_redir_hello_header*) { self(l).connect(); };
    p.reset_func = [](void*) {};
    p.control_packet_func = [](void* l, uint64_t id, usb_redir_control_packet_header* h,
                               uint8_t* data, int n) { self(l).control(id, *h, data, n); };
    p.bulk_packet_func = [](void* l, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data,
                            int) { self(l).bulk(id, *h, data); };
    p.cancel_data_packet_func = [](void* l, uint64_t id) { self(l).cancel(id); };
    p.set_configuration_func = [](void* l, uint64_t id, usb_redir_set_configuration_header* h) {
      Bytes in;
      const bool ok = self(l).standard(0x00, 9, h->configuration, 0, in);
      usb_redir_configuration_status_header r{self(l).status(ok), h->configuration};
      usbredirparser_send_configuration_status(self(l).parser_, id, &r);
    };
    p.get_configuration_func = [](void* l, uint64_t id) {
      Bytes in;
      const bool ok = self(l).standard(0x80, 8, 0, 0, in) && in.size() == 1;
      usb_redir_configuration_status_header r{self(l).status(ok), ok ? in[0] : uint8_t(0)};
      usbredirparser_send_configuration_status(self(l).parser_, id, &r);
    };
    p.set_alt_setting_func = [](void* l, uint64_t id, usb_redir_set_alt_setting_header* h) {
      Bytes in;
      const bool ok = self(l).standard(0x01, 11, h->alt, h->interface, in);
      usb_redir_alt_setting_status_header r{self(l).status(ok), h->interface, h->alt};
      usbredirparser_send_alt_setting_status(self(l).parser_, id, &r);
    };
    p.get_alt_setting_func = [](void* l, uint64_t id, usb_redir_get_alt_setting_header* h) {
      Bytes in;
      const bool ok = self(l).standard(0x81, 10, 0, h->interface, in) && in.size() == 1;
      usb_redir_alt_setting_status_header r{self(l).status(ok), h->interface,
                                            ok ? in[0] : uint8_t(0)};
      usbredirparser_send_alt_setting_status(self(l).parser_, id, &r);
    };
    // Nothing the camera has (isochronous or interrupt endpoints, streams) is asked for; the
    // parser calls every callback it has a packet for, so none may be missing.
    p.start_iso_stream_func = [](void*, uint64_t, usb_redir_start_iso_stream_header*) {};
    p.stop_iso_stream_func = [](void*, uint64_t, usb_redir_stop_iso_stream_header*) {};
    p.start_interrupt_receiving_func = [](void*, uint64_t,
                                          usb_redir_start_interrupt_receiving_header*) {};
    p.stop_interrupt_receiving_func = [](void*, uint64_t,
                                         usb_redir_stop_interrupt_receiving_header*) {};
    p.alloc_bulk_streams_func = [](void*, uint64_t, usb_redir_alloc_bulk_streams_header*) {};
    p.free_bulk_streams_func = [](void*, uint64_t, usb_redir_free_bulk_streams_header*) {};
    p.start_bulk_receiving_func = [](void*, uint64_t, usb_redir_start_bulk_receiving_header*) {};
    p.stop_bulk_receiving_func = [](void*, uint64_t, usb_redir_stop_bulk_receiving_header*) {};
    p.iso_packet_func = [](void* l, uint64_t, usb_redir_iso_packet_header*, uint8_t* data, int) {
      usbredirparser_free_packet_data(self(l).parser_, data);
    };
    p.interrupt_packet_func = [](void* l, uint64_t, usb_redir_interrupt_packet_header*,
                                 uint8_t* data,
                                 int) { usbredirparser_free_packet_data(self(l).parser_, data); };
    // What QEMU's xHCI controller asks of a redirected device.
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                    usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length})
      usbredirparser_caps_set_cap(caps, cap);
    usbredirparser_init(parser_, "orvelle_uvc_camera", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);
    usbredirparser_do_write(parser_);  // the hello; a failure shows at the first read
  }
  ~UsbredirLink() override { usbredirparser_destroy(parser_); }
  UsbredirLink(const UsbredirLink&) = delete;
  UsbredirLink& operator=(const UsbredirLink&) = delete;

  bool receive() override {
    return usbredirparser_do_read(parser_) == 0 && usbredirparser_do_write(parser_) == 0;
  }

  bool completeBulk(uint64_t id, const Bytes& payload) override {
    usb_redir_bulk_packet_header h{kBulkIn, usb_redir_success, uint16_t(payload.size()), 0,
                                   uint16_t(payload.size() >> 16)};
    usbredirparser_send_bulk_packet(parser_, id, &h, const_cast<uint8_t*>(payload.data()),
                                    int(payload.size()));
    return usbredirparser_do_write(parser_) == 0;
  }

 private:
  static UsbredirLink& self(void* l) { return *static_cast<UsbredirLink*>(l); }
  static uint8_t status(bool ok) { return ok ? usb_redir_success : usb_redir_stall; }

  // The device plugged in, once the guest's capabilities are known: its interfaces and
  // endpoints, as its configuration descriptor has them, then its speed and identity.
  void connect() {
    const Bytes c = configDescriptor(), d = deviceDescriptor();
    usb_redir_interface_info_header interfaces{};
    usb_redir_ep_info_header endpoints{};
    std::fill(std::begin(endpoints.type), std::end(endpoints.type),
              uint8_t(usb_redir_type_invalid));
    endpoints.type[0] = endpoints.type[16] = usb_redir_type_control;
    endpoints.max_packet_size[0] = endpoints.max_packet_size[16] = d[7];
    uint8_t interface = 0;
    for (size_t i = 0; i + 2 <= c.size() && c[i] >= 2 && i + c[i] <= c.size(); i += c[i]) {
      if (c[i + 1] == 4 && c[i] >= 9 && c[i + 3] == 0) {  // an interface, its first setting
        const uint32_t n = interfaces.interface_count++;
        interface = interfaces.interface[n] = c[i + 2];
        interfaces.interface_class[n] = c[i + 5];
        interfaces.interface_subclass[n] = c[i + 6];
        interfaces.interface_protocol[n] = c[i + 7];
      } else if (c[i + 1] == 5 && c[i] >= 7) {  // an endpoint: usbredir numbers IN ones from 16
        const int k = (c[i + 2] & 0x80) >> 3 | (c[i + 2] & 0x0f);
        endpoints.type[k] = c[i + 3] & 3;
        endpoints.interval[k] = c[i + 6];
        endpoints.interface[k] = interface;
        endpoints.max_packet_size[k] = uint16_t(c[i + 4] | c[i + 5] << 8);
      }
    }
    usbredirparser_send_interface_info(parser_, &interfaces);
    usbredirparser_send_ep_info(parser_, &endpoints);
    usb_redir_device_connect_header device{usb_redir_speed_high,
                                           d[4],
                                           d[5],
                                           d[6],
                                           uint16_t(d[8] | d[9] << 8),
                                           uint16_t(d[10] | d[11] << 8),
                                           uint16_t(d[12] | d[13] << 8)};
    usbredirparser_send_device_connect(parser_, &device);
  }

  bool standard(uint8_t type, uint8_t request, uint8_t value, uint8_t index, Bytes& in) {
    const uint8_t setup[8] = {type, request, value, 0, index, 0, uint8_t(type & 0x80 ? 1 : 0), 0};
    return camera_.control(setup, {}, in);
  }

  void control(uint64_t id, usb_redir_control_packet_header h, uint8_t* data, int n) {
    const uint8_t setup[8] = {h.requesttype,     h.request,
                              uint8_t(h.value),  uint8_t(h.value >> 8),
                              uint8_t(h.index),  uint8_t(h.index >> 8),
                              uint8_t(h.length), uint8_t(h.length >> 8)};
    const Bytes out(data, data + n);
    usbredirparser_free_packet_data(parser_, data);
    Bytes in;
    const bool ok = camera_.control(setup, h.requesttype & 0x80 ? Bytes() : out, in);
    h.status = status(ok);
    if (h.requesttype & 0x80) {
      h.length = uint16_t(in.size());
      usbredirparser_send_control_packet(parser_, id, &h, in.data(), int(in.size()));
    } else {
      h.length = ok ? h.length : 0;
      usbredirparser_send_control_packet(parser_, id, &h, nullptr, 0);
    }
  }

  void bulk(uint64_t id, usb_redir_bulk_packet_header h, uint8_t* data) {
    usbredirparser_free_packet_data(parser_, data);
    if (h.endpoint == kBulkIn) {
      camera_.submitBulk(id, uint32_t(h.length_high) << 16 | h.length);
      return;
    }
    h.status = usb_redir_stall;  // no other bulk endpoint
    h.length = h.length_high = 0;
    usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0);
  }

  // An answer of its own for a transfer that was waiting; none for one already answered.
  void cancel(uint64_t id) {
    if (!camera_.cancelBulk(id)) return;
    usb_redir_bulk_packet_header h{kBulkIn, usb_redir_cancelled, 0, 0, 0};
    usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0);
  }

  Camera& camera_;
  usbredirparser* parser_;
};

// Listens at `path` for QEMU's chardev and serves the machine that connects, then the next
// (vm-run may give a machine up for another), until killed.
int serveUsbredir(const std::string& path, const Clip* clips, int commands) {
  // Bound under another name and renamed once listening: whoever sees `path` can connect.
  const std::string part = path + ".part";
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (part.size() >= sizeof a.sun_path) return fail("socket path too long: " + path);
  std::strcpy(a.sun_path, part.c_str());
  unlink(part.c_str());
  const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 1) != 0 ||
      rename(part.c_str(), path.c_str()) != 0)
    return fail("cannot listen at " + path + ": " + std::strerror(errno));
  for (;;) {
    const int c = accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0 && errno == EINTR) continue;
    if (c < 0) return fail(std::string("cannot accept: ") + std::strerror(errno));
    Camera camera(clips);
    UsbredirLink link(camera, c);
    camera.run(link, commands);
    close(c);
  }
}
#else
int serveUsbredir(const std::string&, const Clip*, int) {
  return fail("built without libusbredirparser (package libusbredirparser-dev)");
}
#endif

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  const char* fifo = nullptr;
  const char* usbredir = nullptr;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (a == "--commands" && i + 1 < argc) {
      fifo = argv[++i];
    } else if (a == "--usbredir" && i + 1 < argc) {
      usbredir = argv[++i];
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.size() != 2)
    return fail(
        "usage: orvelle_uvc_camera [--port N | --usbredir SOCKET] [--commands FIFO] "
        "FRAMES_640x480 FRAMES_1280x720");
  Clip clips[2];
  for (int i = 0; i < 2; ++i)
    if (!loadClip(files[i], kSizes[i], clips[i]))
      return fail(std::string("not a frame file with JPEGs of the size wanted: ") + files[i]);
  const int commands = fifo ? open(fifo, O_RDWR | O_NONBLOCK | O_CLOEXEC) : -1;
  if (fifo && commands < 0) return fail(std::string("cannot open ") + fifo);
  if (usbredir) return serveUsbredir(usbredir, clips, commands);

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return fail("no socket pair");
  // The kernel's end: vhci-hcd takes its own reference to the socket.
  const std::string attach = std::to_string(port) + " " + std::to_string(sv[1]) + " " +
                             std::to_string(0x10002) + " " + std::to_string(kSpeedHigh);
  const int fd = open((std::string(kVhci) + "/attach").c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || write(fd, attach.data(), attach.size()) != ssize_t(attach.size()))
    return fail(std::string("cannot attach to vhci-hcd (is it loaded?): ") + std::strerror(errno));
  close(fd);
  close(sv[1]);
  Camera camera(clips);
  UsbipLink link(camera, sv[0]);
  return camera.run(link, commands);
}
