#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

namespace lumora::tray {

class MenuBarContentView;

// The application's only user interface: a tray icon titled "Lumora 에이전트" whose click opens
// the panel under it. On a desktop without a tray the panel is an ordinary window instead,
// shown at start (closing it ends the application), until a tray shows up in the first minute.
class AgentMenuBarScene : public QObject {
 public:
  // Takes `panel` over.
  explicit AgentMenuBarScene(MenuBarContentView* panel);
  ~AgentMenuBarScene() override;

  // Brings the panel up (under the icon, or the window to the front).
  void showPanel();

 protected:
  // Keeps the open panel by its icon when what it shows changes its height.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  static constexpr int kTrayWatchSeconds = 60;

  // From the window to the tray icon and its popup panel.
  void dock();
  void togglePanel();
  void placeNear(const QRect& icon);

  std::unique_ptr<MenuBarContentView> panel_;
  std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace lumora::tray
