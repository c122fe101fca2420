// The application object and its default error display.
#include "app/application.h"

#include <exception>

#include "app/message_box.h"
#include "dataset/dataset_error.h"

namespace zenkalo {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const dataset::EAbort&) {
        // An action a handler stopped on purpose: nothing to tell.
    } catch (const dataset::EDatabaseError& failure) {
        showError(activeWindow(), QString::fromStdU16String(failure.Message()));
    } catch (const std::exception& failure) {
        showError(activeWindow(), QString::fromUtf8(failure.what()));
    } catch (...) {
        showError(activeWindow(), QStringLiteral("Unknown error"));
    }
    return false;
}

}  // namespace zenkalo
