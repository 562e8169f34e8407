#include "status_section.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/agent_status_text.h"
#include "look.h"
#include "qr_matrix_view.h"

namespace lumora::tray {

using look::TextStyle;
using Case = app::AgentController::Status::Case;

namespace {
constexpr int kCodeSide = 180;
}

StatusSection::StatusSection(QWidget* parent) : QWidget(parent), layout_(new QVBoxLayout(this)) {
  layout_->setContentsMargins(0, 0, 0, 0);
}

void StatusSection::render(const app::AgentController::Status& status) {
  look::clear(layout_);
  switch (status.which) {
    case Case::serving:
      renderServing(status);
      break;
    case Case::starting: {
      auto* row = new QHBoxLayout;
      row->addWidget(look::progress());
      row->addWidget(look::text("에이전트 시작 중…", TextStyle::body), 1);
      layout_->addLayout(row);
      break;
    }
    case Case::failed:
    case Case::stopped:
      if (status.which == Case::failed) {
        layout_->addWidget(look::labelled(
            "warning-triangle", look::red(),
            look::text(QString::fromStdString(status.failure), TextStyle::caption, look::red())));
      }
      layout_->addWidget(look::text(
          "\u2018시작\u2019을 누르면 이 컴퓨터를 Lumora 앱에서 접속할 수 있게 서빙합니다.",
          TextStyle::caption, look::secondary()));
      break;
  }
}

void StatusSection::renderServing(const app::AgentController::Status& status) {
  const auto& info = *status.info;
  if (auto address = app::AgentStatusText::addressLine(status)) {
    layout_->addWidget(look::labelled(
        "antenna", {}, look::text(QString::fromStdString(*address), TextStyle::callout)));
  }
  layout_->addWidget(look::text("페어링 코드", TextStyle::caption, look::secondary()));
  auto* code = look::text(QString::fromStdString(info.pairingCode), TextStyle::body);
  // Large, unless the code would not fit the panel on one line (a long code is not broken).
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setBold(true);
  mono.setPointSizeF(mono.pointSizeF() * 1.4);
  const int room = look::kPanelWidth - 2 * look::kPanelPadding;
  while (QFontMetrics(mono).horizontalAdvance(code->text()) > room && mono.pointSizeF() > 6) {
    mono.setPointSizeF(mono.pointSizeF() - 0.5);
  }
  code->setFont(mono);
  code->setObjectName("pairingCode");
  layout_->addWidget(code);

  if (!info.pairingLink) {
    layout_->addWidget(look::text("tailnet 주소를 찾는 중… (Tailscale 실행 확인)",
                                  TextStyle::caption, look::secondary()));
    return;
  }
  const QString link = QString::fromStdString(*info.pairingLink);
  layout_->addWidget(new QRMatrixView(link, kCodeSide), 0, Qt::AlignHCenter);
  auto* scan = look::text("Lumora 앱으로 스캔하세요", TextStyle::caption, look::secondary());
  scan->setAlignment(Qt::AlignHCenter);
  layout_->addWidget(scan);
  auto* copy = look::linkButton("딥링크 복사");
  copy->setIcon(look::symbol("copy", 16, QGuiApplication::palette().color(QPalette::Link)));
  connect(copy, &QPushButton::clicked, this, [link] {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(link);
  });
  layout_->addWidget(copy, 0, Qt::AlignHCenter);
}

}  // namespace lumora::tray
