// Where the engine writes its log lines: the session's log file implements
// it, and every layer that reports (page manager, last error) writes to it.
#pragma once

#include <string_view>

namespace tdb {

// Severities: 1 information, 2 warning or error reported to the caller,
// 3 failure inside the engine.
class TTdbLog {
public:
    virtual ~TTdbLog() = default;
    virtual void LogMessage(int level, std::u16string_view subSystem,
                            std::u16string_view msgText) = 0;
};

}  // namespace tdb
