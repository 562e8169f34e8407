#pragma once

#include <QString>
#include <QWidget>

#include <optional>

#include "core/terminal_qr_code.h"

namespace lumora::tray {

// The pairing link as a QR code `side` pixels square on a white card (12 of padding, rounded
// corners); where the link cannot be encoded, a gray square of the same side saying so.
class QRMatrixView : public QWidget {
  Q_OBJECT

 public:
  QRMatrixView(const QString& link, int side, QWidget* parent = nullptr);

  bool hasCode() const { return matrix_.has_value(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  static constexpr int kPadding = 12;
  static constexpr qreal kCornerRadius = 8;

  int side_;
  std::optional<core::TerminalQRCode::Matrix> matrix_;
};

}  // namespace lumora::tray
