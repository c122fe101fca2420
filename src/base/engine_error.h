// The engine's exception classes and the helpers that raise them with a
// message taken from the engine message table.
#pragma once

#include <cstdint>
#include <string>

#include "base/message_format.h"
#include "platform/exception.h"

namespace tdb {

// A failure inside the engine, carrying its engine error number.
class ETdbEngine : public Exception {
public:
    ETdbEngine(std::int16_t code, std::u16string message);

    std::int16_t Code() const noexcept { return FCode; }

private:
    std::int16_t FCode;
};

// A condition or program that does not compile, with where it failed.
class ETdbCompilerError : public ETdbEngine {
public:
    ETdbCompilerError(std::int16_t code, std::u16string message, std::u16string unitName,
                      std::u16string errorLine, std::int32_t lineNo, std::int32_t charNo);

    const std::u16string& ErrorUnitName() const noexcept { return FErrorUnitName; }
    const std::u16string& ErrorLine() const noexcept { return FErrorLine; }
    std::int32_t ErrorLineNo() const noexcept { return FErrorLineNo; }
    std::int32_t ErrorCharNo() const noexcept { return FErrorCharNo; }

private:
    std::u16string FErrorUnitName;
    std::u16string FErrorLine;
    std::int32_t FErrorLineNo;
    std::int32_t FErrorCharNo;
};

// The message of engine error Code: its format filled with Args, or the bare
// format when they do not fit it. 9999 gets its fixed text. Never raises for
// a format mismatch.
std::u16string EngineErrorMessage(std::int16_t code, const TdbFormatArgs& args = {});

// The non-critical control-flow exception, with its fixed text.
ETdbEngine MakeNonCriticalError();

[[noreturn]] void RaiseEngineError(std::int16_t code, const TdbFormatArgs& args = {});

// Signals that the real error is already stored as the session's last error.
[[noreturn]] void RaiseNonCritical();

[[noreturn]] void RaiseCompilerError(std::int16_t code, const TdbFormatArgs& args,
                                     std::u16string unitName, std::u16string errorLine,
                                     std::int32_t lineNo, std::int32_t charNo);

// Passes a zero or positive engine result through; raises engine error N for
// a result of -N. -32768 has no positive counterpart and raises error 52.
std::int16_t CheckEngineResult(std::int16_t result);

}  // namespace tdb
