// SPDX-License-Identifier: Apache-2.0
#include "desktop.h"

#include <opencv2/highgui.hpp>

#ifdef ORVELLE_WITH_QT

#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QEventLoop>
#include <QIcon>
#include <QKeyEvent>
#include <QLayout>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The desktop's name for the program: its desktop entry and icon, Wayland's app_id and the
// class in X11's WM_CLASS.
const char* const kAppId = "info.orvelle.orvelle";
constexpr size_t npos = std::string::npos;
// How long a display may take to go after the window it destroyed.
constexpr int kDisplayGoingMs = 500;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// While Qt starts, libwayland and libxcb write their reasons for failing to stderr
// themselves; they are caught here, to become part of the one line the viewer prints.
int savedStderr = -1, caughtStderr = -1;

void catchStderr() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  savedStderr = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  close(fds[1]);
  caughtStderr = fds[0];
}

// What was written since the last call, without a library's "error: " and the full stop.
std::string caughtText() {
  std::string text;
  char buffer[256];
  ssize_t n;
  while (caughtStderr >= 0 && (n = read(caughtStderr, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  text = text.substr(0, text.find('\n'));
  if (text.rfind("error: ", 0) == 0) text.erase(0, 7);
  while (!text.empty() &&
         (text.back() == '.' || std::isspace(static_cast<unsigned char>(text.back()))))
    text.pop_back();
  return text;
}

void releaseStderr() {
  if (savedStderr < 0) return;
  dup2(savedStderr, STDERR_FILENO);
  close(savedStderr);
  close(caughtStderr);
  savedStderr = caughtStderr = -1;
}

[[noreturn]] void die(const std::string& why) {
  // Qt's Wayland event thread may find the connection broken just as the main thread does:
  // the first to get here tells it, the other waits for the exit.
  static std::atomic<bool> dying{false};
  if (dying.exchange(true))
    for (;;) pause();
  releaseStderr();
  std::fprintf(stderr, "orvelle: %s\n", why.c_str());
  // Not exit(): Qt may be half torn down, and its own handlers would run again.
  _exit(1);
}

// The line for a display that would not open; `display` is empty where none was named.
std::string cannotOpen(const std::string& display, const std::string& why) {
  return "cannot open the display" + (display.empty() ? "" : " " + display) +
         (why.empty() ? "" : ": " + why);
}

// A platform's name in QT_QPA_PLATFORM, without the arguments that may follow it.
std::string platformName(const std::string& entry) {
  std::string name = entry.substr(0, entry.find(':'));
  std::transform(name.begin(), name.end(), name.begin(), ::tolower);
  return name;
}

bool isWayland(const std::string& platform) { return platform.rfind("wayland", 0) == 0; }

// The platforms Qt will try, in its order, as QT_QPA_PLATFORM gives them.
std::vector<std::string> qtPlatforms() {
  std::vector<std::string> platforms;
  const std::string chosen = env("QT_QPA_PLATFORM");
  for (size_t start = 0; start < chosen.size();) {
    const size_t end = std::min(chosen.find(';', start), chosen.size());
    if (end > start) platforms.push_back(chosen.substr(start, end - start));
    start = end + 1;
  }
  if (!platforms.empty()) return platforms;
  if (env("XDG_SESSION_TYPE") == "wayland") platforms.push_back("wayland");
  platforms.push_back("xcb");
  // Qt would fail where only Wayland is at hand but no session type says so.
  if (platforms.size() == 1 && !env("WAYLAND_DISPLAY").empty()) platforms.push_back("wayland");
  return platforms;
}

// Why X11's display turns the viewer away, or empty.
std::string xcbRefusal() {
  const std::string name = env("DISPLAY");
  if (name.empty()) return cannotOpen("", "DISPLAY is not set");
  std::string reason;
  for (int attempt = 0; attempt <= 10; ++attempt) {
    if (attempt > 0) usleep(100 * 1000);
    catchStderr();  // libxcb writes the server's reason for turning a client away there
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    reason = caughtText();
    releaseStderr();
    if (error == 0) return {};
    if (error == XCB_CONN_CLOSED_PARSE_ERR) break;  // a malformed DISPLAY will not get better
  }
  // A server that turns a client away says why; one that is not there says nothing.
  return cannotOpen(name, reason.empty() ? "no X server answers there" : reason);
}

// A platform that failed, and the line that tells why.
struct Failure {
  bool displayNamed;  // its display was named: the desktop the user means
  bool display;       // X11 or Wayland, rather than another of Qt's platforms
  std::string line;
};
std::vector<Failure> failures;

// Qt explains why a platform failed in messages of its own, then moves on to the next with a
// line naming the one that failed, and gives up in a fatal message that only says it failed.
bool starting = false;
std::string libraryText;  // what libwayland or libxcb wrote for this platform
std::string heard;        // the most severe of Qt's messages for this platform
QtMsgType heardType = QtDebugMsg;

void platformFailed(const std::string& platform, bool found, const std::string& qtLine) {
  std::string said = libraryText;
  Failure failure{true, true, {}};
  if (platform == "xcb") {
    const std::string display = env("DISPLAY");
    failure.displayNamed = !display.empty();
    failure.line = cannotOpen(display, display.empty() ? "DISPLAY is not set" : said);
  } else if (isWayland(platform)) {
    std::string display = env("WAYLAND_DISPLAY");
    failure.displayNamed = !display.empty();
    if (!found) {
      failure.line = cannotOpen(display, "Qt's Wayland plugin is missing (install qtwayland5)");
    } else {
      if (display.empty()) display = "wayland-0";  // what libwayland tried
      if (said.empty()) said = heard;
      failure.line = cannotOpen(display, said);
    }
  } else {
    failure.display = false;
    failure.line = "the window system failed: " + (heard.empty() ? qtLine : heard);
  }
  failures.push_back(failure);
  libraryText.clear();
  heard.clear();
  heardType = QtDebugMsg;
}

// The most telling of the failures: the first on a display the user named.
std::string whyNoWindow() {
  if (failures.empty()) return {};
  const bool displaysOnly =
      std::all_of(failures.begin(), failures.end(), [](const Failure& f) { return f.display; });
  const std::vector<std::string> asked = qtPlatforms();
  const bool waylandAsked =
      env("QT_QPA_PLATFORM").empty() ||
      std::any_of(asked.begin(), asked.end(), [](auto& p) { return isWayland(platformName(p)); });
  if (displaysOnly && waylandAsked && env("WAYLAND_DISPLAY").empty() && env("DISPLAY").empty())
    return cannotOpen("", "neither WAYLAND_DISPLAY nor DISPLAY is set");
  for (const Failure& f : failures)
    if (f.displayNamed) return f.line;
  return failures.front().line;
}

void onToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  const std::string line = text.section('\n', 0, 0).trimmed().toStdString();
  // Qt says this, then exits with status 1 without saying more.
  if (line.rfind("The X11 connection broke", 0) == 0 ||
      line.rfind("The Wayland connection broke", 0) == 0)
    die("lost the connection to the display");
  if (line.rfind("The Wayland connection experienced a fatal error", 0) == 0)
    die("the window system failed: " + line);
  if (!starting) {
    if (type == QtFatalMsg) die("the window system failed: " + line);
    return;
  }
  if (const std::string caught = caughtText(); libraryText.empty()) libraryText = caught;
  if (type == QtFatalMsg) {
    const std::string why = whyNoWindow();
    const bool noPlatform = line.find("no Qt platform plugin could be initialized") != npos;
    die(noPlatform && !why.empty() ? why : "the window system failed: " + line);
  }
  // "Could not find the Qt platform plugin "xcb" in ...", or "Could not load" it.
  if (context.category && std::strcmp(context.category, "qt.qpa.plugin") == 0 &&
      line.rfind("Could not ", 0) == 0) {
    const size_t open = line.find('"'), close = line.find('"', open + 1);
    if (close != npos) {
      platformFailed(platformName(line.substr(open + 1, close - open - 1)),
                     line.find("even though it was found") != npos, line);
      return;
    }
  }
  const auto severity = [](QtMsgType t) {
    return t == QtCriticalMsg ? 2 : t == QtWarningMsg ? 1 : 0;
  };
  if (severity(type) > 0 && severity(type) >= severity(heardType)) {
    heard = line;
    heardType = type;
  }
}

// OpenCV shows its window the moment it makes it, at 400 x 300, and sizes it only afterwards:
// a compositor may show that first size, and a tiling one fits a window that can be resized
// into its tile. Sized before it is first shown and fixed, the window stays as asked; its
// layout, which OpenCV lets set the window's least and largest size, must leave them be.
class FirstShow : public QObject {
 public:
  FirstShow(const char* window, QSize size) : window_(window), size_(size) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show || !watched->isWidgetType() ||
        watched->objectName() != window_)
      return false;
    auto* widget = static_cast<QWidget*>(watched);
    if (!widget->isWindow()) return false;
    if (widget->layout() != nullptr) widget->layout()->setSizeConstraint(QLayout::SetNoConstraint);
    widget->setFixedSize(size_);
    return false;
  }

 private:
  const QString window_;
  const QSize size_;
};

