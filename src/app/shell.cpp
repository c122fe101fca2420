// The desktop's shell.
#include "app/shell.h"

#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

namespace zenkalo {

TShell& shell() {
    static TShell desktop{
        [](const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); },
        [](const QString& program, const QStringList& arguments) {
            return QProcess::startDetached(program, arguments);
        },
    };
    return desktop;
}

}  // namespace zenkalo
