#include "look.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>

namespace lumora::tray::look {

namespace {

QFont fontFor(TextStyle style) {
  QFont font = QApplication::font();
  const qreal base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
  switch (style) {
    case TextStyle::headline:
      font.setBold(true);
      break;
    case TextStyle::callout:
      font.setPointSizeF(base * 0.95);
      break;
    case TextStyle::caption:
      font.setPointSizeF(base * 0.85);
      break;
    case TextStyle::smallCaption:
      font.setPointSizeF(base * 0.78);
      break;
    case TextStyle::body:
      break;
  }
  return font;
}

void paint(QWidget* widget, QColor colour) {
  if (!colour.isValid()) return;
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  palette.setColor(QPalette::ButtonText, colour);
  widget->setPalette(palette);
}

}  // namespace

QColor secondary() { return QApplication::palette().color(QPalette::PlaceholderText); }
QColor red() { return QColor(0xc0, 0x1c, 0x28); }
QColor green() { return QColor(0x26, 0xa2, 0x69); }
QColor orange() { return QColor(0xe6, 0x61, 0x00); }
QColor accent() { return QApplication::palette().color(QPalette::Highlight); }

QLabel* text(const QString& content, TextStyle style, QColor colour) {
  auto* label = new QLabel(content);
  label->setFont(fontFor(style));
  label->setWordWrap(true);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  paint(label, colour);
  return label;
}

QPixmap symbol(const QString& name, int size, QColor tint) {
  const qreal ratio = qApp->devicePixelRatio();
  QPixmap pixmap = QIcon(":/icons/" + name + ".svg").pixmap(QSize(size, size), ratio);
  if (tint.isValid() && !pixmap.isNull()) {
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), tint);
  }
  return pixmap;
}

QLabel* symbolLabel(const QString& name, int size, QColor tint) {
  auto* label = new QLabel;
  label->setPixmap(symbol(name, size, tint));
  label->setFixedSize(size, size);
  return label;
}

QWidget* labelled(const QString& symbolName, QColor tint, QLabel* label) {
  auto* row = new QWidget;
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(symbolLabel(symbolName, 16, tint), 0, Qt::AlignTop);
  layout->addWidget(label, 1);
  return row;
}

QPushButton* linkButton(const QString& content, TextStyle style) {
  auto* button = new QPushButton(content);
  button->setFlat(true);
  button->setCursor(Qt::PointingHandCursor);
  button->setFont(fontFor(style));
  button->setStyleSheet("QPushButton { border: none; padding: 0; text-align: left; }");
  paint(button, QApplication::palette().color(QPalette::Link));
  button->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  return button;
}

QPushButton* wideButton(const QString& content, const QString& symbolName) {
  auto* button = new QPushButton(QIcon(":/icons/" + symbolName + ".svg"), content);
  button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  return button;
}

QWidget* divider() {
  auto* line = new QFrame;
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QWidget* progress() {
  auto* bar = new QProgressBar;
  bar->setRange(0, 0);
  bar->setTextVisible(false);
  bar->setFixedSize(48, 6);
  return bar;
}

void clear(QLayout* layout) {
  while (QLayoutItem* item = layout->takeAt(0)) {
    if (QWidget* widget = item->widget()) {
      widget->hide();
      widget->deleteLater();
    } else if (QLayout* inner = item->layout()) {
      clear(inner);
    }
    delete item;
  }
}

}  // namespace lumora::tray::look
