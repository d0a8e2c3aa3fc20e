// Side by side in one run: markChanges, the plain pipeline it replaced, the memory floor of
// marking, and whole passes, on real footage and on a still scene with sensor noise; and an
// NV12 camera's frame converted as OpenCV would and as the viewer does.

#include <benchmark/benchmark.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "camera.h"
#include "change_marker.h"
#include "footage.h"
#include "overlay.h"
#include "plain_pipeline.h"
#include "scale.h"
#include "viewer.h"

namespace {

constexpr int kFrames = 5;  // four pairs of consecutive frames
// In use the reference is taken once and the scene moves on from it: frame 0 against each of
// the 39 after it, four seconds of vtest.avi.
constexpr int kDriftFrames = 40;

struct Scene {
  std::string name;  // "footage/640x480"
  std::vector<cv::Mat> frames;
  bool fixedReference;  // frames[0] against each later one, else each frame against the next
};

// Times `run(reference, work)` alone; work is a fresh copy of the next frame each time, as in
// a pass, where the copy into workFrame comes just before the marking.
template <typename Run>
void timeMarking(benchmark::State& state, const Scene& scene, Run run) {
  cv::Mat work;
  size_t i = 0;
  for ([[maybe_unused]] auto _ : state) {
    const size_t pair = i++ % (scene.frames.size() - 1);
    scene.frames[pair + 1].copyTo(work);
    const cv::Mat& reference = scene.frames[scene.fixedReference ? 0 : pair];
    const auto start = std::chrono::steady_clock::now();
    run(reference, work);
    benchmark::ClobberMemory();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

cv::Mat evenRows(const cv::Mat& image) {
  return cv::Mat((image.rows + 1) / 2, image.cols, image.type(), image.data, 2 * image.step);
}

void registerScene(const Scene& scene) {
  const auto manual = [](benchmark::internal::Benchmark* b) {
    b->UseManualTime()->Unit(benchmark::kMicrosecond);
  };
  manual(benchmark::RegisterBenchmark(("shipped/" + scene.name).c_str(), [&](auto& state) {
    timeMarking(state, scene, [](const cv::Mat& r, cv::Mat& w) { markChanges(r, w); });
  }));
  manual(benchmark::RegisterBenchmark(("plain/" + scene.name).c_str(), [&](auto& state) {
    cv::Mat scratch;
    timeMarking(state, scene,
                [&](const cv::Mat& r, cv::Mat& w) { markPlainPipeline(r, w, scratch); });
  }));
  manual(benchmark::RegisterBenchmark(("floor/" + scene.name).c_str(), [&](auto& state) {
    cv::Mat diff;
    timeMarking(state, scene,
                [&](const cv::Mat& r, cv::Mat& w) { cv::absdiff(evenRows(r), evenRows(w), diff); });
  }));
  manual(benchmark::RegisterBenchmark(("copy/" + scene.name).c_str(), [&](auto& state) {
    cv::Mat copy;
    timeMarking(state, scene, [&](const cv::Mat&, cv::Mat& w) { w.copyTo(copy); });
  }));
  // The scaling into the 640 x 480 picture: OpenCV's own against the one the pass uses. Both
  // work in several threads, so their CPU time is the whole process's. An earlier revision's
  // scaler is measured with that revision's build (docs/performance.md).
  const auto threaded = [](benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();
  };
  if (!scene.fixedReference) {  // the same work on the same frames as the consecutive case
    threaded(benchmark::RegisterBenchmark(("resize/" + scene.name).c_str(), [&scene](auto& state) {
      cv::Mat out;
      for ([[maybe_unused]] auto _ : state)
        cv::resize(scene.frames[1], out, {640, 480}, 0, 0, cv::INTER_LINEAR);
    }));
    // With its fastest code and with its SSSE3 code, which processors without AVX2 run.
    const auto scaling = [&](const std::string& name, auto scaler) {
      threaded(benchmark::RegisterBenchmark((name + "/" + scene.name).c_str(),
                                            [&scene, scaler](auto& state) mutable {
                                              cv::Mat out;
                                              for ([[maybe_unused]] auto _ : state)
                                                scaler.scale(scene.frames[1], out, {640, 480});
                                            }));
    };
    LinearScaler ssse3;
    ssse3.simd = LinearScaler::Simd::baseline;
    scaling("scaler", LinearScaler());
    scaling("scaler_ssse3", ssse3);
  }
  // An NV12 camera's frame to BGR as OpenCV 4.6 would hand it over (converted, with red and
  // blue swapped, then copied out) against the viewer's way (the raw buffer copied out, then
  // converted). `buffer` stands for the driver's mapped buffer.
  if (!scene.fixedReference && scene.name.rfind("footage/", 0) == 0) {
    static std::map<std::string, cv::Mat> nv12;
    cv::Mat& buffer = nv12[scene.name];
    cv::Mat i420;
    cv::cvtColor(scene.frames[1], i420, cv::COLOR_BGR2YUV_I420);  // same size and cost as NV12
    buffer = i420.reshape(1, 1);
    const cv::Size size = scene.frames[1].size();
    benchmark::RegisterBenchmark(("nv12_opencv/" + scene.name).c_str(), [&buffer,
                                                                         size](auto& state) {
      cv::Mat converted, out;
      const cv::Mat planes(size.height * 3 / 2, size.width, CV_8UC1, buffer.data);
      for ([[maybe_unused]] auto _ : state) {
        cv::cvtColor(planes, converted, cv::COLOR_YUV2RGB_NV12);
        converted.copyTo(out);
      }
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("nv12_viewer/" + scene.name).c_str(), [&buffer,
                                                                         size](auto& state) {
      cv::Mat raw, out;
      for ([[maybe_unused]] auto _ : state) {
        buffer.copyTo(raw);
        rawToBgr(V4L2_PIX_FMT_NV12, raw, size, out);
      }
    })->Unit(benchmark::kMicrosecond);
  }
  for (const bool marking : {true, false}) {
    const std::string name = (marking ? "pass_on/" : "pass_off/") + scene.name;
    benchmark::RegisterBenchmark(name.c_str(), [&scene, marking](auto& state) {
      Viewer viewer;
      viewer.referenceFrame = scene.frames[0].clone();
      size_t i = 0;
      for ([[maybe_unused]] auto _ : state) {
        detecting = marking;
        preparePicture(viewer, scene.frames[1 + i++ % (scene.frames.size() - 1)]);
      }
      detecting = false;
    })->Unit(benchmark::kMicrosecond);
  }
}

// The console output, then per scene the times in microseconds (medians with repetitions) and
// the ratios that matter.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // With repetitions, the median stands for the benchmark.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const std::string& name = run.run_name.function_name;
      const size_t slash = name.find('/');
      const double us =
          run.GetAdjustedRealTime() * 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      times_[name.substr(slash + 1)][name.substr(0, slash)] = us;
    }
  }

  static bool complete(const std::map<std::string, double>& t) {
    for (const char* name : {"shipped", "plain", "floor", "copy", "pass_on", "pass_off"})
      if (t.count(name) == 0) return false;
    return true;
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-20s %9s %9s %9s %9s %9s %9s | %11s %11s %14s\n", "scene", "shipped", "plain",
                "floor", "copy", "pass_on", "pass_off", "plain/ship", "ship/floor", "on/(copy+fl)");
    for (auto& [scene, t] : times_) {
      if (!complete(t)) continue;  // filtered out
      std::printf("%-20s %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f | %11.2f %11.2f %14.2f\n",
                  scene.c_str(), t["shipped"], t["plain"], t["floor"], t["copy"], t["pass_on"],
                  t["pass_off"], t["plain"] / t["shipped"], t["shipped"] / t["floor"],
                  t["pass_on"] / (t["copy"] + t["floor"]));
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const std::vector<cv::Mat> footage = footageFrames(kDriftFrames);
  if (footage.size() != kDriftFrames) {
    std::fprintf(stderr, "orvelle_bench: cannot read the footage (tools/fetch-footage)\n");
    return 1;
  }
  initOverlayFont();
  cv::RNG rng(1);
  std::vector<Scene> scenes;
  scenes.reserve(12);  // registered benchmarks keep references into it
  for (const cv::Size size :
       {cv::Size(640, 480), cv::Size(1280, 720), cv::Size(1920, 1080), cv::Size(3840, 2160)}) {
    const std::string suffix = std::to_string(size.width) + "x" + std::to_string(size.height);
    Scene real{"footage/" + suffix, {}, false}, drift{"drift/" + suffix, {}, true},
        still{"noise/" + suffix, {}, false};
    for (int i = 0; i < kDriftFrames; ++i) {
      cv::Mat frame;
      cv::resize(footage[i], frame, size, 0, 0, cv::INTER_LINEAR);
      if (i < kFrames) real.frames.push_back(frame);
      drift.frames.push_back(frame);
    }
    // The first frame held still, with independent noise of sigma 8 in every frame.
    for (int i = 0; i < kFrames; ++i) {
      cv::Mat noise(size, CV_16SC3), noisy;
      rng.fill(noise, cv::RNG::NORMAL, 0, 8);
      real.frames[0].convertTo(noisy, CV_16SC3);
      noisy += noise;
      still.frames.emplace_back();
      noisy.convertTo(still.frames.back(), CV_8UC3);
    }
    scenes.push_back(std::move(real));
    scenes.push_back(std::move(drift));
    scenes.push_back(std::move(still));
  }
  for (const Scene& scene : scenes) registerScene(scene);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  freeOverlayFont();
  return 0;
}
