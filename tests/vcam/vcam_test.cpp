// Runs OpenCV's real V4L2 backend against liborvelle_vcam (LD_PRELOAD is set by ctest).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <thread>
#include <vector>

#include "stamp.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const int kClipFrames = 12;

double Seconds(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Reads a frame file independently of the library, from the documented layout.
std::vector<cv::Mat> LoadFrames(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int w = 0, h = 0, n = 0;
  in >> magic >> w >> h >> n;
  in.get();
  std::vector<cv::Mat> frames;
  for (int i = 0; i < n && in; ++i) {
    cv::Mat f(h, w, CV_8UC3);
    in.read(reinterpret_cast<char*>(f.data), static_cast<std::streamsize>(f.total() * 3));
    if (in) frames.push_back(f);
  }
  return frames;
}

// The JPEGs of a version 2 frame file, from the documented layout.
std::vector<std::string> LoadJpegs(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  long long w = 0, h = 0, n = 0;
  in >> magic >> w >> h >> n;
  in.get();
  in.seekg(w * h * 3 * n, std::ios::cur);
  std::vector<unsigned long long> offsets;
  for (int i = 0; i <= n && in; ++i) {
    unsigned char b[8];
    in.read(reinterpret_cast<char*>(b), 8);
    unsigned long long v = 0;
    for (int k = 7; k >= 0; --k) v = v << 8 | b[k];
    offsets.push_back(v);
  }
  std::vector<std::string> jpegs;
  for (size_t i = 0; i + 1 < offsets.size() && in; ++i) {
    std::string j(offsets[i + 1] - offsets[i], '\0');
    in.seekg(static_cast<std::streamoff>(offsets[i]));
    in.read(j.data(), static_cast<std::streamsize>(j.size()));
    if (in) jpegs.push_back(j);
  }
  return jpegs;
}

void WriteFrames(const std::string& path, const std::vector<cv::Mat>& frames) {
  std::ofstream out(path, std::ios::binary);
  out << "ORVCAM1 " << frames[0].cols << " " << frames[0].rows << " " << frames.size() << "\n";
  for (const cv::Mat& f : frames)
    out.write(reinterpret_cast<const char*>(f.data), static_cast<std::streamsize>(f.total() * 3));
}

double MeanAbs(const cv::Mat& a, const cv::Mat& b) {
  return cv::norm(a, b, cv::NORM_L1) / static_cast<double>(a.total() * a.channels());
}

double MaxAbs(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF); }

class VcamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/orvelle-vcam-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    clip_path_ = dir_ + "/clip.orv";
    ASSERT_TRUE(fs::exists(ORVELLE_TEST_CLIP)) << "missing test clip " << ORVELLE_TEST_CLIP;
    std::string cmd = std::string(ORVELLE_VCAM_FRAMES_TOOL) + " " + ORVELLE_TEST_CLIP + " " +
                      clip_path_ + " -n " + std::to_string(kClipFrames) + " > /dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    clip_ = LoadFrames(clip_path_);
    ASSERT_EQ(clip_.size(), static_cast<size_t>(kClipFrames));
  }

  static void TearDownTestSuite() { fs::remove_all(dir_); }

  void SetUp() override {
    for (const char* v : {"DEVICE", "FRAMES", "CONTROL", "FORMAT", "HONOUR_SIZE", "FPS",
                          "FAIL_AFTER", "STAMP", "REFUSE", "LOG", "START_MS"})
      unsetenv((std::string("ORVELLE_VCAM_") + v).c_str());
    control_ = dir_ + "/control";
    Control("play");
    setenv("ORVELLE_VCAM_CONTROL", control_.c_str(), 1);
    setenv("ORVELLE_VCAM_FRAMES", clip_path_.c_str(), 1);
    // Unpaced unless a test is about time: a reader slowed down by a busy machine loses
    // frames, as from a real camera, and the frame checks would see gaps.
    setenv("ORVELLE_VCAM_FPS", "0", 1);
  }

  void Control(const std::string& words) { std::ofstream(control_) << words << "\n"; }

  static cv::Mat Read(cv::VideoCapture& cap) {
    cv::Mat f;
    EXPECT_TRUE(cap.read(f));
    return f.clone();
  }

  // Index of the clip frame that `f` equals exactly after `scale` (-1 if none).
  int ClipIndex(const cv::Mat& f, cv::Size scale = {}) const {
    for (int i = 0; i < kClipFrames; ++i) {
      cv::Mat ref = clip_[i];
      if (!scale.empty()) cv::resize(ref, ref, scale, 0, 0, cv::INTER_NEAREST_EXACT);
      if (ref.size() == f.size() && MaxAbs(ref, f) == 0) return i;
    }
    return -1;
  }

  static std::string dir_, clip_path_;
  static std::vector<cv::Mat> clip_;
  std::string control_;
};

