// The real viewer on the virtual camera under an X server of its own, for the end-to-end
// tests and the latency benchmark: processes, Xvfb, keys typed through XTest and the
// picture read back from the window.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Last: Xlib's macros (None, Bool, Status) would break the C++ headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using Picture = cv::Mat;  // what the window shows, 8-bit BGR

const cv::Size kPictureSize(640, 480);

// A whole file's text; empty where it cannot be read.
[[maybe_unused]] std::string fileText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

[[maybe_unused]] std::string clip(const char* name) {
  return std::string(ORVELLE_E2E_CLIPS) + "/" + name;
}

// Frame `index` of a frame file, read from its documented layout.
[[maybe_unused]] cv::Mat clipFrame(const std::string& path, int index) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int w = 0, h = 0, n = 0;
  in >> magic >> w >> h >> n;
  in.get();
  cv::Mat f(h, w, CV_8UC3);
  const auto bytes = static_cast<std::streamsize>(f.total() * 3);
  in.seekg(bytes * index, std::ios::cur);
  in.read(reinterpret_cast<char*>(f.data), bytes);
  return in && index < n ? f : cv::Mat();
}

[[maybe_unused]] cv::Mat firstFrame(const std::string& path) { return clipFrame(path, 0); }

// Polls `done` every `step` until it holds or `limit` passes.
bool waitFor(const std::function<bool()>& done, Ms limit, Ms step = Ms(20)) {
  const auto end = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(step);
  }
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/orvelle-e2e-XXXXXX";
    path_ = mkdtemp(tmpl) ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A child process; killed if it is still running when this goes.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::vector<std::string>& env,
          const std::string& out, const std::string& err, int extraFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, kPassedFd);
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (!status_ && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  static constexpr int kPassedFd = 9;  // where `extraFd` shows up in the child

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  bool running() { return started() && !poll(); }
  void terminate() {
    if (running()) kill(pid_, SIGTERM);
  }

  // The wait status once the process has ended within `limit`, looking every `step`.
  std::optional<int> waitExit(Ms limit, Ms step = Ms(20)) {
    waitFor([&] { return !running(); }, limit, step);
    return status_;
  }

 private:
  bool poll() {
    int status = 0;
    if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Whatever tells a program which display or desktop it is on, and how Qt should reach it:
// the viewer sees only what a test gives it.
bool displayVariable(const std::string& var) {
  const std::string name = var.substr(0, var.find('='));
  for (const char* prefix : {"QT_", "WAYLAND_", "XDG_SESSION_", "KDE_", "GNOME_"})
    if (name.rfind(prefix, 0) == 0) return true;
  for (const char* exact : {"DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR", "XDG_CURRENT_DESKTOP",
                            "DESKTOP_SESSION", "SWAYSOCK", "I3SOCK"})
    if (name == exact) return true;
  return false;
}

std::vector<std::string> inheritedEnv() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    // The child's display, camera and preload are the test's alone.
    if (displayVariable(var) || var.rfind("LD_PRELOAD=", 0) == 0 ||
        var.rfind("ORVELLE_VCAM_", 0) == 0)
      continue;
    env.push_back(var);
  }
  return env;
}

int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

