#include "desktop.h"

#ifdef ORVELLE_WITH_QT

#include <xcb/xcb.h>

#include <QApplication>
#include <QKeyEvent>
#include <QString>
#include <QtGlobal>
#include <cstdlib>
#include <cstring>

namespace {

// Qt's default platform on X11 is xcb, which aborts the process if it cannot connect.
bool usesXcb() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  return platform == nullptr || *platform == '\0' || std::strncmp(platform, "xcb", 3) == 0;
}

// Sees each key press before OpenCV's window turns it into a code.
class KeyTextFilter : public QObject {
 public:
  int lastText = -1;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      const auto* key = static_cast<QKeyEvent*>(event);
      // OpenCV keeps Ctrl chords for itself and reports no key for them.
      if (key->modifiers() != Qt::ControlModifier) {
        const QString text = key->text();
        lastText = text.size() == 1 ? text.at(0).unicode() : -1;
      }
    }
    return QObject::eventFilter(watched, event);
  }
};

KeyTextFilter* keyFilter = nullptr;

}  // namespace

bool displayAvailable() {
  if (!usesXcb()) return true;
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const bool ok = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return ok;
}

void quietToolkit() {
  qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

void watchTypedKeys() {
  if (keyFilter != nullptr || QCoreApplication::instance() == nullptr) return;
  keyFilter = new KeyTextFilter;
  QCoreApplication::instance()->installEventFilter(keyFilter);
}

int typedKey(int code) {
  if (keyFilter == nullptr || code == -1) return code;
  const int text = keyFilter->lastText;
  keyFilter->lastText = -1;
  return text == -1 ? code : text;
}

#else

bool displayAvailable() { return true; }
void quietToolkit() {}
void watchTypedKeys() {}
int typedKey(int code) { return code; }

#endif