std::string VcamTest::dir_, VcamTest::clip_path_;
std::vector<cv::Mat> VcamTest::clip_;

TEST_F(VcamTest, ServesClipFramesExactlyInOrderAndLoops) {
  cv::VideoCapture cap(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened()) << "is LD_PRELOAD set to liborvelle_vcam.so?";
  EXPECT_EQ(cap.getBackendName(), "V4L2");
  EXPECT_EQ(cap.get(cv::CAP_PROP_FOURCC), V4L2_PIX_FMT_BGR24);
  // OpenCV 4.6 drops the first frame after STREAMON, so reading starts at clip frame 1.
  int expected = 1;
  for (int k = 0; k < kClipFrames + 4; ++k, expected = (expected + 1) % kClipFrames) {
    cv::Mat f = Read(cap);
    ASSERT_EQ(f.size(), cv::Size(768, 576));
    ASSERT_EQ(ClipIndex(f), expected) << "read " << k;
  }
}

TEST_F(VcamTest, RequestedSizeIgnoredOrHonoured) {
  {
    cv::VideoCapture cap(0, cv::CAP_V4L2);
    ASSERT_TRUE(cap.isOpened());
    EXPECT_EQ(cap.get(cv::CAP_PROP_FRAME_WIDTH), 768);
    cap.set(cv::CAP_PROP_FRAME_WIDTH, 640);
    cap.set(cv::CAP_PROP_FRAME_HEIGHT, 480);
    EXPECT_EQ(cap.get(cv::CAP_PROP_FRAME_WIDTH), 768);
    EXPECT_EQ(Read(cap).size(), cv::Size(768, 576));
  }
  setenv("ORVELLE_VCAM_HONOUR_SIZE", "1", 1);
  cv::VideoCapture cap(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened());
  cap.set(cv::CAP_PROP_FRAME_WIDTH, 640);
  cap.set(cv::CAP_PROP_FRAME_HEIGHT, 480);
  EXPECT_EQ(cap.get(cv::CAP_PROP_FRAME_HEIGHT), 480);
  cv::Mat f = Read(cap);
  ASSERT_EQ(f.size(), cv::Size(640, 480));
  int first = ClipIndex(f, f.size());
  EXPECT_GE(first, 0) << "scaled frame differs from cv::resize(INTER_NEAREST_EXACT)";
  // Widths are rounded down to a multiple of 4: OpenCV 4.6 would skew rows of other widths.
  cap.set(cv::CAP_PROP_FRAME_WIDTH, 323);
  cap.set(cv::CAP_PROP_FRAME_HEIGHT, 200);
  f = Read(cap);
  ASSERT_EQ(f.size(), cv::Size(320, 200));
  EXPECT_GE(ClipIndex(f, f.size()), 0);
}

TEST_F(VcamTest, YuyvWithinConversionError) {
  setenv("ORVELLE_VCAM_FORMAT", "YUYV", 1);
  {
    cv::VideoCapture cap(0, cv::CAP_V4L2);
    ASSERT_TRUE(cap.isOpened());
    EXPECT_EQ(cap.get(cv::CAP_PROP_FOURCC), V4L2_PIX_FMT_YUYV);
    for (int k = 0; k < 3; ++k) {
      cv::Mat f = Read(cap);
      const cv::Mat& right = clip_[(k + 1) % kClipFrames];
      const cv::Mat& next = clip_[(k + 2) % kClipFrames];
      EXPECT_LT(MeanAbs(f, right), 3.0);
      EXPECT_LT(MeanAbs(f, right), MeanAbs(f, next)) << "read " << k << " is not the right frame";
    }
  }
  // Colours constant over each pixel pair lose nothing to chroma subsampling: only rounding.
  std::vector<cv::Mat> blocks;
  for (int i = 0; i < 3; ++i) {
    cv::Mat small(24, 32, CV_8UC3), big;
    cv::randu(small, 0, 256);
    cv::resize(small, big, {64, 48}, 0, 0, cv::INTER_NEAREST);
    blocks.push_back(big);
  }
  std::string path = dir_ + "/blocks.orv";
  WriteFrames(path, blocks);
  setenv("ORVELLE_VCAM_FRAMES", path.c_str(), 1);
  cv::VideoCapture cap(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened());
  for (int k = 0; k < 4; ++k) {
    cv::Mat f = Read(cap);
    ASSERT_EQ(f.size(), cv::Size(64, 48));
    EXPECT_LE(MaxAbs(f, blocks[(k + 1) % 3]), 3) << "read " << k;
  }
}

