// The borderless picture window opened from the about window.
#include "app/picture_window.h"

#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QPixmap>

#include "app/resources.h"
#include "app/window_setup.h"

namespace zenkalo {

TForm8::TForm8(QWidget* parent) : QDialog(parent) {
    setUpFixedWindow(*this, QStringLiteral("Form8"), QStringLiteral(""), QSize(145, 153),
                     TitleBarButtons::None);
    ensureResources();
    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setGeometry(0, 0, 145, 153);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setLineWidth(4);
    auto* picture = new QLabel(panel);
    picture->setObjectName(QStringLiteral("Image1"));
    picture->setGeometry(8, 8, 129, 137);
    picture->setScaledContents(true);
    picture->setPixmap(QPixmap(QStringLiteral(":/images/main_picture.jpg")));
    panel->installEventFilter(this);
    picture->installEventFilter(this);
}

bool TForm8::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        Image1Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TForm8::Image1Click() {
    close();
}

}  // namespace zenkalo
