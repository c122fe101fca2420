// The about window: product, maker and facts about this machine.
#include "app/about_window.h"

#include "app/window_setup.h"

namespace zenkalo {

TForm7::TForm7(QWidget* parent) : QDialog(parent) {
    setUpFixedWindow(*this, QStringLiteral("Form7"), QStringLiteral(" Névjegy:"), QSize(296, 388),
                     TitleBarButtons::SystemMenuOnly);
}

}  // namespace zenkalo
