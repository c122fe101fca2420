// tdb: the database shell over the call interface.
#include <iostream>
#include <string>
#include <vector>

#include "tdb_cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return tdb::tools::RunTdb(args, std::cin, std::cout, std::cerr);
}
