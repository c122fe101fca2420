// The application object: Qt's own, plus the program's default error display
// for failures that no window handler catches.
#pragma once

#include <QApplication>

namespace zenkalo {

class Application : public QApplication {
    Q_OBJECT

public:
    Application(int& argc, char** argv);

    // A failure escaping an event handler is shown to the user in an error box
    // and the program goes on, instead of unwinding through the event loop.
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace zenkalo
