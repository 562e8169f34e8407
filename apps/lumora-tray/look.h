#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QAbstractButton;
class QLabel;
class QLayout;
class QPixmap;
class QPushButton;
class QWidget;

// The panel's fonts, colours and symbols, in one place so that every section looks alike.
namespace lumora::tray::look {

// The panel's width and its padding on every side.
constexpr int kPanelWidth = 300;
constexpr int kPanelPadding = 16;

enum class TextStyle { headline, callout, caption, smallCaption, body };

QColor secondary();
QColor red();
QColor green();
QColor orange();
QColor accent();

// A label in `style`, `colour` when given.
QLabel* text(const QString& text, TextStyle style, QColor colour = {});
// The symbol `name` from the program's icons (":/icons/<name>.svg"), `size` pixels square,
// recoloured to `tint` when given.
QPixmap symbol(const QString& name, int size, QColor tint = {});
QLabel* symbolLabel(const QString& name, int size, QColor tint = {});
// A row: symbol, then text (the label given), left-aligned.
QWidget* labelled(const QString& symbolName, QColor tint, QLabel* label);
// A flat button in the link colour.
QPushButton* linkButton(const QString& text, TextStyle style = TextStyle::caption);
// A push button as wide as its section.
QPushButton* wideButton(const QString& text, const QString& symbolName);
// A thin horizontal line between sections.
QWidget* divider();
// A small busy indicator.
QWidget* progress();
// Deletes every item of `layout` and the widgets in them, safely from within their signals.
void clear(QLayout* layout);

}  // namespace lumora::tray::look
