// A log that keeps what it is told, for tests that check what the storage layer reports.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"

namespace tdb::testing {

struct LogEntry {
    int level;
    std::u16string subSystem;
    std::u16string text;
};

class RecordingLog : public TTdbLog {
public:
    void LogMessage(int level, std::u16string_view subSystem,
                    std::u16string_view msgText) override {
        entries.push_back({level, std::u16string(subSystem), std::u16string(msgText)});
    }
    bool Has(int level, std::u16string_view text,
             std::u16string_view subSystem = u"Page Manager") const {
        for (const auto& e : entries) {
            if (e.level == level && e.text == text && e.subSystem == subSystem) {
                return true;
            }
        }
        return false;
    }
    std::vector<LogEntry> entries;
};

}  // namespace tdb::testing