// Every key press before OpenCV's window turns it into a code: OpenCV keeps only the last
// key of each wait, and folds Shift+letter to the lower-case code.
class KeyQueue : public QObject {
 public:
  QEventLoop* waiting = nullptr;  // a key wait to end when a key comes

  int count() const { return count_; }

  int take() {
    if (count_ == 0) return -1;
    const int key = keys_[head_];
    head_ = (head_ + 1) % kSize;
    --count_;
    return key;
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    // A key event travels on from the window to its widgets; count it once, at the window.
    if (event->type() == QEvent::KeyPress && watched->isWindowType()) {
      const auto* key = static_cast<QKeyEvent*>(event);
      const QString text = key->text();
      // OpenCV keeps Ctrl chords for itself and reports no key for them.
      if (key->modifiers() != Qt::ControlModifier && text.size() == 1 && count_ < kSize) {
        keys_[(head_ + count_) % kSize] = text.at(0).unicode();
        ++count_;
        if (waiting != nullptr) waiting->quit();
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  static constexpr int kSize = 64;  // far more than anyone types in one pass
  int keys_[kSize] = {};
  int head_ = 0, count_ = 0;
};

// Qt does not notice when another client destroys its window: it goes on drawing into a
// window that no longer exists.
class DestroyWatch : public QAbstractNativeEventFilter {
 public:
  bool destroyed = false;
  bool waited = false;  // for the display to go with the window

  bool nativeEventFilter(const QByteArray& type, void* message, long*) override {
    if (type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_DESTROY_NOTIFY) return false;
    const auto* destroy = static_cast<const xcb_destroy_notify_event_t*>(message);
    for (const QWindow* window : QGuiApplication::topLevelWindows())
      if (window->handle() && window->winId() == destroy->window) destroyed = true;
    return false;
  }
};

KeyQueue* keyQueue = nullptr;
DestroyWatch* destroyWatch = nullptr;

}  // namespace

std::string openDesktop(const char* window, int width, int height) {
  if (QCoreApplication::instance() != nullptr) return {};
  std::vector<std::string> platforms = qtPlatforms();
  // Qt would connect to X11 first anyway: give a busy server its second.
  if (platformName(platforms.front()) == "xcb") {
    if (const std::string why = xcbRefusal(); !why.empty()) {
      failures.push_back({!env("DISPLAY").empty(), true, why});
      platforms.erase(platforms.begin());
      if (platforms.empty()) return whyNoWindow();
    }
  }
  static std::string list;
  for (const std::string& platform : platforms) list += (list.empty() ? "" : ";") + platform;
  // Qt takes the instance in X11's WM_CLASS from the program's name.
  static char name[] = "orvelle", option[] = "-platform";
  static char* argv[] = {name, option, list.data(), nullptr};
  static int argc = 3;

  qInstallMessageHandler(onToolkitMessage);
  QGuiApplication::setApplicationName(kAppId);
  QGuiApplication::setDesktopFileName(kAppId);
  // OpenCV makes its own application so when none exists yet.
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
  starting = true;
  catchStderr();
  new QApplication(argc, argv);  // a platform that works, or Qt's fatal message ends here
  releaseStderr();
  starting = false;
  std::setlocale(LC_NUMERIC, "C");  // Qt took the user's locale, which OpenCV does not want
  QGuiApplication::setWindowIcon(QIcon::fromTheme(kAppId));
  QCoreApplication::instance()->installEventFilter(new FirstShow(window, QSize(width, height)));
  return {};
}

void watchWindows() {
  if (keyQueue != nullptr || QCoreApplication::instance() == nullptr) return;
  keyQueue = new KeyQueue;
  destroyWatch = new DestroyWatch;
  QCoreApplication::instance()->installEventFilter(keyQueue);
  QCoreApplication::instance()->installNativeEventFilter(destroyWatch);
}

// Runs the toolkit for `ms`, or until a key comes where `untilKey`. cv::waitKeyEx would do it
// by polling every millisecond, 1 to 2 ms late.
static void runToolkit(int ms, bool untilKey) {
  QEventLoop loop;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(ms);
  if (untilKey) keyQueue->waiting = &loop;
  loop.exec();
  keyQueue->waiting = nullptr;
}

int nextKey(int delayMs) {
  if (keyQueue == nullptr) return delayMs > 0 ? cv::waitKeyEx(delayMs) : -1;
  // The toolkit queues what is typed meanwhile.
  if (keyQueue->count() == 0 && delayMs > 0) runToolkit(delayMs, true);
  return keyQueue->take();
}

void paintNow() {
  // Keys typed meanwhile land in the queue. Leaving input events for later instead would
  // let Qt see Shift released before the key it was held for.
  if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
}

bool windowDestroyed() {
  if (destroyWatch == nullptr || !destroyWatch->destroyed) return false;
  // A compositor that is stopping may destroy its windows just before its X server goes
  // (mutter through XWayland): give the display a moment to go too, which is then told as
  // lost (Qt's message for it ends the program), rather than as a window closed by another.
  if (!destroyWatch->waited) runToolkit(kDisplayGoingMs, false);
  destroyWatch->waited = true;
  return true;
}

#else

std::string openDesktop(const char*, int, int) { return {}; }
void watchWindows() {}
int nextKey(int delayMs) { return delayMs > 0 ? cv::waitKeyEx(delayMs) : -1; }
void paintNow() {}
bool windowDestroyed() { return false; }

#endif
