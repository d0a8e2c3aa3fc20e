// How soon a program shows the camera: from exec to its window mapped and to the first
// frame seen in it, for the viewer (and other builds of it given by path) and the bare loop,
// each start on a virtual camera at 30 fps (YUYV, frames stamped with their number) under an
// Xvfb of its own, with and without a camera that takes 400 ms to start. The programs take
// turns, so that a busy machine weighs on each alike.
// Usage: orvelle_startup [STARTS] [VIEWER...]   (default 20 starts; VIEWER: another build)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "e2e/stamps.h"
#include "viewer_runs.h"

namespace {

// One start; times in ms from exec, negative when it did not happen.
struct Start {
  double window = -1, picture = -1, firstDue = -1;
  std::string error;
};

// The top-level window called `name` once it is mapped, from the root's events.
Window mappedWindow(Display* d, const std::string& name) {
  Window found = 0;
  while (!found && XPending(d)) {
    XEvent e;
    XNextEvent(d, &e);
    if (e.type != MapNotify) continue;
    char* title = nullptr;
    if (XFetchName(d, e.xmap.window, &title) && title && name == title) found = e.xmap.window;
    if (title) XFree(title);
  }
  return found;
}

Start startOnce(const Program& p, int startMs) {
  Start s;
  TempDir dir;
  Xvfb x(dir);
  Display* d = x.display();
  if (!d) return {-1, -1, -1, "Xvfb did not start"};
  XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
  XSync(d, False);
  const std::string log = dir / "frames.log";
  const Camera camera{
      clip("walk.orv"),
      "play",
      {"ORVELLE_VCAM_FPS=30", "ORVELLE_VCAM_FORMAT=YUYV", "ORVELLE_VCAM_STAMP=1",
       "ORVELLE_VCAM_START_MS=" + std::to_string(startMs), "ORVELLE_VCAM_LOG=" + log}};
  const int64_t exec = nowNs();
  Viewer v(x, dir, camera, p.exe, p.window);
  const auto ms = [&](int64_t t) { return static_cast<double>(t - exec) / 1e6; };
  const int64_t end = exec + 10000000000LL;
  Window w = 0;
  std::optional<Band> band;
  int64_t bandMade = 0;
  for (int64_t now = nowNs(); now < end && s.picture < 0; now = nowNs()) {
    if (!w && (w = mappedWindow(d, p.window))) s.window = ms(nowNs());
    if (w) {
      // A band made before the window has its size reads nothing: make it again now and then.
      if (!band || (!band->ok() && now - bandMade > 10000000)) {
        band.emplace(d, w);
        bandMade = now;
      }
      int64_t when = 0;
      const int k = band->ok() ? band->read(when) : -1;
      if (k >= 0) s.picture = ms(when);
      if (k < 0 && now - bandMade > 10000000) band.reset();
    }
    if (!v.process().running()) break;
    const timespec pause{0, 500000};
    nanosleep(&pause, nullptr);
  }
  if (s.window < 0)
    s.error = "no window: " + v.stderrText();
  else if (s.picture < 0)
    s.error = "no picture";
  const std::map<long, Logged> frames = readLog(log);
  if (!frames.empty()) {
    // When the camera's first frame was due, from the first frame it logged.
    const auto& [k, f] = *frames.begin();
    s.firstDue = ms(f.shot - static_cast<int64_t>(static_cast<double>(k) * 1e9 / 30));
  }
  return s;
}

struct Summary {
  double median = NAN, min = NAN, max = NAN;
};

Summary summarise(std::vector<double> v) {
  v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

std::string cell(const Summary& s) {
  char text[64];
  std::snprintf(text, sizeof text, "%4.0f [%4.0f–%4.0f]", s.median, s.min, s.max);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int starts = argc > 1 ? std::atoi(argv[1]) : 20;
  if (starts <= 0) {
    std::fprintf(stderr, "usage: orvelle_startup [STARTS] [VIEWER...]\n");
    return 2;
  }
  if (!makeClip("walk.orv", 60)) {
    std::fprintf(stderr, "orvelle_startup: cannot make the clip in %s\n", ORVELLE_E2E_CLIPS);
    return 1;
  }
  std::vector<Program> programs{{"orvelle", Viewer::viewerExe(), "Orvelle"}};
  for (int i = 2; i < argc; ++i) programs.push_back({argv[i], argv[i], "Orvelle"});
  programs.push_back({"bare loop", ORVELLE_BARE_LOOP, "bare"});

  std::printf("load before: %s\n", loadAverage().c_str());
  for (const int startMs : {0, 400}) {
    std::map<std::string, std::vector<Start>> runs;
    for (int i = 0; i < starts; ++i)
      for (const Program& p : programs) {
        const Start s = startOnce(p, startMs);
        if (!s.error.empty()) std::fprintf(stderr, "%s: %s\n", p.name.c_str(), s.error.c_str());
        runs[p.name].push_back(s);
      }
    std::printf("\ncamera start %d ms, %d starts, ms from exec: median [min–max]\n", startMs,
                starts);
    std::printf("%-24s %-18s %-18s %-18s %-18s %s\n", "program", "window mapped", "first picture",
                "picture - window", "camera's 1st frame", "failed");
    for (const Program& p : programs) {
      std::vector<double> window, picture, after, due;
      int failed = 0;
      for (const Start& s : runs[p.name]) {
        failed += !s.error.empty();
        window.push_back(s.window < 0 ? NAN : s.window);
        picture.push_back(s.picture < 0 ? NAN : s.picture);
        after.push_back(s.window < 0 || s.picture < 0 ? NAN : s.picture - s.window);
        due.push_back(s.firstDue < 0 ? NAN : s.firstDue);
      }
      std::printf("%-24s %-18s %-18s %-18s %-18s %d\n", p.name.c_str(),
                  cell(summarise(window)).c_str(), cell(summarise(picture)).c_str(),
                  cell(summarise(after)).c_str(), cell(summarise(due)).c_str(), failed);
    }
    std::fflush(stdout);
  }
  std::printf("\nload after: %s\n", loadAverage().c_str());
  return 0;
}
