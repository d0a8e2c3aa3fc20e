// SPDX-License-Identifier: Apache-2.0
#include "libcamera_camera.h"

#include <fcntl.h>
#include <glob.h>
#include <libcamera/libcamera.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <opencv2/imgproc.hpp>

namespace lc = libcamera;

namespace {

// The formats a viewfinder stream may come in, best first: the viewer's own B G R, then the
// ones that cost least to convert.
const lc::PixelFormat kFormats[] = {
    lc::formats::RGB888,   lc::formats::BGR888,   lc::formats::XRGB8888, lc::formats::ARGB8888,
    lc::formats::XBGR8888, lc::formats::ABGR8888, lc::formats::YUYV,     lc::formats::UYVY,
    lc::formats::YVYU,     lc::formats::NV12,     lc::formats::NV21,     lc::formats::YUV420,
    lc::formats::YVU420,   lc::formats::MJPEG,
};

bool convertible(const lc::PixelFormat& format) {
  return std::find(std::begin(kFormats), std::end(kFormats), format) != std::end(kFormats);
}

// libcamera writes its log to stderr unless told otherwise; the viewer prints only its lines.
std::unique_ptr<lc::CameraManager> startManager() {
  lc::logSetTarget(lc::LoggingTargetNone);
  auto manager = std::make_unique<lc::CameraManager>();
  if (manager->start() != 0) return nullptr;
  return manager;
}

// libcamera locks a camera's media devices while a program uses it, and another program's
// libcamera may then not list that camera at all (vimc's cannot set up its links): the lock
// tells that it is there. The device held, or empty.
std::string heldMediaDevice() {
  glob_t found{};
  std::string held;
  if (glob("/dev/media*", 0, nullptr, &found) == 0)
    for (size_t i = 0; i < found.gl_pathc && held.empty(); ++i) {
      const int fd = ::open(found.gl_pathv[i], O_RDWR | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      if (lockf(fd, F_TEST, 0) != 0) held = found.gl_pathv[i];
      ::close(fd);
    }
  globfree(&found);
  return held;
}

// One buffer's planes as mapped into memory.
struct Mapping {
  std::vector<cv::Mat> planes;  // rows of bytes, each plane's own length
  std::vector<std::pair<void*, size_t>> maps;
};

class LibcameraCamera : public Camera {
 public:
  LibcameraCamera(std::unique_ptr<lc::CameraManager> manager, std::shared_ptr<lc::Camera> camera)
      : manager_(std::move(manager)), camera_(std::move(camera)) {}
  ~LibcameraCamera() override;

  std::string open();
  Grab next(cv::Mat& frame, int ms) override;
  std::string whyLost() const override { return silence_.why(); }

 private:
  std::string cannotCapture() const { return "cannot capture from the camera " + camera_->id(); }
  std::string inUse() const {
    return "the camera " + camera_->id() + " is in use by another program";
  }
  int start(const lc::PixelFormat& format);
  void stop();
  bool map(const lc::FrameBuffer& buffer);
  bool toBgr(const lc::Request& request, cv::Mat& frame) const;
  void completed(lc::Request* request);  // on libcamera's thread
  void disconnected();                   // on libcamera's thread

  std::unique_ptr<lc::CameraManager> manager_;
  std::shared_ptr<lc::Camera> camera_;
  std::unique_ptr<lc::CameraConfiguration> config_;
  std::unique_ptr<lc::FrameBufferAllocator> allocator_;
  std::vector<std::unique_ptr<lc::Request>> requests_;
  std::map<const lc::FrameBuffer*, Mapping> mappings_;
  lc::Stream* stream_ = nullptr;
  bool acquired_ = false, started_ = false;
  Silence silence_;

  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<lc::Request*> done_;  // completed, oldest first; under mutex_
  bool gone_ = false;               // under mutex_
};

LibcameraCamera::~LibcameraCamera() {
  stop();
  camera_->requestCompleted.disconnect(this);
  camera_->disconnected.disconnect(this);
  if (acquired_) camera_->release();
}

std::string LibcameraCamera::open() {
  const int acquired = camera_->acquire();
  if (acquired == -EBUSY) return inUse();
  if (acquired != 0) return cannotCapture();
  acquired_ = true;
  camera_->requestCompleted.connect(this, &LibcameraCamera::completed);
  camera_->disconnected.connect(this, &LibcameraCamera::disconnected);
  const auto config = camera_->generateConfiguration({lc::StreamRole::Viewfinder});
  if (!config || config->size() != 1) return cannotCapture();
  const std::vector<lc::PixelFormat> offered = config->at(0).formats().pixelformats();
  // A pipeline may take a format and still not stream it (vimc on Linux 6.12 with RGB888):
  // the next one the viewer converts is tried then.
  for (const lc::PixelFormat& format : kFormats) {
    if (std::find(offered.begin(), offered.end(), format) == offered.end()) continue;
    const int started = start(format);
    if (started == 0) return {};
    stop();
    if (started == -EBUSY) return inUse();
  }
  return cannotCapture();
}

// A viewfinder stream at 640 x 480 in `format`, its buffers and requests, started: 0, or
// libcamera's error. The camera may well choose another size, which the viewer scales.
int LibcameraCamera::start(const lc::PixelFormat& format) {
  config_ = camera_->generateConfiguration({lc::StreamRole::Viewfinder});
  if (!config_ || config_->size() != 1) return -EINVAL;
  lc::StreamConfiguration& stream = config_->at(0);
  stream.pixelFormat = format;
  stream.size = lc::Size(640, 480);
  if (config_->validate() == lc::CameraConfiguration::Invalid || !convertible(stream.pixelFormat))
    return -EINVAL;
  if (const int error = camera_->configure(config_.get())) return error;
  stream_ = stream.stream();
  allocator_ = std::make_unique<lc::FrameBufferAllocator>(camera_);
  if (allocator_->allocate(stream_) <= 0) return -ENOMEM;
  for (const auto& buffer : allocator_->buffers(stream_)) {
    std::unique_ptr<lc::Request> request = camera_->createRequest();
    if (!request || request->addBuffer(stream_, buffer.get()) != 0 || !map(*buffer)) return -ENOMEM;
    requests_.push_back(std::move(request));
  }
  if (const int error = camera_->start()) return error;
  started_ = true;
  silence_.begin();
  for (const auto& request : requests_)
    if (const int error = camera_->queueRequest(request.get())) return error;
  return 0;
}

void LibcameraCamera::stop() {
  if (started_) camera_->stop();  // what is still queued completes, cancelled, in here
  started_ = false;
  requests_.clear();
  for (auto& [buffer, mapping] : mappings_)
    for (auto& [address, length] : mapping.maps) munmap(address, length);
  mappings_.clear();
  allocator_.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  done_.clear();
}

bool LibcameraCamera::map(const lc::FrameBuffer& buffer) {
  Mapping& mapping = mappings_[&buffer];
  // Planes may share one buffer at offsets, or each have a buffer of their own.
  std::map<int, std::pair<uint8_t*, size_t>> mapped;
  for (const lc::FrameBuffer::Plane& plane : buffer.planes()) {
    const int fd = plane.fd.get();
    size_t end = static_cast<size_t>(plane.offset) + plane.length;
    for (const lc::FrameBuffer::Plane& other : buffer.planes())
      if (other.fd.get() == fd)
        end = std::max(end, static_cast<size_t>(other.offset) + other.length);
    auto found = mapped.find(fd);
    if (found == mapped.end()) {
      void* address = mmap(nullptr, end, PROT_READ, MAP_SHARED, fd, 0);
      if (address == MAP_FAILED) return false;
      mapping.maps.emplace_back(address, end);
      found = mapped.emplace(fd, std::make_pair(static_cast<uint8_t*>(address), end)).first;
    }
    mapping.planes.emplace_back(1, static_cast<int>(plane.length), CV_8UC1,
                                found->second.first + plane.offset);
  }
  return true;
}

Grab LibcameraCamera::next(cv::Mat& frame, int ms) {
  std::vector<lc::Request*> done;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !done_.empty() || gone_; });
    if (gone_) return Grab::Lost;
    std::swap(done, done_);
  }
  if (done.empty()) return silence_.nothing();
  // Only the newest frame is shown; those before it go straight back to the camera.
  const lc::Request* newest = nullptr;
  for (const lc::Request* request : done)
    if (request->status() == lc::Request::RequestComplete &&
        request->findBuffer(stream_)->metadata().status == lc::FrameMetadata::FrameSuccess)
      newest = request;
  const bool shown = newest && toBgr(*newest, frame);
  for (lc::Request* request : done) {
    request->reuse(lc::Request::ReuseBuffers);
    camera_->queueRequest(request);
  }
  silence_.frame(shown);
  return shown ? Grab::Frame : silence_.nothing();
}

