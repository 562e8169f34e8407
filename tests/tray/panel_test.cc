// The panel on Qt's offscreen platform, over the real controllers with fake servers and
// platform seams: what each state shows, what is enabled, the colours and the clipboard (the QR
// code on screen scanned with an independent decoder, and the pictures of the real screen, are
// tray_program_test's).

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QProgressBar>

#include <boost/asio/co_spawn.hpp>

#include "app/app_fakes.h"
#include "fakes/fake_login_item.h"
#include "fakes/fake_system_access.h"
#include "menu_bar_content_view.h"
#include "qr_matrix_view.h"
#include "qt_application.h"
#include "qt_executor.h"

namespace lumora::tray {
namespace {

namespace asio = boost::asio;
using app_test::FakeAgentServer;
using app_test::FakeAuthenticator;
using app_test::FakeRegistrar;
using app_test::FakeTokenStore;

const std::string kLink = "lumora://pair?host=100.64.0.7&cp=47800&mp=47801&code=" +
                          std::string("0123456789abcdef0123456789abcdef");

class PanelTest : public ::testing::Test {
 protected:
  PanelTest() {
    qtApplication();
    server_->info.pairingLink = kLink;
    system_->screenRecording = system_->accessibility = true;
  }

  MenuBarContentView& panel() {
    if (!panel_) {
      account_ = std::make_unique<app::AccountController>(app::AccountController::Dependencies{
          authenticator_, registrar_, tokens_, [] { return std::optional<std::string>("123456"); },
          [] { return std::string("study desk"); }});
      settings_ = std::make_unique<app::AppSettingsController>(loginItem_, system_);
      MenuBarContentView::Actions actions;
      actions.signInWithGoogle = [this] { signIns_.push_back("google"); };
      actions.signInWithGitHub = [this] { signIns_.push_back("github"); };
      actions.quit = [this] { ++quits_; };
      panel_ = std::make_unique<MenuBarContentView>(controller_, *settings_, *account_, actions,
                                                    main_.get_executor());
      panel_->show();
      settle();
    }
    return *panel_;
  }

  void settle() {
    processUntil([] { return true; });
  }

  template <class W = QWidget>
  W* visible(const QString& text) {
    settle();
    for (W* widget : panel().findChildren<W*>()) {
      if (!widget->isVisibleTo(panel_.get())) continue;
      const auto* label = qobject_cast<QLabel*>(widget);
      const auto* button = qobject_cast<QAbstractButton*>(widget);
      if ((label && label->text() == text) || (button && button->text() == text)) return widget;
    }
    return nullptr;
  }
  QAbstractButton* button(const QString& text) { return visible<QAbstractButton>(text); }
  QColor colourOf(const QString& text) {
    QWidget* widget = visible(text);
    return widget ? widget->palette().color(QPalette::WindowText) : QColor();
  }
  QString headline() { return panel().findChild<QLabel*>("headline")->text(); }
  bool busy() {
    settle();
    for (auto* bar : panel().findChildren<QProgressBar*>()) {
      if (bar->isVisibleTo(panel_.get())) return true;
    }
    return false;
  }

  QtExecutionContext main_;
  std::shared_ptr<FakeAgentServer> server_ = std::make_shared<FakeAgentServer>();
  app::AgentController controller_{server_};
  std::shared_ptr<FakeAuthenticator> authenticator_ = std::make_shared<FakeAuthenticator>();
  std::shared_ptr<FakeRegistrar> registrar_ = std::make_shared<FakeRegistrar>();
  std::shared_ptr<FakeTokenStore> tokens_ = std::make_shared<FakeTokenStore>();
  std::shared_ptr<fakes::FakeLoginItem> loginItem_ = std::make_shared<fakes::FakeLoginItem>();
  std::shared_ptr<fakes::FakeSystemAccess> system_ = std::make_shared<fakes::FakeSystemAccess>();
  std::unique_ptr<app::AccountController> account_;
  std::unique_ptr<app::AppSettingsController> settings_;
  std::unique_ptr<MenuBarContentView> panel_;
  std::vector<std::string> signIns_;
  int quits_ = 0;
};

const QString kStartHint =
    "\u2018시작\u2019을 누르면 이 컴퓨터를 Lumora 앱에서 접속할 수 있게 서빙합니다.";

TEST_F(PanelTest, StartingThenServingThenStoppedThenServingWithoutALink) {
  EXPECT_EQ(headline(), "중지됨");
  EXPECT_TRUE(visible(kStartHint));

  // While the server holds the start open, the button keeps its label and cannot be pressed.
  server_->startGate.close();
  button("시작")->click();
  ASSERT_TRUE(processUntil([&] { return headline() == "시작 중…"; }));
  EXPECT_TRUE(visible("에이전트 시작 중…"));
  EXPECT_TRUE(busy());
  ASSERT_TRUE(button("시작"));
  EXPECT_FALSE(button("시작")->isEnabled());
  EXPECT_FALSE(visible(kStartHint));

  server_->startGate.open();
  ASSERT_TRUE(processUntil([&] { return headline() == "연결 대기 중"; }));
  for (const char* shown : {"lan 192.168.0.7:47800", "페어링 코드", "Lumora 앱으로 스캔하세요"}) {
    EXPECT_TRUE(visible(shown)) << shown;
  }
  EXPECT_FALSE(visible("tailnet 주소를 찾는 중… (Tailscale 실행 확인)"));
  EXPECT_TRUE(visible("123456"));

  // That the code on screen scans to the pairing link is tray_program_test's.
  auto* qr = panel().findChild<QRMatrixView*>();
  ASSERT_TRUE(qr && qr->hasCode());

  QGuiApplication::clipboard()->setText("something else");
  button("딥링크 복사")->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), kLink);

