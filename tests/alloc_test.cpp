// A pass of the frame loop must not touch the heap once the first pass has sized everything.
// This executable replaces the allocation functions with counting ones that forward to
// glibc's own (OpenCV's buffers come through posix_memalign, its small objects through new).

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <new>
#include <opencv2/core.hpp>
#include <thread>
#include <vector>

#include "overlay.h"
#include "viewer.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void count() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

void* newOrThrow(size_t size, size_t alignment = 0) {
  count();
  void* p =
      alignment ? __libc_memalign(alignment, size ? size : 1) : __libc_malloc(size ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

extern "C" {
void* malloc(size_t size) noexcept {
  count();
  return __libc_malloc(size);
}
void* calloc(size_t count_, size_t size) noexcept {
  count();
  return __libc_calloc(count_, size);
}
void* realloc(void* pointer, size_t size) noexcept {
  count();
  return __libc_realloc(pointer, size);
}
void* memalign(size_t alignment, size_t size) noexcept {
  count();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
  count();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  count();
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}

void* operator new(size_t size) { return newOrThrow(size); }
void* operator new[](size_t size) { return newOrThrow(size); }
void* operator new(size_t size, std::align_val_t a) { return newOrThrow(size, size_t(a)); }
void* operator new[](size_t size, std::align_val_t a) { return newOrThrow(size, size_t(a)); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  count();
  return __libc_malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  count();
  return __libc_malloc(size ? size : 1);
}

namespace {

// Allocations in passes 2 to `passes` of the loop, all on the same frame.
long allocationsAfterTheFirstPass(const cv::Mat& frame, bool marking, int passes = 100) {
  Viewer viewer;
  detecting = false;
  if (marking) {
    preparePicture(viewer, frame);
    handleKey(viewer, 's');
  }
  allocations = 0;
  for (int pass = 0; pass < passes; ++pass) {
    counting = pass > 0;
    preparePicture(viewer, frame);
    handleKey(viewer, -1);
  }
  counting = false;
  EXPECT_EQ(detecting, marking);
  detecting = false;
  return allocations;
}

// Each of OpenCV's worker threads sets up its thread-local state (a random generator) the
// first time it runs a parallel body: once in the thread's life, whichever pass that falls
// in. Get every worker through that before counting.
void startEveryWorker() {
  const int workers = cv::getNumThreads();
  std::atomic<int> arrived{0};
  cv::parallel_for_(
      cv::Range(0, workers),
      [&](const cv::Range&) {
        ++arrived;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (arrived < workers && std::chrono::steady_clock::now() < until)
          std::this_thread::yield();
      },
      workers);
}

class Allocation : public ::testing::TestWithParam<cv::Size> {
 protected:
  void SetUp() override {
    initOverlayFont();
    startEveryWorker();
  }
  void TearDown() override { freeOverlayFont(); }
};

template <typename Allocate>
long allocationsIn(Allocate allocate) {
  allocations = 0;
  counting = true;
  allocate();
  counting = false;
  return allocations;
}

TEST(AllocationCounter, SeesEveryWayOfAllocating) {
  void* p[6] = {};
  std::vector<int>* vector = nullptr;
  EXPECT_EQ(allocationsIn([&] { p[0] = std::malloc(10); }), 1);
  EXPECT_EQ(allocationsIn([&] { p[0] = std::realloc(p[0], 100000); }), 1);
  EXPECT_EQ(allocationsIn([&] { p[1] = std::calloc(10, 10); }), 1);
  EXPECT_EQ(allocationsIn([&] { p[2] = std::aligned_alloc(64, 640); }), 1);
  EXPECT_EQ(allocationsIn([&] { EXPECT_EQ(posix_memalign(&p[3], 64, 640), 0); }), 1);
  EXPECT_EQ(allocationsIn([&] { p[4] = cv::fastMalloc(1000); }), 1);  // OpenCV's buffers
  EXPECT_EQ(allocationsIn([&] { vector = new std::vector<int>(1000); }), 2);
  for (void* q : p) std::free(q == p[4] ? nullptr : q);
  cv::fastFree(p[4]);
  delete vector;
}

// Marking on and off, at the picture's own size and at larger camera sizes that are scaled.
TEST_P(Allocation, NoneAfterTheFirstPass) {
  cv::Mat frame(GetParam(), CV_8UC3);
  cv::randu(frame, 0, 256);
  EXPECT_EQ(allocationsAfterTheFirstPass(frame, false), 0);
  EXPECT_EQ(allocationsAfterTheFirstPass(frame, true), 0);
}

INSTANTIATE_TEST_SUITE_P(CameraSizes, Allocation,
                         ::testing::Values(cv::Size(640, 480), cv::Size(1280, 720),
                                           cv::Size(1280, 960), cv::Size(1920, 1080),
                                           cv::Size(3840, 2160), cv::Size(320, 240)));

}  // namespace
