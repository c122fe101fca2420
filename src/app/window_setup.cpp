// The frame every window of the program shares.
#include "app/window_setup.h"

#include <QFont>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QWidget>

namespace zenkalo {

void setUpFixedWindow(QWidget& window, const QString& objectName, const QString& caption,
                      QSize clientSize, TitleBarButtons buttons) {
    window.setObjectName(objectName);
    window.setWindowTitle(caption);
    // Every window keeps the program's small dialog font; the layouts are measured in it.
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    window.setFont(font);

    const Qt::WindowFlags kind = window.windowFlags() & Qt::WindowType_Mask;
    Qt::WindowFlags flags = kind;
    switch (buttons) {
        case TitleBarButtons::SystemMenuAndMinimize:
            flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                     Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
            break;
        case TitleBarButtons::SystemMenuOnly:
            flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                     Qt::WindowCloseButtonHint;
            break;
        case TitleBarButtons::None:
            flags |= Qt::FramelessWindowHint;
            break;
    }
    window.setWindowFlags(flags);
    window.setFixedSize(clientSize);
}

void setTextColour(QWidget& widget, const QColor& colour, bool bold) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    palette.setColor(QPalette::ButtonText, colour);
    widget.setPalette(palette);
    if (bold) {
        QFont font = widget.font();
        font.setBold(true);
        widget.setFont(font);
    }
}

void centreOnScreen(QWidget& window) {
    const QScreen* screen = window.screen();
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    QRect frame = window.geometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

}  // namespace zenkalo
