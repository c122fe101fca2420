// The tdb database shell: one subcommand per job on a database directory, through the call
// interface alone. Texts in and out are UTF-8; a failure is one line on the error stream and the
// answer 1.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tdb::tools {

// Runs the command the arguments name (without the program's name); the exit status.
int RunTdb(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err);

}  // namespace tdb::tools
