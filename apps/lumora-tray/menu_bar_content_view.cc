#include "menu_bar_content_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "account_section.h"
#include "app/agent_status_text.h"
#include "look.h"
#include "settings_section.h"
#include "status_section.h"

namespace lumora::tray {

using look::TextStyle;
using Case = app::AgentController::Status::Case;

MenuBarContentView::MenuBarContentView(app::AgentController& controller,
                                       app::AppSettingsController& settings,
                                       app::AccountController& account, Actions actions,
                                       boost::asio::any_io_executor main, QWidget* parent)
    : QWidget(parent), controller_(controller), settings_(settings) {
  // As tall as what it shows at the moment, and kPanelWidth wide whatever it shows: the sections
  // wrap their texts within that width.
  auto* layout = new QVBoxLayout(this);
  const int padding = look::kPanelPadding;
  const int contentWidth = look::kPanelWidth - 2 * padding;
  layout->setContentsMargins(padding, padding, padding, padding);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addStrut(contentWidth);

  auto* header = new QHBoxLayout;
  header->addWidget(look::symbolLabel("computer-and-phone", 28, look::accent()), 0, Qt::AlignTop);
  auto* titles = new QVBoxLayout;
  titles->addWidget(look::text("Lumora 에이전트", TextStyle::headline));
  headline_ = look::text({}, TextStyle::caption, look::secondary());
  headline_->setObjectName("headline");
  titles->addWidget(headline_);
  header->addLayout(titles, 1);
  layout->addLayout(header);
  layout->addWidget(look::divider());

  auto signOut = [&account, main] {
    boost::asio::co_spawn(main, account.signOut(), boost::asio::detached);
  };
  auto* accountSection =
      new AccountSection({actions.signInWithGoogle, actions.signInWithGitHub, signOut});
  layout->addWidget(accountSection);
  layout->addWidget(look::divider());

  status_ = new StatusSection;
  layout->addWidget(status_);
  layout->addWidget(look::divider());

  auto* settingsSection = new SettingsSection(settings);
  for (QWidget* section :
       std::initializer_list<QWidget*>{accountSection, status_, settingsSection}) {
    section->setFixedWidth(contentWidth);
  }
  layout->addWidget(settingsSection);
  layout->addWidget(look::divider());

  auto* controls = new QHBoxLayout;
  toggle_ = new QPushButton;
  connect(toggle_, &QPushButton::clicked, this, [this, main] {
    boost::asio::co_spawn(main, controller_.toggle(), boost::asio::detached);
  });
  auto* quit = new QPushButton("종료");
  connect(quit, &QPushButton::clicked, this, [quit = actions.quit] { quit(); });
  controls->addWidget(toggle_);
  controls->addStretch(1);
  controls->addWidget(quit);
  layout->addLayout(controls);

  agentSubscription_ = controller.status().subscribe(
      [this](const app::AgentController::Status& status) { renderAgent(status); });
  accountSubscription_ =
      account.state().subscribe([accountSection](const app::AccountController::State& state) {
        accountSection->render(state);
      });
  settingsSubscription_ =
      settings.state().subscribe([settingsSection](const app::AppSettingsController::State& state) {
        settingsSection->render(state);
      });
}

void MenuBarContentView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  settings_.refresh();
}

void MenuBarContentView::renderAgent(const app::AgentController::Status& status) {
  headline_->setText(QString::fromStdString(app::AgentStatusText::headline(status)));
  status_->render(status);
  toggle_->setText(status.which == Case::serving ? "중지" : "시작");
  toggle_->setEnabled(status.which != Case::starting);
}

}  // namespace lumora::tray
