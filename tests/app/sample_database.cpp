// Builds the sample database through the tdb shell.
#include "sample_database.h"

#include <iostream>
#include <sstream>
#include <string>

#include "tools/tdb_cli.h"

namespace zenkalo::test {

bool makeSampleDatabase(const QString& dir) {
    const std::string db = dir.toStdString();
    const std::vector<std::vector<std::string>> steps = {
        {"create", db, "Irsz", "--level", "6", "--column", "IRSZ WideString(4)", "--column",
         "TELEP WideString(38) COLLATE Hungarian", "--column", "TELK WideString(2)", "--index",
         "TELEP=TELEP", "--index", "IRSZ=IRSZ"},
        {"import", db, "Irsz", std::string(ZENKALO_DATA_DIR) + "/irsz.csv"},
    };
    for (const auto& step : steps) {
        std::istringstream in;
        std::ostringstream out;
        if (tdb::tools::RunTdb(step, in, out, std::cerr) != 0)
            return false;
    }
    return true;
}

}  // namespace zenkalo::test
