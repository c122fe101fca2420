// Runs every suite of the window tests inside the program's own application object.
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <iostream>
#include <memory>

#include "app/application.h"
#include "app/program.h"
#include "sample_database.h"
#include "suites.h"

int main(int argc, char** argv) {
    zenkalo::Application app(argc, argv);
    zenkalo::installFontSubstitutions();
    // The windows open the table of the working directory, as the program does where it starts.
    QTemporaryDir sample;
    if (!sample.isValid() || !zenkalo::test::makeSampleDatabase(sample.path()) ||
        !QDir::setCurrent(sample.path())) {
        std::cerr << "the sample database could not be built\n";
        return 1;
    }
    int failures = 0;
    for (const auto& makeSuite : zenkalo::test::suites()) {
        const std::unique_ptr<QObject> suite = makeSuite();
        failures += QTest::qExec(suite.get(), argc, argv);
    }
    return failures == 0 ? 0 : 1;
}
