// The application object and its default error display.
#include "app/application.h"

#include <exception>

#include "app/message_box.h"
#include "dataset/dataset_error.h"

namespace zenkalo {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

void showingFailures(const std::function<void()>& work) {
    try {
        work();
    } catch (const dataset::EAbort&) {
        // An action a handler stopped on purpose: nothing to tell.
    } catch (const dataset::EDatabaseError& failure) {
        showError(QApplication::activeWindow(), QString::fromStdU16String(failure.Message()));
    } catch (const std::exception& failure) {
        showError(QApplication::activeWindow(), QString::fromUtf8(failure.what()));
    } catch (...) {
        showError(QApplication::activeWindow(), QStringLiteral("Unknown error"));
    }
}

bool Application::notify(QObject* receiver, QEvent* event) {
    bool handled = false;
    showingFailures([&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

}  // namespace zenkalo
