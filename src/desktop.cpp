#include "desktop.h"

#include <opencv2/highgui.hpp>

#ifdef ORVELLE_WITH_QT

#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QString>
#include <QTimer>
#include <QWindow>
#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Qt's default platform on X11 is xcb, which aborts the process if it cannot connect.
bool usesXcb() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  return platform == nullptr || *platform == '\0' || std::strncmp(platform, "xcb", 3) == 0;
}

[[noreturn]] void die(const QString& why) {
  std::fprintf(stderr, "orvelle: %s\n", why.toLocal8Bit().constData());
  // Not exit(): Qt may be half torn down, and its own handlers would run again.
  _exit(1);
}

// Qt explains a failed start in a warning from its platform layer, then gives up in a
// fatal message that only says it failed.
QString lastPlatformWarning;

void onToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  const QString line = text.section('\n', 0, 0).trimmed();
  // Qt's xcb layer says this, then exits with status 1 without saying more.
  if (text.startsWith("The X11 connection broke")) die("lost the connection to the display");
  if (type == QtFatalMsg || type == QtCriticalMsg)
    die("the window system failed: " +
        (lastPlatformWarning.isEmpty() ? line : lastPlatformWarning));
  if (context.category && std::strncmp(context.category, "qt.qpa", 6) == 0)
    lastPlatformWarning = line;
}

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

std::string displayError() {
  if (!usesXcb()) return {};
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return "cannot open the display: DISPLAY is not set";
  std::string reason;
  for (int attempt = 0; attempt <= 10; ++attempt) {
    if (attempt > 0) usleep(100 * 1000);
    // libxcb writes the server's reason for turning a client away to stderr: catch it.
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return {};  // Qt will tell
    const int savedStderr = dup(STDERR_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    close(pipeFds[1]);
    char text[256];
    const ssize_t n = read(pipeFds[0], text, sizeof text - 1);
    close(pipeFds[0]);
    if (error == 0) return {};
    if (n > 0) reason.assign(text, std::find(text, text + n, '\n'));
    if (error == XCB_CONN_CLOSED_PARSE_ERR) break;  // a malformed DISPLAY will not get better
  }
  return std::string("cannot open the display ") + name + (reason.empty() ? "" : ": " + reason);
}

void guardToolkit() { qInstallMessageHandler(onToolkitMessage); }

void watchWindows() {
  if (keyQueue != nullptr || QCoreApplication::instance() == nullptr) return;
  keyQueue = new KeyQueue;
  destroyWatch = new DestroyWatch;
  QCoreApplication::instance()->installEventFilter(keyQueue);
  QCoreApplication::instance()->installNativeEventFilter(destroyWatch);
}

int nextKey(int delayMs) {
  if (keyQueue == nullptr) return delayMs > 0 ? cv::waitKeyEx(delayMs) : -1;
  if (keyQueue->count() == 0 && delayMs > 0) {
    // Runs the toolkit, which queues what is typed meanwhile, until a key comes or the time
    // is up. cv::waitKeyEx would do it by polling every millisecond, 1 to 2 ms late.
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(delayMs);
    keyQueue->waiting = &loop;
    loop.exec();
    keyQueue->waiting = nullptr;
  }
  return keyQueue->take();
}

void paintNow() {
  // Keys typed meanwhile land in the queue. Leaving input events for later instead would
  // let Qt see Shift released before the key it was held for.
  if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
}

bool windowDestroyed() { return destroyWatch != nullptr && destroyWatch->destroyed; }

#else

std::string displayError() { return {}; }
void guardToolkit() {}
void watchWindows() {}
int nextKey(int delayMs) { return delayMs > 0 ? cv::waitKeyEx(delayMs) : -1; }
void paintNow() {}
bool windowDestroyed() { return false; }

#endif
