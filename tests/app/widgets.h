// Finding a window's controls by the names the window gives them.
#pragma once

#include <QWidget>

namespace zenkalo::test {

template <typename Widget>
Widget& child(const QWidget& window, const char* name) {
    return *window.findChild<Widget*>(QLatin1String(name));
}

}  // namespace zenkalo::test
