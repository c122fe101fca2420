// The sample database the window tests run in: the table Irsz built from the postal list by the
// tdb shell, exactly as the program's own sample is built.
#pragma once

#include <QString>

namespace zenkalo::test {

// Builds it in Dir; false (with the shell's message on the error stream) when that fails.
bool makeSampleDatabase(const QString& dir);

// The records of the postal list.
inline constexpr int kSampleRecords = 3570;

}  // namespace zenkalo::test
