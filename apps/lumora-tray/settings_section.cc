#include "settings_section.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "look.h"

namespace lumora::tray {

using look::TextStyle;

SettingsSection::SettingsSection(app::AppSettingsController& settings, QWidget* parent)
    : QWidget(parent), settings_(settings), layout_(new QVBoxLayout(this)) {
  layout_->setContentsMargins(0, 0, 0, 0);
}

void SettingsSection::render(const app::AppSettingsController::State& state) {
  look::clear(layout_);
  auto* login = new QCheckBox("로그인 시 자동 시작");
  login->setChecked(state.loginAtStartup);
  connect(login, &QCheckBox::toggled, this,
          [this](bool enabled) { settings_.setLoginAtStartup(enabled); });
  layout_->addWidget(login);
  if (state.loginError) {
    layout_->addWidget(
        look::text(QString::fromStdString(*state.loginError), TextStyle::caption, look::red()));
  }
  addPermissionRow("화면 기록", state.screenRecording,
                   [this] { settings_.requestScreenRecording(); });
  addPermissionRow("손쉬운 사용(입력 제어)", state.accessibility,
                   [this] { settings_.requestAccessibility(); });
}

void SettingsSection::addPermissionRow(const QString& title, bool granted,
                                       std::function<void()> request) {
  auto* row = new QHBoxLayout;
  row->addWidget(look::symbolLabel(QString::fromStdString(app::PermissionText::symbol(granted)), 16,
                                   granted ? look::green() : look::orange()));
  row->addWidget(look::text(title, TextStyle::body), 1);
  if (granted) {
    row->addWidget(look::text("허용됨", TextStyle::caption, look::secondary()));
  } else {
    auto* ask = look::linkButton("권한 요청");
    connect(ask, &QPushButton::clicked, this, std::move(request));
    row->addWidget(ask);
  }
  layout_->addLayout(row);
}

}  // namespace lumora::tray
