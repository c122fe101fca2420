// Runs every suite of the window tests inside the program's own application object.
#include <QTest>
#include <memory>

#include "app/application.h"
#include "app/program.h"
#include "suites.h"

int main(int argc, char** argv) {
    zenkalo::Application app(argc, argv);
    zenkalo::installFontSubstitutions();
    int failures = 0;
    for (const auto& makeSuite : zenkalo::test::suites()) {
        const std::unique_ptr<QObject> suite = makeSuite();
        failures += QTest::qExec(suite.get(), argc, argv);
    }
    return failures == 0 ? 0 : 1;
}
