// What the benchmarks that run whole programs under Xvfb share.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include "e2e/session.h"

struct Program {
  std::string name, exe, window;
};

inline std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// The clip `name` of `frames` frames at 640 x 480, made once from the footage of
// tools/fetch-footage.
inline bool makeClip(const char* name, int frames) {
  const std::string path = clip(name);
  if (fs::exists(path)) return true;
  std::error_code ignored;
  fs::create_directories(ORVELLE_E2E_CLIPS, ignored);
  const std::string command = std::string("'") + ORVELLE_VCAM_FRAMES_TOOL + "' \"$(" +
                              ORVELLE_FETCH_FOOTAGE + ")\" '" + path + ".part' -n " +
                              std::to_string(frames) + " -s 640x480 >/dev/null && mv '" + path +
                              ".part' '" + path + "'";
  return std::system(command.c_str()) == 0;
}