TEST_F(VcamTest, PacesFramesAtConfiguredRate) {
  struct Case {
    const char* fps;
    double reported, lo, hi;
  };
  for (Case c : {Case{nullptr, 30, 24, 36}, Case{"60", 60, 45, 75}, Case{"0", 0, 300, 1e9}}) {
    if (c.fps)
      setenv("ORVELLE_VCAM_FPS", c.fps, 1);
    else
      unsetenv("ORVELLE_VCAM_FPS");
    cv::VideoCapture cap(0, cv::CAP_V4L2);
    ASSERT_TRUE(cap.isOpened());
    EXPECT_EQ(cap.get(cv::CAP_PROP_FPS), c.reported);
    ASSERT_TRUE(cap.grab());
    auto t0 = Clock::now();
    for (int k = 0; k < 30; ++k) ASSERT_TRUE(cap.grab());  // grab(): no copies to slow it
    double fps = 30 / Seconds(t0);
    EXPECT_GT(fps, c.lo) << "ORVELLE_VCAM_FPS=" << (c.fps ? c.fps : "unset");
    EXPECT_LT(fps, c.hi) << "ORVELLE_VCAM_FPS=" << (c.fps ? c.fps : "unset");
  }
  // A camera slow to start: its first frame (which OpenCV drops) comes 400 ms and one
  // interval after STREAMON, the next one interval later; unpaced, 400 ms after it.
  setenv("ORVELLE_VCAM_START_MS", "400", 1);
  for (const char* fps : {"30", "0"}) {
    setenv("ORVELLE_VCAM_FPS", fps, 1);
    cv::VideoCapture cap(0, cv::CAP_V4L2);
    ASSERT_TRUE(cap.isOpened());
    const auto t0 = Clock::now();
    ASSERT_TRUE(cap.grab());
    const double lo = fps[0] == '0' ? 0.4 : 0.4 + 2 / 30.0;
    EXPECT_GT(Seconds(t0), lo - 0.002) << "ORVELLE_VCAM_FPS=" << fps;
    EXPECT_LT(Seconds(t0), lo + 0.15) << "ORVELLE_VCAM_FPS=" << fps;
  }
}

TEST_F(VcamTest, FailAfterNUnplugsTheCamera) {
  for (int n : {4, 0}) {
    setenv("ORVELLE_VCAM_FAIL_AFTER", std::to_string(n).c_str(), 1);
    {
      cv::VideoCapture cap(0, cv::CAP_V4L2);
      ASSERT_TRUE(cap.isOpened()) << "N=" << n;
      // The device serves N frames; OpenCV swallows the first of them.
      for (int k = 0; k + 1 < n; ++k) EXPECT_TRUE(cap.grab()) << "N=" << n << " read " << k;
      cv::Mat f;
      auto t0 = Clock::now();
      EXPECT_FALSE(cap.read(f)) << "N=" << n;
      EXPECT_FALSE(cap.read(f)) << "N=" << n;
      EXPECT_LT(Seconds(t0), 0.5) << "a dead camera must not stall reads";
    }
    EXPECT_FALSE(cv::VideoCapture(0, cv::CAP_V4L2).isOpened()) << "unplugged camera reopened";
  }
  unsetenv("ORVELLE_VCAM_FAIL_AFTER");  // a changed environment is a new camera
  EXPECT_TRUE(cv::VideoCapture(0, cv::CAP_V4L2).isOpened());
}

