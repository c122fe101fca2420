// The engine's log file: one line per message with its severity and local time, in plain or CSV
// form, into a file that rotates through a fixed number of generations when it grows too large.
//
// One object may be shared by every session of the process; LogMessage is thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/log.h"

namespace tdb {

// A message as one line of a log in UTF-8: line breaks inside it become blanks.
std::string OneLine(std::u16string_view text);

enum class TdwLogFormat {
    Text,  // "severity yyyy-mm-dd hh:nn:ss.zzz message"
    Csv    // "severity;yyyy-mm-dd hh:nn:ss.zzz;subsystem;message"
};

class TdwLog : public TTdbLog {
public:
    static constexpr int64_t kDefaultMaxFileSize = 20480000;
    static constexpr int32_t kDefaultKeptFiles = 5;

    // Generation 0 is fileName itself; older ones are named by GenerationName. keptFiles counts
    // the current file too.
    explicit TdwLog(std::u16string fileName, TdwLogFormat format = TdwLogFormat::Text,
                    int64_t maxFileSize = kDefaultMaxFileSize,
                    int32_t keptFiles = kDefaultKeptFiles);
    ~TdwLog() override;
    TdwLog(const TdwLog&) = delete;
    TdwLog& operator=(const TdwLog&) = delete;

    // Opens the current file, appending to what it holds. Raises EdwInOutError when the file
    // cannot be opened or made. Messages logged before open it on their own.
    void Open();
    void Close();
    bool IsOpen() const;

    // Never raises: a log that cannot be written must not fail the operation it reports. The
    // platform code of the last failure stays in LastError().
    void LogMessage(int level, std::u16string_view subSystem, std::u16string_view msgText) override;

    // "Info" (1 and below), "Warning" (2), "Error" (3 and above).
    static std::u16string_view SeverityName(int level);
    // The name of an older generation: "name.N.ext" (or "name.N" without an extension).
    std::u16string GenerationName(int32_t generation) const;
    const std::u16string& FileName() const { return FFileName; }
    int32_t LastError() const;

private:
    void OpenLocked();
    void CloseLocked();
    void Rotate();
    std::string FormatLine(int level, std::u16string_view subSystem,
                           std::u16string_view msgText) const;

    mutable std::mutex FMutex;
    const std::u16string FFileName;
    const TdwLogFormat FFormat;
    const int64_t FMaxFileSize;
    const int32_t FKeptFiles;
    int32_t FHandle = -1;
    int64_t FSize = 0;
    int32_t FLastError = 0;
};

}  // namespace tdb