// An X server of its own, so tests can run side by side, and a connection to it.
class Xvfb {
 public:
  explicit Xvfb(const TempDir& dir, const std::vector<std::string>& options = {}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<std::string> args{"Xvfb",      "-displayfd", std::to_string(Process::kPassedFd),
                                  "-screen",   "0",          "1024x768x24",
                                  "-nolisten", "tcp"};
    args.insert(args.end(), options.begin(), options.end());
    server_.emplace(args, inheritedEnv(), "/dev/null", dir / "xvfb.log", fds[1]);
    close(fds[1]);
    // Xvfb writes its display number once it accepts clients. The limit only catches a hang
    // (a failing server closes the pipe): a loaded machine took over 10 s.
    std::string number;
    const auto end = Clock::now() + Ms(60000);
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (Clock::now() < end && ::poll(&p, 1, 100) >= 0) {
      if (!(p.revents & (POLLIN | POLLHUP))) continue;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (number.empty()) return;
    name_ = ":" + number;
    XSetErrorHandler(ignoreXErrors);  // a window may vanish between two requests
    display_ = XOpenDisplay(name_.c_str());
  }
  ~Xvfb() { stop(); }

  // The X server goes away, as when the user's session ends.
  void stop() {
    if (display_) XCloseDisplay(display_);
    display_ = nullptr;
    if (server_) server_->terminate();
  }

  Display* display() const { return display_; }
  const std::string& name() const { return name_; }
  // The server holds still (SIGSTOP) or goes on (SIGCONT); clients meanwhile wait for it.
  void signal(int sig) {
    if (server_) kill(server_->pid(), sig);
  }

 private:
  std::optional<Process> server_;
  std::string name_;
  Display* display_ = nullptr;
};

// How the virtual camera behaves for one run of the viewer.
struct Camera {
  std::string frames = clip("walk.orv");
  std::string control = "play";  // first contents of the control file
  std::vector<std::string> env;  // more ORVELLE_VCAM_* settings
};

// The real viewer on the virtual camera, with helpers to type keys and read its picture.
class Viewer {
 public:
  Viewer(const Xvfb& x, const TempDir& dir, const Camera& camera)
      : Viewer(x, dir, camera, viewerExe(), "Orvelle") {}

  // Another program on the camera, such as the benchmarks' bare loop, whose top-level
  // window is called `windowName`; `args` are its arguments.
  Viewer(const Xvfb& x, const TempDir& dir, const Camera& camera, const std::string& exe,
         const std::string& windowName, const std::vector<std::string>& args = {})
      : Viewer(dir, camera, {"DISPLAY=" + x.name()}, exe, x.display(), windowName, args) {}

  // The viewer on whatever display `displayEnv` names; without `display` it is watched by
  // its process and stderr alone.
  Viewer(const TempDir& dir, const Camera& camera, const std::vector<std::string>& displayEnv,
         const std::string& exe = viewerExe(), Display* display = nullptr,
         const std::string& windowName = "Orvelle", const std::vector<std::string>& args = {})
      : display_(display),
        controlFile_(dir / "control"),
        errFile_(dir / "err"),
        windowName_(windowName) {
    setControl(camera.control);
    std::vector<std::string> env = inheritedEnv();
    env.insert(env.end(), displayEnv.begin(), displayEnv.end());
    env.push_back("ORVELLE_VCAM_FRAMES=" + camera.frames);
    env.push_back("ORVELLE_VCAM_CONTROL=" + controlFile_);
    std::istringstream preload(ORVELLE_E2E_PRELOAD_ENV);
    for (std::string var; std::getline(preload, var, '|');) env.push_back(var);
    env.insert(env.end(), camera.env.begin(), camera.env.end());
    std::vector<std::string> command = runner();
    command.push_back(exe);
    command.insert(command.end(), args.begin(), args.end());
    process_.emplace(command, env, dir / "out", errFile_);
  }

  // ORVELLE_E2E_VIEWER runs the tests on another build, such as one with a fault put in.
  static std::string viewerExe() {
    const char* exe = std::getenv("ORVELLE_E2E_VIEWER");
    return exe && *exe ? exe : ORVELLE_EXE;
  }

  // ORVELLE_E2E_RUNNER, words split at spaces, starts the viewer through another program:
  // QEMU's user-mode emulator runs one built for arm64 where no binfmt handler would.
  static std::vector<std::string> runner() {
    const char* runner = std::getenv("ORVELLE_E2E_RUNNER");
    std::istringstream words(runner ? runner : "");
    std::vector<std::string> command;
    for (std::string word; words >> word;) command.push_back(word);
    return command;
  }

  Process& process() { return *process_; }

  // The control file is re-read at every frame; write it whole, then rename, so the camera
  // never reads half of it.
  void setControl(const std::string& words) {
    const std::string tmp = controlFile_ + ".new";
    std::ofstream(tmp) << words << "\n";
    std::rename(tmp.c_str(), controlFile_.c_str());
  }

  std::string stderrText() const { return fileText(errFile_); }