  ASSERT_TRUE(button("중지"));
  button("중지")->click();
  ASSERT_TRUE(processUntil([&] { return headline() == "중지됨"; }));
  EXPECT_FALSE(panel().findChild<QRMatrixView*>());
  EXPECT_FALSE(visible("lan 192.168.0.7:47800"));

  // Served again without a tailnet address, hence no link: the code and the hint, no QR code.
  server_->info.pairingLink.reset();
  button("시작")->click();
  ASSERT_TRUE(processUntil([&] { return headline() == "연결 대기 중"; }));
  EXPECT_TRUE(visible("123456"));
  EXPECT_TRUE(visible("tailnet 주소를 찾는 중… (Tailscale 실행 확인)"));
  EXPECT_FALSE(panel().findChild<QRMatrixView*>());
  EXPECT_FALSE(button("딥링크 복사"));

  button("종료")->click();
  EXPECT_EQ(quits_, 1);
}

TEST_F(PanelTest, AFailedStartShowsWhyInRedAndTheHint) {
  server_->startFailure = "포트 47800을 열 수 없습니다";
  button("시작")->click();
  ASSERT_TRUE(processUntil([&] { return headline() == "오류"; }));
  EXPECT_EQ(colourOf("포트 47800을 열 수 없습니다"), QColor(0xc0, 0x1c, 0x28));
  EXPECT_TRUE(visible(kStartHint));
  EXPECT_TRUE(button("시작")->isEnabled());
}

TEST_F(PanelTest, SignInButtonsWaitWhileWorkingThenTheAccountAndThisComputerShow) {
  const QString signedOut =
      "iPhone 앱과 같은 계정으로 로그인하면 이 컴퓨터가 기기 목록에 자동으로 뜹니다. (다른 "
      "계정은 QR 페어링)";
  EXPECT_TRUE(visible(signedOut));
  button("Google로 계속하기")->click();
  button("GitHub로 계속하기")->click();
  EXPECT_EQ(signIns_, (std::vector<std::string>{"google", "github"}));

  // Signed in while the registry holds the registration open: buttons gone, progress shown,
  // and no name yet.
  registrar_->gate.close();
  bool done = false;
  asio::co_spawn(main_.get_executor(), account_->completeSignIn("github", "code"),
                 [&](std::exception_ptr) { done = true; });
  ASSERT_TRUE(processUntil([&] { return visible("ada@example.com") != nullptr; }));
  EXPECT_TRUE(busy());
  EXPECT_FALSE(button("Google로 계속하기"));
  registrar_->gate.open();
  ASSERT_TRUE(processUntil([&] { return done; }));
  EXPECT_TRUE(visible("이 컴퓨터 등록됨: study desk"));
  EXPECT_FALSE(busy());

  button("로그아웃")->click();
  ASSERT_TRUE(processUntil([&] { return visible(signedOut) != nullptr; }));

  // A refused sign-in: the service's words in red, buttons usable again.
  authenticator_->failure = std::make_exception_ptr(std::runtime_error("로그인 거부"));
  done = false;
  asio::co_spawn(main_.get_executor(), account_->completeSignIn("google", "token"),
                 [&](std::exception_ptr) { done = true; });
  ASSERT_TRUE(processUntil([&] { return done; }));
  EXPECT_EQ(colourOf("로그인 거부"), QColor(0xc0, 0x1c, 0x28));
  EXPECT_TRUE(button("Google로 계속하기")->isEnabled());
}

TEST_F(PanelTest, SettingsFollowTheLoginItemAndThePermissions) {
  system_->accessibility = false;
  system_->allowOnRequest = true;
  panel();
  EXPECT_TRUE(visible("허용됨"));  // screen recording
  ASSERT_TRUE(button("권한 요청"));
  button("권한 요청")->click();
  EXPECT_EQ(system_->accessibilityRequests, 1);
  EXPECT_FALSE(button("권한 요청"));

  // A permission taken away meanwhile shows when the panel opens again.
  system_->screenRecording = false;
  panel().hide();
  panel().show();
  EXPECT_TRUE(button("권한 요청"));

  auto* login = qobject_cast<QCheckBox*>(button("로그인 시 자동 시작"));
  ASSERT_TRUE(login);
  login->click();
  EXPECT_TRUE(loginItem_->enabled);
  EXPECT_TRUE(qobject_cast<QCheckBox*>(button("로그인 시 자동 시작"))->isChecked());

  loginItem_->failure = "autostart 폴더에 쓸 수 없습니다";
  button("로그인 시 자동 시작")->click();
  EXPECT_EQ(colourOf("autostart 폴더에 쓸 수 없습니다"), QColor(0xc0, 0x1c, 0x28));
  EXPECT_TRUE(qobject_cast<QCheckBox*>(button("로그인 시 자동 시작"))->isChecked());
}

}  // namespace
}  // namespace lumora::tray