TEST_F(VcamTest, ControlFileSwitchesScene) {
  cv::VideoCapture cap(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened());
  cv::Mat a = Read(cap), b;
  for (int k = 0; k < 4; ++k) b = Read(cap);
  EXPECT_GT(MaxAbs(a, b), 40) << "people walk in the clip, so played frames must change";

  Control("still");
  const int last = ClipIndex(b);
  ASSERT_NE(last, -1);
  cv::Mat held = Read(cap);
  EXPECT_EQ(ClipIndex(held), -1) << "a still frame should carry sensor noise";
  const cv::Mat& clean = clip_[last];
  for (int k = 0; k < 5; ++k) {
    cv::Mat f = Read(cap);
    EXPECT_LE(MaxAbs(f, clean), 2) << "noise beyond +-2 or the picture moved";
    EXPECT_GT(MeanAbs(f, clean), 0.5) << "no noise";
    EXPECT_GT(MeanAbs(f, held), 0.5) << "noise must differ from frame to frame";
  }

  Control("play");
  int i0 = ClipIndex(Read(cap)), i1 = ClipIndex(Read(cap));
  EXPECT_EQ(i0, (last + 1) % kClipFrames);
  EXPECT_EQ(i1, (i0 + 1) % kClipFrames) << "play resumes the clip";

  Control("fail");
  cv::Mat f;
  auto t0 = Clock::now();
  EXPECT_FALSE(cap.read(f));
  EXPECT_LT(Seconds(t0), 0.5);
  cap.release();
  EXPECT_FALSE(cv::VideoCapture(0, cv::CAP_V4L2).isOpened());
  Control("play");  // plugged in again
  cv::VideoCapture again(0, cv::CAP_V4L2);
  ASSERT_TRUE(again.isOpened());
  EXPECT_NE(ClipIndex(Read(again)), -1);
}

// OpenCV 4.6 never re-reads the format while streaming: it keeps the negotiated shape, and
// only a reopen sees the new mode.
TEST_F(VcamTest, MidRunModeChangeSeenOnlyAfterReopen) {
  cv::VideoCapture cap(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened());
  Read(cap);
  Control("play size 320x240 format YUYV");
  cv::Mat f = Read(cap);
  EXPECT_EQ(f.size(), cv::Size(768, 576));
  EXPECT_EQ(ClipIndex(f), -1) << "bytes of the new mode should be misread";
  cap.release();
  cap.open(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened());
  EXPECT_EQ(cap.get(cv::CAP_PROP_FOURCC), V4L2_PIX_FMT_YUYV);
  EXPECT_EQ(Read(cap).size(), cv::Size(320, 240));
}

TEST_F(VcamTest, AbsentCameraCases) {
  setenv("ORVELLE_VCAM_DEVICE", "none", 1);
  EXPECT_FALSE(cv::VideoCapture(0, cv::CAP_V4L2).isOpened());
  unsetenv("ORVELLE_VCAM_DEVICE");

  std::string truncated = dir_ + "/truncated.orv";
  fs::copy_file(clip_path_, truncated, fs::copy_options::overwrite_existing);
  fs::resize_file(truncated, fs::file_size(clip_path_) - 1);
  for (std::string frames : {truncated, dir_ + "/missing.orv"}) {
    setenv("ORVELLE_VCAM_FRAMES", frames.c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(cv::VideoCapture(0, cv::CAP_V4L2).isOpened()) << frames;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("orvelle_vcam: "), std::string::npos);
  }

  // MJPG serves JPEGs made with the frame file: none in a version 1 file or for the pattern,
  // and none to draw a stamp into.
  std::string raw = dir_ + "/raw.orv";
  WriteFrames(raw, {clip_[0]});
  struct Case {
    const char *frames, *format, *stamp;
  };
  for (Case c : {Case{clip_path_.c_str(), "H264", "0"}, Case{raw.c_str(), "MJPG", "0"},
                 Case{"", "MJPG", "0"}, Case{clip_path_.c_str(), "MJPG", "1"}}) {
    setenv("ORVELLE_VCAM_FRAMES", c.frames, 1);
    setenv("ORVELLE_VCAM_FORMAT", c.format, 1);
    setenv("ORVELLE_VCAM_STAMP", c.stamp, 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(cv::VideoCapture(0, cv::CAP_V4L2).isOpened()) << c.format << " " << c.frames;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("orvelle_vcam: "), std::string::npos);
  }
}

