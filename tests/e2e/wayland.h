// A real Wayland compositor for the end-to-end tests: sway, headless, with XWayland; keys
// typed through a virtual keyboard, windows read from sway's tree and pictures taken by grim.
#pragma once

#include <grp.h>
#include <linux/input-event-codes.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>

#include "session.h"

namespace {

// zwp_virtual_keyboard_v1 from wlroots' virtual-keyboard-unstable-v1, which no Debian
// package ships a header for: requests only.
const wl_interface* kNoTypes[4] = {};  // none of its arguments is an object
const wl_message kKeyboardRequests[] = {{"keymap", "uhu", kNoTypes},
                                        {"key", "uuu", kNoTypes},
                                        {"modifiers", "uuuu", kNoTypes},
                                        {"destroy", "", kNoTypes}};
const wl_interface kKeyboardInterface = {"zwp_virtual_keyboard_v1", 1, 4,
                                         kKeyboardRequests,         0, nullptr};
const wl_interface* kCreateTypes[] = {&wl_seat_interface, &kKeyboardInterface};
const wl_message kManagerRequests[] = {{"create_virtual_keyboard", "on", kCreateTypes}};
const wl_interface kManagerInterface = {
    "zwp_virtual_keyboard_manager_v1", 1, 1, kManagerRequests, 0, nullptr};

// A keyboard of its own on the compositor's seat, with a US keymap, typing into whichever
// window has the focus. It stays for the whole session: the keys a fresh keyboard types
// first are lost while clients take up its keymap.
class VirtualKeyboard {
 public:
  explicit VirtualKeyboard(const std::string& socket) {
    display_ = wl_display_connect(socket.c_str());
    if (!display_) return;
    wl_registry* registry = wl_display_get_registry(display_);
    static const wl_registry_listener listener = {
        [](void* data, wl_registry* r, uint32_t name, const char* interface, uint32_t) {
          auto* self = static_cast<VirtualKeyboard*>(data);
          if (std::strcmp(interface, "wl_seat") == 0 && !self->seat_)
            self->seat_ = static_cast<wl_seat*>(wl_registry_bind(r, name, &wl_seat_interface, 1));
          if (std::strcmp(interface, kManagerInterface.name) == 0)
            self->manager_ =
                static_cast<wl_proxy*>(wl_registry_bind(r, name, &kManagerInterface, 1));
        },
        [](void*, wl_registry*, uint32_t) {}};
    wl_registry_add_listener(registry, &listener, this);
    wl_display_roundtrip(display_);
    wl_registry_destroy(registry);
    if (!seat_ || !manager_) return;
    keyboard_ = wl_proxy_marshal_constructor(manager_, 0, &kKeyboardInterface, seat_, nullptr);

    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap) {
      shiftMask_ = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
      char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
      const size_t size = std::strlen(text) + 1;
      const int fd = memfd_create("keymap", MFD_CLOEXEC);
      if (fd >= 0 && write(fd, text, size) == static_cast<ssize_t>(size)) {
        wl_proxy_marshal(keyboard_, 0, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, size);
        ok_ = wl_display_roundtrip(display_) >= 0;
      }
      if (fd >= 0) close(fd);
      free(text);
      xkb_keymap_unref(keymap);
    }
    xkb_context_unref(context);
  }
  ~VirtualKeyboard() {
    if (keyboard_) wl_proxy_marshal(keyboard_, 3), wl_proxy_destroy(keyboard_);
    if (manager_) wl_proxy_destroy(manager_);
    if (seat_) wl_seat_destroy(seat_);
    if (display_) wl_display_disconnect(display_);
  }
  VirtualKeyboard(const VirtualKeyboard&) = delete;
  VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

  bool ok() const { return ok_; }

  // Types the key (a KEY_ code of linux/input-event-codes.h); `shift` holds a real Shift
  // down around it, as a user does.
  void press(uint32_t key, bool shift = false) {
    if (!ok_) return;
    if (shift) {
      send(KEY_LEFTSHIFT, 1);
      wl_proxy_marshal(keyboard_, 2, shiftMask_, 0u, 0u, 0u);
    }
    send(key, 1);
    send(key, 0);
    if (shift) {
      send(KEY_LEFTSHIFT, 0);
      wl_proxy_marshal(keyboard_, 2, 0u, 0u, 0u, 0u);
    }
    wl_display_roundtrip(display_);
  }

