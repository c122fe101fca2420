// The application object: Qt's own, plus the program's default error display
// for failures that no window handler catches.
#pragma once

#include <QApplication>
#include <functional>

namespace zenkalo {

class Application : public QApplication {
    Q_OBJECT

public:
    Application(int& argc, char** argv);

    // A failure escaping an event handler is shown to the user in an error box
    // and the program goes on, instead of unwinding through the event loop.
    bool notify(QObject* receiver, QEvent* event) override;
};

// Runs a handler's work and shows its failure as the default error display does: a dataset
// error or any other exception in an error box, an abort silently. Handlers that Qt calls from
// deep inside its own event handling use it, so that no exception unwinds through Qt.
void showingFailures(const std::function<void()>& work);

}  // namespace zenkalo