void LibcameraCamera::completed(lc::Request* request) {
  if (request->status() == lc::Request::RequestCancelled) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_.push_back(request);
  }
  ready_.notify_one();
}

void LibcameraCamera::disconnected() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
  }
  ready_.notify_one();
}

bool LibcameraCamera::toBgr(const lc::Request& request, cv::Mat& frame) const {
  const lc::FrameBuffer* buffer = request.findBuffer(stream_);
  const lc::StreamConfiguration& stream = config_->at(0);
  std::vector<cv::Mat> planes = mappings_.at(buffer).planes;
  // The bytes the camera says it wrote, never more than the buffer has.
  const auto& written = buffer->metadata().planes();
  for (size_t i = 0; i < planes.size() && i < written.size(); ++i)
    planes[i] =
        planes[i].colRange(0, std::min(planes[i].cols, static_cast<int>(written[i].bytesused)));
  return planesToBgr(stream.pixelFormat.fourcc(), cv::Size(stream.size.width, stream.size.height),
                     stream.stride, planes, frame);
}

}  // namespace

std::unique_ptr<Camera> openLibcamera(const std::string& id, std::string& why) {
  why.clear();
  std::unique_ptr<lc::CameraManager> manager = startManager();
  std::shared_ptr<lc::Camera> camera;
  if (manager && id.empty() && !manager->cameras().empty()) camera = manager->cameras().front();
  if (manager && !id.empty()) camera = manager->get(id);
  if (!camera) {
    if (const std::string held = heldMediaDevice(); !held.empty())
      why = "the camera " + (id.empty() ? held : id) + " is in use by another program";
    return nullptr;
  }
  auto opened = std::make_unique<LibcameraCamera>(std::move(manager), std::move(camera));
  why = opened->open();
  if (!why.empty()) return nullptr;
  return opened;
}

std::vector<std::string> listLibcameraCameras() {
  std::vector<std::string> lines;
  std::unique_ptr<lc::CameraManager> manager = startManager();
  if (!manager) return lines;
  for (const auto& camera : manager->cameras()) {
    const auto model = camera->properties().get(lc::properties::Model);
    lines.push_back(camera->id() + "\t" + (model ? *model + ", " : "") + "through libcamera");
  }
  return lines;
}
