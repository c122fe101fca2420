// A process that shares a table with the tests, driven by the commands of share_commands.h on
// its standard input; "exit" ends it.
#include <iostream>
#include <string>

#include "share_commands.h"

int main() {
    tdb::testing::TShareCommands commands;
    if (!commands.Initialized()) {
        std::cout << "fail session" << std::endl;
        return 1;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "exit")
            break;
        std::cout << commands.Run(line) << std::endl;
    }
    return 0;
}
