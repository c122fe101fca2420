// The search window: finds a settlement or a postal code while the user types.
#include "app/search_window.h"

#include "app/window_setup.h"

namespace zenkalo {

TForm5::TForm5(QWidget* parent) : QDialog(parent) {
    setUpFixedWindow(*this, QStringLiteral("Form5"), QStringLiteral(" Adatok keresése:"),
                     QSize(395, 277), TitleBarButtons::SystemMenuAndMinimize);
}

}  // namespace zenkalo
