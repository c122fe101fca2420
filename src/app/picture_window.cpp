// The borderless picture window opened from the about window.
#include "app/picture_window.h"

#include "app/window_setup.h"

namespace zenkalo {

TForm8::TForm8(QWidget* parent) : QDialog(parent) {
    setUpFixedWindow(*this, QStringLiteral("Form8"), QStringLiteral(""), QSize(145, 153),
                     TitleBarButtons::None);
}

}  // namespace zenkalo
