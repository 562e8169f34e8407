#include "qr_matrix_view.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "look.h"

namespace lumora::tray {

QRMatrixView::QRMatrixView(const QString& link, int side, QWidget* parent)
    : QWidget(parent), side_(side) {
  const QByteArray bytes = link.toUtf8();
  matrix_ = core::TerminalQRCode::matrix(std::string_view(bytes.constData(), bytes.size()));
  if (matrix_ && matrix_->empty()) matrix_.reset();
  setObjectName("qr");
  setFixedSize(hasCode() ? QSize(side + 2 * kPadding, side + 2 * kPadding) : QSize(side, side));
}

void QRMatrixView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QPainterPath card;
  card.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);

  if (!matrix_) {
    painter.setRenderHint(QPainter::Antialiasing);
    QColor gray(Qt::gray);
    gray.setAlphaF(0.2);
    painter.fillPath(card, gray);
    painter.setPen(look::secondary());
    QFont font = painter.font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    painter.setFont(font);
    painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("QR 생성 실패"));
    return;
  }

  painter.setClipPath(card);
  painter.fillRect(rect(), Qt::white);
  // Each dark cell is drawn a little larger than its share (rounded up to a whole pixel), so
  // that neighbouring cells overlap and no seams show between them.
  const auto& rows = *matrix_;
  const qreal cell = static_cast<qreal>(side_) / static_cast<qreal>(rows.size());
  const qreal edge = std::ceil(cell);
  painter.translate(kPadding, kPadding);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      if (!rows[r][c]) continue;
      painter.fillRect(
          QRectF(cell * static_cast<qreal>(c), cell * static_cast<qreal>(r), edge, edge),
          Qt::black);
    }
  }
}

}  // namespace lumora::tray