// Each buffer holds exactly the frame's JPEG from the file, and bytesused is its length:
// OpenCV decodes only bytesused bytes, and other clients take the frame to end there.
TEST_F(VcamTest, MjpegServesEachFramesJpegExactly) {
  setenv("ORVELLE_VCAM_FORMAT", "MJPG", 1);
  const std::vector<std::string> jpegs = LoadJpegs(clip_path_);
  ASSERT_EQ(jpegs.size(), static_cast<size_t>(kClipFrames));
  int fd = open("/dev/video0", O_RDWR);
  ASSERT_GE(fd, 0);
  v4l2_fmtdesc desc{};
  desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  ASSERT_EQ(ioctl(fd, VIDIOC_ENUM_FMT, &desc), 0);
  EXPECT_EQ(desc.pixelformat, V4L2_PIX_FMT_MJPEG);
  EXPECT_TRUE(desc.flags & V4L2_FMT_FLAG_COMPRESSED);
  desc.index = 1;
  EXPECT_EQ(ioctl(fd, VIDIOC_ENUM_FMT, &desc), -1) << "an MJPEG-only camera";
  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  fmt.fmt.pix.width = 640;
  fmt.fmt.pix.height = 480;
  fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
  ASSERT_EQ(ioctl(fd, VIDIOC_S_FMT, &fmt), 0);
  EXPECT_EQ(fmt.fmt.pix.pixelformat, V4L2_PIX_FMT_MJPEG);
  EXPECT_EQ(fmt.fmt.pix.width, 768u);
  size_t largest = 0;
  for (const std::string& j : jpegs) largest = std::max(largest, j.size());
  EXPECT_GE(fmt.fmt.pix.sizeimage, largest);

  v4l2_requestbuffers req{};
  req.count = 2;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  ASSERT_EQ(ioctl(fd, VIDIOC_REQBUFS, &req), 0);
  std::vector<const char*> maps;
  v4l2_buffer b{};
  for (unsigned i = 0; i < req.count; ++i) {
    b = {};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = i;
    ASSERT_EQ(ioctl(fd, VIDIOC_QUERYBUF, &b), 0);
    void* m = mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset);
    ASSERT_NE(m, MAP_FAILED);
    maps.push_back(static_cast<const char*>(m));
    ASSERT_EQ(ioctl(fd, VIDIOC_QBUF, &b), 0);
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  ASSERT_EQ(ioctl(fd, VIDIOC_STREAMON, &type), 0);
  // Past the loop, so each buffer is refilled with JPEGs of other lengths.
  std::string last;
  for (int k = 0; k < kClipFrames + 3; ++k) {
    if (k == kClipFrames + 1) Control("still");
    ASSERT_EQ(ioctl(fd, VIDIOC_DQBUF, &b), 0);
    const std::string got(maps[b.index], b.bytesused);
    const std::string& want = k <= kClipFrames ? jpegs[k % kClipFrames] : last;
    EXPECT_EQ(b.bytesused, want.size()) << "frame " << k;
    EXPECT_TRUE(got == want) << "frame " << k << " is not its JPEG from the file";
    last = got;
    ASSERT_EQ(ioctl(fd, VIDIOC_QBUF, &b), 0);
  }
  ASSERT_EQ(ioctl(fd, VIDIOC_STREAMOFF, &type), 0);
  for (const char* m : maps) munmap(const_cast<char*>(m), b.length);
  close(fd);

  // What OpenCV makes of it: each JPEG decoded, the clip's frame within JPEG's loss.
  Control("play");
  cv::VideoCapture cap(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened());
  EXPECT_EQ(cap.get(cv::CAP_PROP_FOURCC), V4L2_PIX_FMT_MJPEG);
  for (int k = 0; k < 3; ++k) {
    cv::Mat f = Read(cap);
    ASSERT_EQ(f.size(), cv::Size(768, 576));
    const int i = (k + 1) % kClipFrames;
    EXPECT_EQ(MaxAbs(f, cv::imdecode(cv::Mat(1, static_cast<int>(jpegs[i].size()), CV_8U,
                                             const_cast<char*>(jpegs[i].data())),
                                     cv::IMREAD_COLOR)),
              0)
        << "read " << k;
    EXPECT_LT(MeanAbs(f, clip_[i]), 2.0) << "read " << k;
  }
}

