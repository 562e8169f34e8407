// The floor any Qt Widgets program pays on this machine: an application object and one window
// with one Korean label, nothing else. tray_bench starts it beside lumora-tray.
#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QLabel window("Lumora 에이전트");
  window.setWindowTitle("Lumora 에이전트");
  window.resize(300, 600);
  window.show();
  return QApplication::exec();
}
