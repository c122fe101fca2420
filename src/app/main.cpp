// Zenkalo: looking up Hungarian postal codes.
#include <QTextStream>

#include "app/application.h"
#include "app/program.h"

int main(int argc, char** argv) {
    zenkalo::Application app(argc, argv);
    zenkalo::Program program(app);
    // Measures the start: the program ends as soon as its first screen is painted.
    if (QCoreApplication::arguments().contains(QStringLiteral("--startup-time"))) {
        QTextStream out(stdout);
        return program.runToFirstScreen(out);
    }
    return program.run();
}
