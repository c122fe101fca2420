// The data maintenance window: browsing and editing the settlements table.
#include "app/maintenance_window.h"

#include "app/window_setup.h"

namespace zenkalo {

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
    setUpFixedWindow(*this, QStringLiteral("Form2"), QStringLiteral(" Adatok Karbantartása:"),
                     QSize(395, 277), TitleBarButtons::SystemMenuAndMinimize);
    // The window keeps the face colour of buttons rather than the plain window colour.
    setBackgroundRole(QPalette::Button);
}

}  // namespace zenkalo
