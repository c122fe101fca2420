// The desktop's shell.
#include "app/shell.h"

#include <QDesktopServices>
#include <QProcess>

namespace zenkalo {

TShell& shell() {
    static TShell desktop{
        [](const QUrl& address) { return QDesktopServices::openUrl(address); },
        [](const QString& program, const QStringList& arguments) {
            return QProcess::startDetached(program, arguments);
        },
    };
    return desktop;
}

}  // namespace zenkalo
