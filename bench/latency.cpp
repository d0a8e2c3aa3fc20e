// How old a frame is when it reaches the screen, for the viewer and for a bare loop of
// capture, show and a 10 ms key wait, each on the virtual camera under an Xvfb of its own.
// The camera stamps each frame's number into the picture and logs when it captured it; the
// band through the middle of the window is read at about 2 kHz, and a frame's delay is the
// time it was first seen there less its capture time. Then, on a camera giving a frame every
// 5 s, how long `q` takes to end each program.
// Usage: orvelle_latency [SECONDS] [SCENARIO...]   (SCENARIO: 30 60 120 4k slow; default all)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "e2e/stamps.h"
#include "viewer_runs.h"

namespace {

struct Scenario {
  std::string key, name;
  std::string frames, control;
  double fps;
};

struct Measured {
  std::string error;
  long due = 0, captured = 0, dequeued = 0, shown = 0, misread = 0;
  std::vector<double> delayMs;
  double samplesPerSecond = 0;
  std::string load;
};

Camera cameraFor(const Scenario& s, const std::string& log) {
  std::ostringstream fps;
  fps << s.fps;
  return {s.frames,
          s.control,
          {"ORVELLE_VCAM_FPS=" + fps.str(), "ORVELLE_VCAM_STAMP=1", "ORVELLE_VCAM_LOG=" + log}};
}

// Waits for the program's window and the first stamped frame on it, then for `settle`.
bool startShowing(Viewer& v, Display* d, std::optional<Band>& band, std::string& error, Ms limit,
                  Ms settle) {
  // OpenCV drops a camera's first frame, and the viewer opens its window on the next one.
  if (!v.waitWindow(limit)) {
    error = "no window: " + v.stderrText();
    return false;
  }
  band.emplace(d, v.window());
  if (!band->ok()) {
    error = "cannot read the window through MIT-SHM";
    return false;
  }
  // Until the window has its size and the picture a frame.
  int64_t t;
  if (!waitFor(
          [&] {
            band.emplace(d, v.window());
            return band->ok() && band->read(t) >= 0;
          },
          limit, Ms(5))) {
    error = "no stamped frame on screen";
    return false;
  }
  std::this_thread::sleep_for(settle);
  band.emplace(d, v.window());  // the window may have been resized since it appeared
  if (!band->ok()) error = "cannot read the window";
  return band->ok();
}

Measured measure(const Program& p, const Scenario& s, int seconds) {
  Measured m;
  TempDir dir;
  Xvfb x(dir);
  if (!x.display()) {
    m.error = "Xvfb did not start";
    return m;
  }
  const std::string log = dir / "frames.log";
  Viewer v(x, dir, cameraFor(s, log), p.exe, p.window);
  std::optional<Band> band;
  // Past start-up work and the first frames' effects.
  if (!startShowing(v, x.display(), band, m.error, Ms(15000), Ms(2000))) return m;

  m.load = loadAverage();
  const int64_t start = nowNs(), end = start + seconds * 1000000000LL;
  const Watched watched = watchStamps(*band, start, end);
  m.samplesPerSecond = static_cast<double>(watched.samples) / seconds;
  v.press(XK_q);
  if (!v.process().waitExit(Ms(15000))) m.error = "did not quit";

  const std::map<long, Logged> frames = readLog(log);
  if (frames.empty()) {
    m.error = "the camera logged no frame";
    return m;
  }
  const double intervalNs = 1e9 / s.fps;
  const auto& [k0, f0] = *frames.begin();
  const double origin = static_cast<double>(f0.shot) - static_cast<double>(k0) * intervalNs;
  m.due = static_cast<long>(std::floor((static_cast<double>(end) - origin) / intervalNs) -
                            std::ceil((static_cast<double>(start) - origin) / intervalNs) + 1);
  std::map<int, const Logged*> byStamp;
  for (const auto& [k, f] : frames) {
    m.captured += f.shot >= start && f.shot < end;
    m.dequeued += f.taken >= start && f.taken < end;
    byStamp[static_cast<int>(k & 0xffff)] = &f;
  }
  for (const auto& [k, when] : watched.firstSeen) {
    if (k == watched.first) continue;
    const auto f = byStamp.find(k);
    if (f == byStamp.end() || f->second->shot > when) {
      ++m.misread;
      continue;
    }
    ++m.shown;
    m.delayMs.push_back(static_cast<double>(when - f->second->shot) / 1e6);
  }
  std::sort(m.delayMs.begin(), m.delayMs.end());
  return m;
}

double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return NAN;
  return sorted[std::min(sorted.size() - 1,
                         static_cast<size_t>(q * static_cast<double>(sorted.size())))];
}

// From `q` typed into the window to the end of the program, on a camera that gives a frame
// every 5 s; `wait` is how long the camera still had to go until its next frame.
struct QuitTime {
  std::string error;
  double ms = 0, waitMs = 0;
};

