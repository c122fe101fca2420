// The frame every window of the program shares: fixed client size, caption,
// the title-bar buttons it offers and a place in the middle of the screen.
#pragma once

#include <QSize>
#include <QString>

class QColor;
class QWidget;

namespace zenkalo {

enum class TitleBarButtons {
    SystemMenuAndMinimize,  // close and minimize, never maximize
    SystemMenuOnly,         // close only
    None,                   // no border and no caption at all
};

void setUpFixedWindow(QWidget& window, const QString& objectName, const QString& caption,
                      QSize clientSize, TitleBarButtons buttons);

// The colour of a control's text, and bold where asked.
void setTextColour(QWidget& widget, const QColor& colour, bool bold = false);

// Centres the window's client area on the screen it will appear on.
void centreOnScreen(QWidget& window);

}  // namespace zenkalo
