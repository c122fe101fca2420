// A second process for the lock-file tests: it logs into a table's lock file and runs one command
// per line of its input, answering each with one line, so that a test can hold it at any point
// and kill it there.
//
//   lock_file_probe BASENAME STATION_NO STATION_NAME
//     attempts N            -> "ok"            (wait attempts for table locks and the mutex)
//     login                 -> "ok" | "error CODE"
//     lock FROM TO          -> "true" | "false"   (immediate; levels none/read/upgrade/write)
//     wait FROM TO          -> "true" | "false"   (waits up to the attempts)
//     unlock FROM TO        -> "ok"
//     record N | unrecord N -> "true" | "false" | "ok"
//     move FROM TO          -> "ok"
//     readmove              -> "FROM TO" | "none"
//     update                -> "true" | "false"   (another session changed the table)
//     logout                -> "ok"
//     exit                  -> ends the process without logging out
//   A command the engine refuses answers "error CODE".
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "base/engine_error.h"
#include "engine/lock_file.h"
#include "platform/text.h"
#include "storage/os_file_system.h"

using namespace tdb;

namespace {

TTdbTableLockType Level(const std::string& name) {
    if (name == "read")
        return tltRead;
    if (name == "upgrade")
        return tltUpgrade;
    if (name == "write")
        return tltWrite;
    return tltNone;
}

const char* Answer(bool value) {
    return value ? "true" : "false";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: lock_file_probe BASENAME STATION_NO STATION_NAME\n";
        return 2;
    }
    TdwOSFileSystem fileSystem;
    TTdbLockFile lockFile(fileSystem);
    lockFile.SetSessionId(std::strtoull(argv[2], nullptr, 10));
    lockFile.SetSessionName(FromUtf8(argv[3]));
    const std::u16string base = FromUtf8(argv[1]);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string verb, a, b;
        in >> verb >> a >> b;
        try {
            if (verb == "attempts") {
                lockFile.SetWaitAttempts(std::stoi(a));
                std::cout << "ok";
            } else if (verb == "login") {
                lockFile.LogIn(base, 6, false);
                std::cout << "ok";
            } else if (verb == "lock" || verb == "wait") {
                std::cout << Answer(lockFile.LockTable(Level(a), Level(b), verb == "lock"));
            } else if (verb == "unlock") {
                lockFile.UnlockTable(Level(a), Level(b));
                std::cout << "ok";
            } else if (verb == "record") {
                std::cout << Answer(lockFile.LockRecord(std::stoi(a)));
            } else if (verb == "unrecord") {
                lockFile.UnlockRecord(std::stoi(a));
                std::cout << "ok";
            } else if (verb == "move") {
                lockFile.AddRecordMove(std::stoi(a), std::stoi(b));
                std::cout << "ok";
            } else if (verb == "readmove") {
                std::int32_t from = 0;
                std::int32_t to = 0;
                if (lockFile.ReadRecordMove(from, to))
                    std::cout << from << " " << to;
                else
                    std::cout << "none";
            } else if (verb == "update") {
                std::cout << Answer(lockFile.CheckUpdate());
            } else if (verb == "logout") {
                lockFile.LogOut();
                std::cout << "ok";
            } else if (verb == "exit") {
                std::cout.flush();
                std::_Exit(0);
            } else {
                std::cout << "unknown";
            }
        } catch (const ETdbEngine& error) {
            std::cout << "error " << error.Code();
        }
        std::cout << std::endl;
    }
    return 0;
}
