#include "account_section.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "look.h"

namespace lumora::tray {

using look::TextStyle;

AccountSection::AccountSection(Actions actions, QWidget* parent)
    : QWidget(parent), actions_(std::move(actions)), layout_(new QVBoxLayout(this)) {
  layout_->setContentsMargins(0, 0, 0, 0);
}

void AccountSection::render(const app::AccountController::State& state) {
  look::clear(layout_);
  if (state.isSignedIn()) {
    renderSignedIn(state);
  } else {
    renderSignedOut(state);
  }
  if (state.isWorking) layout_->addWidget(look::progress());
  if (state.errorMessage) {
    layout_->addWidget(
        look::text(QString::fromStdString(*state.errorMessage), TextStyle::caption, look::red()));
  }
}

void AccountSection::renderSignedOut(const app::AccountController::State& state) {
  layout_->addWidget(look::text(
      "iPhone 앱과 같은 계정으로 로그인하면 이 컴퓨터가 기기 목록에 자동으로 뜹니다. (다른 "
      "계정은 QR 페어링)",
      TextStyle::caption, look::secondary()));
  auto* google = look::wideButton("Google로 계속하기", "google-sign-in");
  auto* github = look::wideButton("GitHub로 계속하기", "github-sign-in");
  for (auto* button : {google, github}) {
    button->setEnabled(!state.isWorking);
    layout_->addWidget(button);
  }
  connect(google, &QPushButton::clicked, this, [this] { actions_.signInWithGoogle(); });
  connect(github, &QPushButton::clicked, this, [this] { actions_.signInWithGitHub(); });
}

void AccountSection::renderSignedIn(const app::AccountController::State& state) {
  auto* row = new QWidget;
  auto* rowLayout = new QHBoxLayout(row);
  rowLayout->setContentsMargins(0, 0, 0, 0);
  rowLayout->addWidget(look::symbolLabel("account-signed-in", 20, look::green()), 0, Qt::AlignTop);

  auto* lines = new QVBoxLayout;
  lines->addWidget(
      look::text(QString::fromStdString(state.email.value_or("로그인됨")), TextStyle::caption));
  const QString device =
      state.registeredDeviceName
          ? "이 컴퓨터 등록됨: " + QString::fromStdString(*state.registeredDeviceName)
          : QString("같은 계정 iPhone 목록에 이 컴퓨터가 표시됩니다");
  lines->addWidget(look::text(device, TextStyle::smallCaption, look::secondary()));
  rowLayout->addLayout(lines, 1);

  auto* signOut = look::linkButton("로그아웃");
  connect(signOut, &QPushButton::clicked, this, [this] { actions_.signOut(); });
  rowLayout->addWidget(signOut, 0, Qt::AlignTop);
  layout_->addWidget(row);
}

}  // namespace lumora::tray
