// The test suites of the window tests, each made fresh when it is run.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace zenkalo::test {

using SuiteFactory = std::function<std::unique_ptr<QObject>()>;

std::unique_ptr<QObject> makeHintTest();
std::unique_ptr<QObject> makeApplicationTest();
std::unique_ptr<QObject> makeMainWindowTest();
std::unique_ptr<QObject> makeProgramTest();
std::unique_ptr<QObject> makeHandOffTest();
std::unique_ptr<QObject> makeGridTest();
std::unique_ptr<QObject> makeSearchWindowTest();
std::unique_ptr<QObject> makeMaintenanceWindowTest();
std::unique_ptr<QObject> makeFilterWindowTest();
std::unique_ptr<QObject> makeAboutWindowTest();

inline std::vector<SuiteFactory> suites() {
    return {makeHintTest,         makeApplicationTest,       makeMainWindowTest,
            makeProgramTest,      makeHandOffTest,           makeGridTest,
            makeSearchWindowTest, makeMaintenanceWindowTest, makeFilterWindowTest,
            makeAboutWindowTest};
}

}  // namespace zenkalo::test
