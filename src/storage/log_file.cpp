// The rotating log file: formatting lines, appending them, and moving generations along.
#include "storage/log_file.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/text.h"
#include "storage/file_errors.h"

namespace tdb {

namespace {

// Local time as "yyyy-mm-dd hh:nn:ss.zzz".
std::string TimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return text;
}

// A CSV field, quoted when it holds the separator, a quote or a line break.
std::string CsvField(std::u16string_view text) {
    const std::string field = ToUtf8(text);
    if (field.find_first_of(";\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

constexpr int32_t kOpenAppend = platform::kAccessReadWrite | platform::kShareExclusive;
constexpr int32_t kFileNotFound = 2;

}  // namespace

std::string OneLine(std::u16string_view text) {
    std::string line = ToUtf8(text);
    for (char& c : line) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return line;
}

TdwLog::TdwLog(std::u16string fileName, TdwLogFormat format, int64_t maxFileSize, int32_t keptFiles)
    : FFileName(std::move(fileName)),
      FFormat(format),
      FMaxFileSize(maxFileSize > 0 ? maxFileSize : kDefaultMaxFileSize),
      FKeptFiles(keptFiles > 0 ? keptFiles : 1) {}

TdwLog::~TdwLog() {
    Close();
}

void TdwLog::Open() {
    std::lock_guard lock(FMutex);
    OpenLocked();
    if (FHandle < 0) {
        throw EdwInOutError(u"Cannot create file \"" + FFileName + u"\"", FLastError);
    }
}

void TdwLog::Close() {
    std::lock_guard lock(FMutex);
    CloseLocked();
}

bool TdwLog::IsOpen() const {
    std::lock_guard lock(FMutex);
    return FHandle >= 0;
}

int32_t TdwLog::LastError() const {
    std::lock_guard lock(FMutex);
    return FLastError;
}

void TdwLog::OpenLocked() {
    if (FHandle >= 0) {
        return;
    }
    int32_t handle = platform::OpenFile(FFileName, kOpenAppend);
    if (handle < 0 && platform::GetLastError() == kFileNotFound) {
        handle = platform::CreateFile(FFileName);
    }
    if (handle < 0) {
        FLastError = platform::GetLastError();
        return;
    }
    const int64_t size = platform::GetFileSize(handle);
    if (size < 0) {
        FLastError = platform::GetLastError();
        platform::CloseFile(handle);
        return;
    }
    FHandle = handle;
    FSize = size;
}

void TdwLog::CloseLocked() {
    if (FHandle >= 0) {
        platform::CloseFile(FHandle);
        FHandle = -1;
    }
}

std::u16string TdwLog::GenerationName(int32_t generation) const {
    if (generation <= 0) {
        return FFileName;
    }
    const std::string number = "." + std::to_string(generation);
    const std::u16string suffix(number.begin(), number.end());
    const size_t slash = FFileName.find_last_of(u'/');
    const size_t dot = FFileName.find_last_of(u'.');
    const bool hasExtension = dot != std::u16string::npos && dot > 0 &&
                              (slash == std::u16string::npos || dot > slash + 1);
    if (!hasExtension) {
        return FFileName + suffix;
    }
    return FFileName.substr(0, dot) + suffix + FFileName.substr(dot);
}

// Generation N-1 goes, every other moves one up, and the current file starts afresh.
void TdwLog::Rotate() {
    CloseLocked();
    platform::DeleteFile(GenerationName(FKeptFiles - 1));
    for (int32_t generation = FKeptFiles - 2; generation >= 0; --generation) {
        platform::RenameFile(GenerationName(generation), GenerationName(generation + 1));
    }
    if (FKeptFiles == 1) {
        platform::DeleteFile(FFileName);
    }
    const int32_t handle = platform::CreateFile(FFileName);
    if (handle < 0) {
        FLastError = platform::GetLastError();
        return;
    }
    FHandle = handle;
    FSize = 0;
}

std::u16string_view TdwLog::SeverityName(int level) {
    if (level <= 1) {
        return u"Info";
    }
    return level == 2 ? u"Warning" : u"Error";
}

std::string TdwLog::FormatLine(int level, std::u16string_view subSystem,
                               std::u16string_view msgText) const {
    const std::string severity = ToUtf8(SeverityName(level));
    std::string line;
    if (FFormat == TdwLogFormat::Csv) {
        line = severity + ";" + TimeStamp() + ";" + CsvField(subSystem) + ";" + CsvField(msgText);
    } else {
        line = severity + " " + TimeStamp() + " " + OneLine(msgText);
    }
    line += '\n';
    return line;
}

void TdwLog::LogMessage(int level, std::u16string_view subSystem, std::u16string_view msgText) {
    const std::string line = FormatLine(level, subSystem, msgText);
    std::lock_guard lock(FMutex);
    OpenLocked();
    if (FHandle >= 0 && FSize > 0 && FSize + static_cast<int64_t>(line.size()) > FMaxFileSize) {
        Rotate();
    }
    if (FHandle < 0) {
        return;
    }
    const auto bytes = std::as_bytes(std::span(line.data(), line.size()));
    const int64_t written = platform::WriteFile(FHandle, FSize, bytes);
    if (written != static_cast<int64_t>(line.size())) {
        FLastError = platform::GetLastError();
        CloseLocked();  // the next message opens it again
        return;
    }
    FSize += written;
}

}  // namespace tdb
