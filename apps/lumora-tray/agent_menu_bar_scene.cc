#include "agent_menu_bar_scene.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QTimer>

#include "menu_bar_content_view.h"

namespace lumora::tray {

namespace {
const QString kTitle = QStringLiteral("Lumora 에이전트");
}

AgentMenuBarScene::AgentMenuBarScene(MenuBarContentView* panel) : panel_(panel) {
  panel_->setWindowTitle(kTitle);
  panel_->setWindowIcon(QIcon(":/icons/lumora.svg"));
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    dock();
    return;
  }
  panel_->setWindowFlags(Qt::Window);
  panel_->show();
  // A session often starts its programs before its panel: a tray that shows up within the
  // first minute takes the window's place.
  auto* watch = new QTimer(this);
  connect(watch, &QTimer::timeout, this, [this, watch, ticks = 0]() mutable {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
      dock();
    } else if (++ticks < kTrayWatchSeconds) {
      return;
    }
    watch->deleteLater();
  });
  watch->start(1000);
}

void AgentMenuBarScene::dock() {
  // The panel hides again when the user clicks anywhere else, as a tray's panels do.
  panel_->hide();
  panel_->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
  // A click on the icon while the panel is open closes it; replayed to the icon, it would open
  // the panel again at once.
  panel_->setAttribute(Qt::WA_NoMouseReplay);
  QApplication::setQuitOnLastWindowClosed(false);
  tray_ = std::make_unique<QSystemTrayIcon>(QIcon(":/icons/lumora.svg"));
  tray_->setToolTip(kTitle);
  connect(tray_.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) {
              togglePanel();
            }
          });
  tray_->show();
  panel_->installEventFilter(this);
}

AgentMenuBarScene::~AgentMenuBarScene() = default;

bool AgentMenuBarScene::eventFilter(QObject* watched, QEvent* event) {
  if (watched == panel_.get() && event->type() == QEvent::Resize && panel_->isVisible()) {
    placeNear(tray_->geometry());
  }
  return QObject::eventFilter(watched, event);
}

void AgentMenuBarScene::togglePanel() {
  if (panel_->isVisible()) {
    panel_->hide();
  } else {
    showPanel();
  }
}

void AgentMenuBarScene::showPanel() {
  if (tray_) {
    panel_->adjustSize();
    placeNear(tray_->geometry());
  }
  panel_->show();
  panel_->raise();
  panel_->activateWindow();
}

// Below an icon in the upper half of its screen, above one in the lower half; kept on screen.
void AgentMenuBarScene::placeNear(const QRect& icon) {
  QScreen* screen = icon.isValid() ? QGuiApplication::screenAt(icon.center()) : nullptr;
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect area = screen->availableGeometry();
  const QSize size = panel_->sizeHint().expandedTo(panel_->size());
  QPoint at;
  if (icon.isValid()) {
    at.setX(icon.center().x() - size.width() / 2);
    at.setY(icon.center().y() < area.center().y() ? icon.bottom() + 1 : icon.top() - size.height());
  } else {
    at = QPoint(area.right() - size.width(), area.top());
  }
  at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
  at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
  panel_->move(at);
}

}  // namespace lumora::tray
