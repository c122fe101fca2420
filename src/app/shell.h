// What the program leaves to other software: opening a document or an address with the program
// the desktop associates with it, and starting a program. One place, so that tests can stand in for
// both.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

namespace zenkalo {

struct TShell {
    // A document (a file address), a mail or a web address with the program the desktop
    // associates with it; false when the desktop cannot open it.
    std::function<bool(const QUrl& address)> openUrl;
    // Starts a program with its arguments and does not wait for it; false when it cannot start.
    std::function<bool(const QString& program, const QStringList& arguments)> startProgram;
};

// The program's shell; by default the desktop's.
TShell& shell();

}  // namespace zenkalo
