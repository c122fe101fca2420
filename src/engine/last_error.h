// The session's last error: what the call interface reports after a failed
// operation, and the log interface that error reports are written to.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "base/engine_error.h"
#include "base/log.h"
#include "base/message_format.h"

namespace tdb {

// Severity at which stored errors are logged.
inline constexpr int kTdbErrorLogLevel = 2;

// The last-error part of a session's services object. Every Set... operation
// returns the negated engine error number as the 16-bit result of the failed
// operation, and none of them raises for a bad format or a failing log.
class TTdbLastError {
public:
    // Log may be null: errors are then stored but not logged. It is borrowed.
    explicit TTdbLastError(TTdbLog* log = nullptr) noexcept : FLog(log) {}

    void SetLog(TTdbLog* log) noexcept { FLog = log; }

    // Stores Message as it stands.
    std::int16_t SetLastErrorMsg(std::int16_t code, std::u16string_view message);
    // Stores the message of Code's format filled with Args.
    std::int16_t SetLastError(std::int16_t code, const TdbFormatArgs& args = {});
    // Stores Format filled with Args.
    std::int16_t SetLastErrorFormat(std::int16_t code, std::u16string_view format,
                                    const TdbFormatArgs& args);
    // An engine exception gives its number and message (a compiler error also
    // its position); any other exception is recorded as error 123 with its
    // text, and running out of memory as error 99.
    std::int16_t SetLastError(const std::exception& e);
    // For catch (...): records whatever is in flight, also exceptions that are
    // not std::exception (error 52).
    std::int16_t SetLastErrorFromCurrentException();
    std::int16_t SetLastCompilerError(const ETdbCompilerError& e);
    // Adds the text line and position of an error found while evaluating.
    void SetLastErrorPos(std::u16string_view line, std::uint16_t pos);
    void ClearLastError() noexcept;

    // The stored error as an exception to raise again; null when none is stored.
    std::unique_ptr<ETdbEngine> CreateLastErrorExc() const;

    std::int16_t LastErrorCode() const noexcept { return FLastErrorCode; }
    const std::u16string& LastErrorMsg() const noexcept { return FLastErrorMsg; }
    const std::u16string& LastErrorLine() const noexcept { return FLastErrorLine; }
    std::uint16_t LastErrorPos() const noexcept { return FLastErrorPos; }
    std::uint16_t LastErrorLineNo() const noexcept { return FLastErrorLineNo; }
    const std::u16string& LastErrorUnitName() const noexcept { return FLastErrorUnitName; }

private:
    std::int16_t Store(std::int16_t code, std::u16string message);
    std::int16_t AlreadyStored() const noexcept;

    TTdbLog* FLog;
    std::int16_t FLastErrorCode = 0;
    std::u16string FLastErrorMsg;
    std::u16string FLastErrorLine;
    std::uint16_t FLastErrorPos = 0;
    std::uint16_t FLastErrorLineNo = 0;
    std::u16string FLastErrorUnitName;
};

}  // namespace tdb