TEST_F(VcamTest, TestPatternWithoutFrameFile) {
  unsetenv("ORVELLE_VCAM_FRAMES");
  cv::VideoCapture cap(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened());
  cv::Mat a = Read(cap), b = Read(cap);
  ASSERT_EQ(a.size(), cv::Size(640, 480));
  EXPECT_GT(MaxAbs(a, b), 100) << "the pattern should move";
}

TEST_F(VcamTest, CapAnyFindsTheCamera) {
  cv::VideoCapture cap(0, cv::CAP_ANY);
  ASSERT_TRUE(cap.isOpened());
  EXPECT_EQ(cap.getBackendName(), "V4L2");
  EXPECT_EQ(ClipIndex(Read(cap)), 1);
}

// Raw V4L2 use, as OpenCV's waitAny() and other clients poll: the device must only be ready
// when a frame is due, also when polled together with ordinary fds.
TEST_F(VcamTest, PollAndSelectWaitForFrames) {
  // Slow enough that a loaded machine does not reach the next frame between two steps.
  setenv("ORVELLE_VCAM_FPS", "10", 1);
  int fd = open("/dev/video0", O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  v4l2_requestbuffers req{};
  req.count = 2;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  ASSERT_EQ(ioctl(fd, VIDIOC_REQBUFS, &req), 0);
  int other = open("/dev/video0", O_RDWR);
  EXPECT_EQ(ioctl(other, VIDIOC_REQBUFS, &req), -1) << "a second owner must be refused";
  EXPECT_EQ(errno, EBUSY);
  close(other);
  std::vector<void*> maps;
  for (unsigned i = 0; i < req.count; ++i) {
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = i;
    ASSERT_EQ(ioctl(fd, VIDIOC_QUERYBUF, &b), 0);
    maps.push_back(mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset));
    ASSERT_NE(maps.back(), MAP_FAILED);
    ASSERT_EQ(ioctl(fd, VIDIOC_QBUF, &b), 0);
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  ASSERT_EQ(ioctl(fd, VIDIOC_STREAMON, &type), 0);
  v4l2_buffer b{};
  b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  b.memory = V4L2_MEMORY_MMAP;
  EXPECT_EQ(ioctl(fd, VIDIOC_DQBUF, &b), -1);
  EXPECT_EQ(errno, EAGAIN) << "no frame is due right after STREAMON";

  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  ASSERT_EQ(write(pipefd[1], "x", 1), 1);
  pollfd p[2] = {{pipefd[0], POLLIN, 0}, {fd, POLLIN, 0}};
  EXPECT_EQ(poll(p, 2, 1000), 1);
  EXPECT_EQ(p[0].revents, POLLIN);
  EXPECT_EQ(p[1].revents, 0);
  EXPECT_EQ(p[1].fd, fd) << "poll must hand back the caller's fds";
  EXPECT_EQ(poll(&p[1], 1, 2), 0);

  auto t0 = Clock::now();
  EXPECT_EQ(poll(&p[1], 1, 1000), 1);
  EXPECT_EQ(p[1].revents, POLLIN);
  EXPECT_LT(Seconds(t0), 0.2);
  ASSERT_EQ(ioctl(fd, VIDIOC_DQBUF, &b), 0);
  const timeval first = b.timestamp;
  EXPECT_EQ(MaxAbs(cv::Mat(576, 768, CV_8UC3, maps[b.index]), clip_[0]), 0);
  ASSERT_EQ(ioctl(fd, VIDIOC_QBUF, &b), 0);

  fd_set rd;
  FD_ZERO(&rd);
  FD_SET(fd, &rd);
  FD_SET(pipefd[0], &rd);
  timeval tv{1, 0};
  t0 = Clock::now();
  EXPECT_EQ(select(std::max(fd, pipefd[0]) + 1, &rd, nullptr, nullptr, &tv), 1);
  EXPECT_TRUE(FD_ISSET(pipefd[0], &rd));
  EXPECT_FALSE(FD_ISSET(fd, &rd));
  char c;
  ASSERT_EQ(read(pipefd[0], &c, 1), 1);
  FD_ZERO(&rd);
  FD_SET(fd, &rd);
  FD_SET(pipefd[0], &rd);
  tv = {1, 0};
  EXPECT_EQ(select(std::max(fd, pipefd[0]) + 1, &rd, nullptr, nullptr, &tv), 1);
  EXPECT_TRUE(FD_ISSET(fd, &rd));
  EXPECT_FALSE(FD_ISSET(pipefd[0], &rd));
  EXPECT_LT(Seconds(t0), 0.2);
  ASSERT_EQ(ioctl(fd, VIDIOC_DQBUF, &b), 0);
  double gap = static_cast<double>(b.timestamp.tv_sec - first.tv_sec) +
               static_cast<double>(b.timestamp.tv_usec - first.tv_usec) * 1e-6;
  EXPECT_NEAR(gap, 1 / 10.0, 0.001) << "frames are stamped at their capture time";
  EXPECT_EQ(b.sequence, 1u);

  ASSERT_EQ(ioctl(fd, VIDIOC_STREAMOFF, &type), 0);
  req.count = 0;
  EXPECT_EQ(ioctl(fd, VIDIOC_REQBUFS, &req), -1) << "buffers are still mapped";
  for (void* m : maps) munmap(m, b.length);
  EXPECT_EQ(ioctl(fd, VIDIOC_REQBUFS, &req), 0);
  close(pipefd[0]);
  close(pipefd[1]);
  close(fd);
}

// ---- a driver's queue ----

int Stamp(const cv::Mat& f) { return orvelle_stamp_read(f.data, f.cols, f.rows, f.step); }

double MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Frames are captured at their due times into the four buffers OpenCV queues; a reader that
// falls behind gets the oldest waiting frame, and later ones are dropped until it catches up.
TEST_F(VcamTest, SlowReaderGetsOldestFramesAndCanDrainToTheNewest) {
  const std::string log = dir_ + "/frames.log";
  setenv("ORVELLE_VCAM_FPS", "50", 1);
  setenv("ORVELLE_VCAM_STAMP", "1", 1);
  setenv("ORVELLE_VCAM_LOG", log.c_str(), 1);
  cv::VideoCapture cap(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened());
  cv::Mat f = Read(cap);
  EXPECT_EQ(Stamp(f), 1) << "OpenCV swallows frame 0";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // 15 intervals
  f = Read(cap);
  EXPECT_EQ(Stamp(f), 2) << "not the oldest waiting frame";
  EXPECT_GT(MonotonicMs() - cap.get(cv::CAP_PROP_POS_MSEC), 200) << "frame 2 is 250 ms old";

  // waitAny() dequeues a waiting frame; retrieve() must follow, or the next waitAny() does
  // nothing and reports it ready again.
  std::vector<int> ready, drained;
  while (cv::VideoCapture::waitAny({cap}, ready, 1000000) && !ready.empty() &&
         drained.size() < 10) {
    ASSERT_TRUE(cap.retrieve(f));
    drained.push_back(Stamp(f));
  }
  ASSERT_GE(drained.size(), 3u);
  EXPECT_EQ(std::vector<int>(drained.begin(), drained.begin() + 3), (std::vector<int>{3, 4, 5}))
      << "four buffers held frames 2 to 5";
  for (size_t i = 3; i < drained.size(); ++i)
    EXPECT_GE(drained[i], 16) << "only a frame due during the drain may follow";
  f = Read(cap);
  const int fresh = Stamp(f);
  EXPECT_GE(fresh, 16) << "frames due while no buffer was free are skipped";
  EXPECT_LT(MonotonicMs() - cap.get(cv::CAP_PROP_POS_MSEC), 150) << "not a new frame";
  cap.release();

  // One line per dequeued frame: its number, capture and dequeue times in ns.
  std::ifstream in(log);
  std::vector<long long> k, shot, taken;
  for (long long a, b, c; in >> a >> b >> c;) k.push_back(a), shot.push_back(b), taken.push_back(c);
  std::vector<long long> expected{0, 1, 2};
  expected.insert(expected.end(), drained.begin(), drained.end());
  expected.push_back(fresh);
  ASSERT_EQ(k, expected);
  for (size_t i = 0; i < k.size(); ++i) {
    EXPECT_NEAR(shot[i] - shot[0], k[i] * 20000000, 1)
        << "frame " << k[i] << " not captured when due";
    EXPECT_GE(taken[i], shot[i]);
  }
  EXPECT_GT(taken[2] - shot[2], 250000000) << "frame 2 was dequeued 300 ms after capture";
}

TEST_F(VcamTest, StallSilencesTheCameraUntilPlay) {
  setenv("ORVELLE_VCAM_FPS", "50", 1);
  setenv("ORVELLE_VCAM_STAMP", "1", 1);
  cv::VideoCapture cap(0, cv::CAP_V4L2);
  ASSERT_TRUE(cap.isOpened());
  int before = Stamp(Read(cap));
  Control("stall");
  // Frames captured before the stall may still wait in the buffers.
  std::vector<int> ready;
  cv::Mat f;
  for (int i = 0; i < 4 && cv::VideoCapture::waitAny({cap}, ready, 1000000); ++i) {
    ASSERT_TRUE(cap.retrieve(f));
    before = Stamp(f);
  }
  auto t0 = Clock::now();
  EXPECT_FALSE(cv::VideoCapture::waitAny({cap}, ready, 300000000));
  EXPECT_TRUE(ready.empty());
  EXPECT_GT(Seconds(t0), 0.29);
  Control("play");
  t0 = Clock::now();
  ASSERT_TRUE(cv::VideoCapture::waitAny({cap}, ready, 1000000000));
  EXPECT_LT(Seconds(t0), 0.25) << "play did not resume at once";
  ASSERT_TRUE(cap.retrieve(f));
  EXPECT_GE(Stamp(f), before + 15) << "time goes on while stalled";
}

TEST_F(VcamTest, BusyOrDeniedCameraDoesNotOpen) {
  setenv("ORVELLE_VCAM_REFUSE", "busy", 1);
  EXPECT_FALSE(cv::VideoCapture(0, cv::CAP_V4L2).isOpened());
  int fd = open("/dev/video0", O_RDWR);
  ASSERT_GE(fd, 0) << "a busy camera still opens";
  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  EXPECT_EQ(ioctl(fd, VIDIOC_G_FMT, &fmt), 0);
  EXPECT_EQ(fmt.fmt.pix.width, 768u);
  EXPECT_EQ(ioctl(fd, VIDIOC_S_FMT, &fmt), -1);
  EXPECT_EQ(errno, EBUSY);
  close(fd);

  setenv("ORVELLE_VCAM_REFUSE", "denied", 1);
  EXPECT_FALSE(cv::VideoCapture(0, cv::CAP_V4L2).isOpened());
  EXPECT_EQ(open("/dev/video0", O_RDWR), -1);
  EXPECT_EQ(errno, EACCES);
}

// The viewer scales every camera to 640 x 480 bilinearly and may mark even pixels green.
TEST_F(VcamTest, StampSurvivesScalingYuyvAndMarks) {
  setenv("ORVELLE_VCAM_STAMP", "1", 1);
  auto onScreen = [](const cv::Mat& f) {
    cv::Mat p;
    cv::resize(f, p, {640, 480}, 0, 0, cv::INTER_LINEAR);
    for (int y = 0; y < p.rows; y += 2)
      for (int x = 0; x < p.cols; x += 2) p.at<cv::Vec3b>(y, x) = {0, 255, 0};
    return Stamp(p);
  };
  for (const char* mode : {"play", "play size 3840x2160", "play format YUYV", "still"}) {
    Control(mode);
    cv::VideoCapture cap(0, cv::CAP_V4L2);
    ASSERT_TRUE(cap.isOpened());
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(onScreen(Read(cap)), k) << mode;
  }
  cv::Mat a(576, 768, CV_8UC3), b;
  for (int v : {0, 255}) {
    a = v;
    EXPECT_EQ(Stamp(a), -1) << "a flat picture read as a number";
  }
  a.colRange(0, 480) = 239;  // a window whose first picture is only partly painted
  EXPECT_EQ(Stamp(a), -1) << "a half-painted window read as a number";
  cv::randu(a, 0, 256);
  EXPECT_EQ(Stamp(a), -1) << "noise read as a number";
  b = a.clone();
  orvelle_stamp_write(a.data, a.cols, a.rows, a.step, 0x5a5a);
  orvelle_stamp_write(b.data, b.cols, b.rows, b.step, 0x5a5b);
  EXPECT_EQ(Stamp(a), 0x5a5a);
  cv::addWeighted(a, 0.5, b, 0.5, 0, b);
  EXPECT_EQ(Stamp(b), -1) << "a blend of two frames read as a number";
}

}  // namespace
