// The filter builder: narrows the records every window shows.
#include "app/filter_window.h"

#include "app/window_setup.h"

namespace zenkalo {

TForm6::TForm6(QWidget* parent) : QDialog(parent) {
    setUpFixedWindow(*this, QStringLiteral("Form6"),
                     QStringLiteral(" Megjelenítendő adatok szűrése:"), QSize(541, 265),
                     TitleBarButtons::SystemMenuAndMinimize);
}

}  // namespace zenkalo