  // Waits for the viewer's top-level window to be mapped; a viewer that dies ends the wait,
  // so the limit only catches a hang and is generous for a loaded machine.
  bool waitWindow(Ms limit = Ms(30000)) {
    return waitFor(
               [&] {
                 window_ = findWindow();
                 return window_ != 0 || !process_->running();
               },
               limit) &&
           window_ != 0;
  }

  // Waits until the window has left the screen.
  bool waitWindowGone(Ms limit) {
    return waitFor([&] { return findWindow() == 0; }, limit, Ms(5));
  }

  Window window() const { return window_; }

  // What the window shows now; empty if it cannot be read.
  Picture grab() {
    XWindowAttributes a;
    if (!window_ || !XGetWindowAttributes(display_, window_, &a)) return {};
    XImage* image = XGetImage(display_, window_, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) return {};
    Picture picture(a.height, a.width, CV_8UC3);
    for (int y = 0; y < a.height; ++y)
      for (int x = 0; x < a.width; ++x) {
        const unsigned long p = XGetPixel(image, x, y);
        picture.at<cv::Vec3b>(y, x) =
            cv::Vec3b(channel(p, image->blue_mask), channel(p, image->green_mask),
                      channel(p, image->red_mask));
      }
    XDestroyImage(image);
    return picture;
  }

  // Grabs until `ok` holds for a 640 x 480 picture; returns the last picture.
  Picture waitPicture(const std::function<bool(const Picture&)>& ok, Ms limit = Ms(5000)) {
    Picture last;
    waitFor(
        [&] {
          last = grab();
          return last.size() == kPictureSize && ok(last);
        },
        limit);
    return last;
  }

  // Grabs for `span` (many frames at 30 per second); returns the first picture for which
  // `ok` does not hold, or an empty one.
  Picture violation(const std::function<bool(const Picture&)>& ok, Ms span = Ms(700)) {
    Picture bad;
    waitFor(
        [&] {
          const Picture p = grab();
          if (p.size() != kPictureSize || !ok(p)) bad = p.empty() ? Picture(1, 1, CV_8UC3) : p;
          return !bad.empty();
        },
        span);
    return bad;
  }

  // Types one key into the window; `shift` holds a real Shift down around it.
  void press(KeySym key, bool shift = false) { type({key}, shift); }

  // Types the keys one after the other with no pause, faster than the viewer's passes.
  void type(const std::vector<KeySym>& keys, bool shift = false) {
    // No window manager gives the window the focus: take it, and wait until the server has.
    waitFor(
        [&] {
          XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
          Window focus;
          int revert;
          XGetInputFocus(display_, &focus, &revert);
          return focus == window_;
        },
        Ms(2000));
    const KeyCode shiftCode = XKeysymToKeycode(display_, XK_Shift_L);
    if (shift) XTestFakeKeyEvent(display_, shiftCode, True, CurrentTime);
    for (const KeySym key : keys) {
      const KeyCode code = XKeysymToKeycode(display_, key);
      XTestFakeKeyEvent(display_, code, True, CurrentTime);
      XTestFakeKeyEvent(display_, code, False, CurrentTime);
    }
    if (shift) XTestFakeKeyEvent(display_, shiftCode, False, CurrentTime);
    XSync(display_, False);
  }

  // What a client does that destroys the window under the viewer's feet.
  void destroyWindow() {
    XDestroyWindow(display_, window_);
    XSync(display_, False);
  }

  // What a window manager sends when the user closes the window.
  void closeWindow() {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window_;
    e.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window_, False, NoEventMask, &e);
    XSync(display_, False);
  }

 private:
  static uchar channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const unsigned long max = mask >> shift;
    return static_cast<uchar>(((pixel & mask) >> shift) * 255 / max);
  }

  Window findWindow() {
    Window root, parent, *children = nullptr, found = 0;
    unsigned count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count))
      return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
      char* name = nullptr;
      XWindowAttributes a;
      if (XFetchName(display_, children[i], &name) && name && name == windowName_ &&
          XGetWindowAttributes(display_, children[i], &a) && a.map_state == IsViewable)
        found = children[i];
      if (name) XFree(name);
    }
    if (children) XFree(children);
    return found;
  }

  Display* display_;
  std::string controlFile_, errFile_, windowName_;
  std::optional<Process> process_;
  Window window_ = 0;
};

}  // namespace