QuitTime timeQuit(const Program& p, const Scenario& s, Ms afterFrame) {
  QuitTime r;
  TempDir dir;
  Xvfb x(dir);
  if (!x.display()) return {"Xvfb did not start"};
  const std::string log = dir / "frames.log";
  Viewer v(x, dir, cameraFor(s, log), p.exe, p.window);
  std::optional<Band> band;
  if (!startShowing(v, x.display(), band, r.error, Ms(30000), afterFrame)) return r;
  v.press(XK_q);
  const int64_t key = nowNs();
  if (!v.process().waitExit(Ms(30000), Ms(1))) return {"did not quit within 30 s"};
  r.ms = static_cast<double>(nowNs() - key) / 1e6;
  const std::map<long, Logged> frames = readLog(log);
  const double intervalNs = 1e9 / s.fps;
  const auto& [k0, f0] = *frames.begin();
  const double origin = static_cast<double>(f0.shot) - static_cast<double>(k0) * intervalNs;
  const double next =
      origin + std::ceil((static_cast<double>(key) - origin) / intervalNs) * intervalNs;
  r.waitMs = (next - static_cast<double>(key)) / 1e6;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  std::set<std::string> only(argv + std::min(argc, 2), argv + argc);
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: orvelle_latency [SECONDS] [30 60 120 4k slow]\n");
    return 2;
  }
  if (!makeClip("walk.orv", 60) || !makeClip("one.orv", 1)) {
    std::fprintf(stderr, "orvelle_latency: cannot make the clips in %s\n", ORVELLE_E2E_CLIPS);
    return 1;
  }
  const std::vector<Program> programs{{"orvelle", Viewer::viewerExe(), "Orvelle"},
                                      {"bare loop", ORVELLE_BARE_LOOP, "bare"}};
  const std::vector<Scenario> scenarios{
      {"30", "640x480, 30 fps", clip("walk.orv"), "play", 30},
      {"60", "640x480, 60 fps", clip("walk.orv"), "play", 60},
      {"120", "640x480, 120 fps", clip("walk.orv"), "play", 120},
      {"4k", "3840x2160, 30 fps", clip("one.orv"), "play size 3840x2160", 30}};
  auto wanted = [&](const std::string& key) { return only.empty() || only.count(key); };

  std::printf("load before: %s\n", loadAverage().c_str());
  std::printf("%-18s %-9s %5s %5s %5s %5s | %7s %7s %7s | %6s %6s %6s | %6s %s\n", "camera",
              "program", "due", "capt", "deq", "shown", "med ms", "p99 ms", "max ms", "med fr",
              "p99 fr", "max fr", "samp/s", "load");
  for (const Scenario& s : scenarios) {
    if (!wanted(s.key)) continue;
    for (const Program& p : programs) {
      const Measured m = measure(p, s, seconds);
      if (m.delayMs.empty()) {
        std::printf("%-18s %-9s %s\n", s.name.c_str(), p.name.c_str(),
                    m.error.empty() ? "no frame seen" : m.error.c_str());
        continue;
      }
      const double interval = 1000 / s.fps, med = quantile(m.delayMs, 0.5),
                   p99 = quantile(m.delayMs, 0.99), max = m.delayMs.back();
      std::printf(
          "%-18s %-9s %5ld %5ld %5ld %5ld | %7.1f %7.1f %7.1f | %6.2f %6.2f %6.2f | %6.0f %s%s%s\n",
          s.name.c_str(), p.name.c_str(), m.due, m.captured, m.dequeued, m.shown, med, p99, max,
          med / interval, p99 / interval, max / interval, m.samplesPerSecond, m.load.c_str(),
          m.misread ? (" misread " + std::to_string(m.misread)).c_str() : "",
          m.error.empty() ? "" : (" " + m.error).c_str());
      std::fflush(stdout);
    }
  }
  if (wanted("slow")) {
    const Scenario slow{"slow", "640x480, 0.2 fps", clip("walk.orv"), "play", 0.2};
    std::printf("\n%-18s %-9s %s\n", "camera", "program",
                "q to exit, ms (camera's next frame due after, ms), load");
    for (const Program& p : programs) {
      std::string line;
      for (int after : {1000, 2500, 4000}) {
        const QuitTime q = timeQuit(p, slow, Ms(after));
        char cell[96];
        if (q.error.empty())
          std::snprintf(cell, sizeof cell, "%s%.0f (%.0f)", line.empty() ? "" : ", ", q.ms,
                        q.waitMs);
        else
          std::snprintf(cell, sizeof cell, "%s%s", line.empty() ? "" : ", ", q.error.c_str());
        line += cell;
      }
      std::printf("%-18s %-9s %s; %s\n", slow.name.c_str(), p.name.c_str(), line.c_str(),
                  loadAverage().c_str());
      std::fflush(stdout);
    }
  }
  std::printf("load after: %s\n", loadAverage().c_str());
  return 0;
}
