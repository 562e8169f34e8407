#pragma once

#include <QApplication>

#include "support/eventually.h"

namespace lumora::tray {

// The one application object the widget tests share, on Qt's offscreen platform. Never
// destroyed: at exit Qt's own globals may already be gone.
inline QApplication& qtApplication() {
  static int argc = 1;
  static char name[] = "tray_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* application = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *application;
}

// Runs Qt's loop (and with it what waits on the GUI thread) until `condition` holds; false after
// the toolkit's limit.
template <class Condition>
bool processUntil(Condition condition) {
  return testing_support::eventually([&] {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return condition();
  });
}

}  // namespace lumora::tray
