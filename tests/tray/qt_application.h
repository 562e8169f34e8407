#pragma once

#include <QApplication>

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

}  // namespace lumora::tray