 private:
  void send(uint32_t key, uint32_t state) {
    const auto ms = std::chrono::duration_cast<Ms>(Clock::now().time_since_epoch()).count();
    wl_proxy_marshal(keyboard_, 1, static_cast<uint32_t>(ms), key, state);
  }

  wl_display* display_ = nullptr;
  wl_seat* seat_ = nullptr;
  wl_proxy* manager_ = nullptr;
  wl_proxy* keyboard_ = nullptr;
  uint32_t shiftMask_ = 1;
  bool ok_ = false;
};

// What a command printed on stdout; empty if it failed.
std::string output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    if (pclose(pipe) != 0) text.clear();
  }
  return text;
}

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The viewer's window as sway sees it.
struct SwayWindow {
  bool found = false;
  std::string shell, appId, wmClass, wmInstance;  // shell: xdg_shell or xwayland
  cv::Rect content;                               // where its contents are on the screen
  cv::Size surface;                               // the size the client gave its window
  unsigned long x11Window = 0;                    // through XWayland
};

// sway on a headless output, with XWayland started when a client first connects to it.
// As root it runs as `nobody`: sway refuses to run as root.
class Sway {
 public:
  explicit Sway(const TempDir& dir) {
    char tmpl[] = "/tmp/orvelle-sway-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    runtime_ = tmpl;
    std::ofstream(runtime_ + "/config") << "xwayland enable\n"
                                        << "exec echo \"$DISPLAY\" >" << runtime_ << "/x11\n";
    std::vector<std::string> args{"sway", "-c", runtime_ + "/config"};
    if (geteuid() == 0) {
      // Where XWayland puts its socket: made by root, as an X server makes it, not by nobody.
      if (mkdir("/tmp/.X11-unix", 01777) == 0) chmod("/tmp/.X11-unix", 01777);
      const passwd* user = getpwnam("nobody");
      if (!user) return;
      uid_ = user->pw_uid, gid_ = user->pw_gid;
      for (const std::string& path : {runtime_, runtime_ + "/config"})
        if (chown(path.c_str(), uid_, gid_) != 0) return;
      args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(uid_),
                                 "--regid=" + std::to_string(gid_), "--clear-groups"});
    }
    std::vector<std::string> env = inheritedEnv();
    for (const char* var : {"HOME=", "XDG_RUNTIME_DIR="}) env.push_back(var + runtime_);
    for (const char* var : {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                            "WLR_RENDERER=pixman", "WLR_HEADLESS_OUTPUTS=1"})
      env.push_back(var);
    server_.emplace(args, env, "/dev/null", dir / "sway.log");
    waitFor(
        [&] {
          for (const auto& entry : fs::directory_iterator(runtime_)) {
            const std::string name = entry.path().filename();
            if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos)
              socket_ = entry.path();
            if (name.rfind("sway-ipc.", 0) == 0) ipc_ = entry.path();
          }
          std::ifstream x11(runtime_ + "/x11");
          std::getline(x11, x11Display_);
          return (!socket_.empty() && !ipc_.empty() && !x11Display_.empty()) || !server_->running();
        },
        Ms(60000));  // only a hang: a dying sway ends the wait
    if (socket_.empty() || ipc_.empty() || x11Display_.empty()) return;
    keyboard_.emplace(socket_);
  }
  ~Sway() {
    stop();
    std::error_code ignored;
    if (!runtime_.empty()) fs::remove_all(runtime_, ignored);
  }

  bool ok() { return keyboard_ && keyboard_->ok() && server_->running(); }
  const std::string& socket() const { return socket_; }          // for WAYLAND_DISPLAY
  const std::string& x11Display() const { return x11Display_; }  // XWayland's, for DISPLAY
  VirtualKeyboard& keyboard() { return *keyboard_; }

  // The compositor goes away, as when the user's session ends.
  void stop() {
    keyboard_.reset();
    if (server_) server_->terminate();
  }

  // Lets this process's user connect to XWayland, which admits only sway's user; this
  // starts XWayland. Returns once sway manages its windows: one mapped before would not be.
  bool admitToX11() {
    const passwd* me = getpwuid(geteuid());
    if (!me) return false;
    const std::string user = me->pw_name;
    const pid_t child = fork();
    if (child == 0) {
      if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0))
        _exit(1);
      Display* d = XOpenDisplay(x11Display_.c_str());
      if (!d) _exit(1);
      std::string value = "localuser";
      value += '\0' + user;
      XServerInterpretedAddress address{9, static_cast<int>(user.size()), value.data(),
                                        value.data() + 10};
      XHostAddress host{FamilyServerInterpreted, sizeof address, reinterpret_cast<char*>(&address)};
      XAddHost(d, &host);
      const Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
      const bool managed = waitFor(
          [&] {
            Atom type = 0;
            int format = 0;
            unsigned long n = 0, left = 0;
            unsigned char* data = nullptr;
            XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, AnyPropertyType, &type,
                               &format, &n, &left, &data);
            if (data) XFree(data);
            return n > 0;
          },
          Ms(10000));
      XCloseDisplay(d);
      _exit(managed ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }

  // Whether sway has started XWayland (it does when a client first connects to it).
  bool x11Running() const {
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::ifstream comm(entry.path() / "comm");
      std::string name;
      if (std::getline(comm, name) && name == "Xwayland") {
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string first;
        if (std::getline(cmdline, first, '\0') && std::getline(cmdline, first, '\0') &&
            first == x11Display_)
          return true;
      }
    }
    return false;
  }

  // The least and the largest size an XWayland window asks for, or 0 x 0 where it does not.
  std::pair<cv::Size, cv::Size> x11SizeLimits(unsigned long window) const {
    std::pair<cv::Size, cv::Size> limits;
    Display* d = XOpenDisplay(x11Display_.c_str());
    if (!d) return limits;
    XSizeHints hints{};
    long supplied = 0;
    if (XGetWMNormalHints(d, window, &hints, &supplied)) {
      if (hints.flags & PMinSize) limits.first = cv::Size(hints.min_width, hints.min_height);
      if (hints.flags & PMaxSize) limits.second = cv::Size(hints.max_width, hints.max_height);
    }
    XCloseDisplay(d);
    return limits;
  }

  std::string swaymsg(const std::string& args) const {
    return output("SWAYSOCK=" + quoted(ipc_) + " swaymsg " + args);
  }

  // The window whose title is `title`, as sway's tree has it now.
  SwayWindow window(const std::string& title = "Orvelle") const {
    const std::string line =
        output("SWAYSOCK=" + quoted(ipc_) + " swaymsg -r -t get_tree | jq -r " +
               quoted("first(..|objects|select((.type==\"con\" or .type==\"floating_con\") and "
                      ".name==\"" +
                      title +
                      "\"))|\"\\(.shell) \\(.app_id) "
                      "\\(.window_properties.class) \\(.window_properties.instance) "
                      "\\(.rect.x+.window_rect.x) \\(.rect.y+.window_rect.y) "
                      "\\(.window_rect.width) \\(.window_rect.height) "
                      "\\(.geometry.width) \\(.geometry.height) \\(.window // 0)\""));
    SwayWindow w;
    std::istringstream in(line);
    in >> w.shell >> w.appId >> w.wmClass >> w.wmInstance >> w.content.x >> w.content.y >>
        w.content.width >> w.content.height >> w.surface.width >> w.surface.height >> w.x11Window;
    w.found = !in.fail();
    return w;
  }

  // What the screen shows in `area`, 8-bit BGR; empty if it cannot be read.
  Picture grab(const cv::Rect& area) const {
    const std::string region = std::to_string(area.x) + "," + std::to_string(area.y) + " " +
                               std::to_string(area.width) + "x" + std::to_string(area.height);
    const std::string ppm =
        output("WAYLAND_DISPLAY=" + quoted(socket_) + " grim -t ppm -g " + quoted(region) + " -");
    std::istringstream in(ppm);
    std::string magic;
    int w = 0, h = 0, max = 0;
    in >> magic >> w >> h >> max;
    in.get();
    if (magic != "P6" || w != area.width || h != area.height || max != 255) return {};
    Picture rgb(h, w, CV_8UC3);
    in.read(reinterpret_cast<char*>(rgb.data), static_cast<std::streamsize>(rgb.total() * 3));
    if (!in) return {};
    Picture bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    return bgr;
  }

 private:
  std::string runtime_, socket_, ipc_, x11Display_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::optional<Process> server_;
  std::optional<VirtualKeyboard> keyboard_;
};

}  // namespace
