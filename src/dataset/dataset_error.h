// The errors the dataset layer raises: plain database errors with a message, table errors that
// carry the call interface's result code and the session's engine error, expression errors, and
// the silent abort of an action that an event handler stopped.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "base/message_format.h"

namespace dataset {

class EDatabaseError : public std::exception {
public:
    explicit EDatabaseError(std::u16string message);
    const std::u16string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FWhat.c_str(); }

private:
    std::u16string FMessage;
    std::string FWhat;
};

class ETableDBError : public EDatabaseError {
public:
    ETableDBError(std::u16string message, std::int16_t tdbError, std::int16_t reason);
    // The call interface's result code.
    std::int16_t TdbError() const noexcept { return FTdbError; }
    // The negated engine error number of the session's last error; 0 when there was none.
    std::int16_t Reason() const noexcept { return FReason; }

private:
    std::int16_t FTdbError;
    std::int16_t FReason;
};

class ETableDBExpressionError : public ETableDBError {
public:
    ETableDBExpressionError(std::u16string message, std::int16_t tdbError, std::int16_t reason,
                            std::u16string expression, std::u16string errorLine,
                            std::u16string errorReason);
    const std::u16string& Expression() const noexcept { return FExpression; }
    const std::u16string& ErrorLine() const noexcept { return FErrorLine; }
    const std::u16string& ErrorReason() const noexcept { return FErrorReason; }

private:
    std::u16string FExpression;
    std::u16string FErrorLine;
    std::u16string FErrorReason;
};

// Stops an action without a message: raised by a before-event handler that refuses it.
class EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

[[noreturn]] void Abort();
[[noreturn]] void DatabaseError(std::u16string message);
// Formats with %s and %d placeholders; a format the arguments do not fit is raised as it stands.
[[noreturn]] void DatabaseErrorFmt(std::u16string_view format, const tdb::TdbFormatArgs& args);
std::u16string FormatText(std::u16string_view format, const tdb::TdbFormatArgs& args);

// Raises the error of a call that answered the negative Result: Context (already formatted)
// joined with the result code's message and the session's last error message.
[[noreturn]] void RaiseTdbError(std::u16string_view context, std::int16_t result,
                                std::int16_t sessHdl);
// The same for an expression that failed to evaluate, with the line the error was found in.
[[noreturn]] void RaiseTdbExpressionError(std::u16string_view expression, std::int16_t result,
                                          std::int16_t sessHdl);

// Raises for a negative Result; answers it otherwise.
inline std::int32_t TdbCheck(std::int32_t result, std::int16_t sessHdl,
                             std::u16string_view context) {
    if (result < 0)
        RaiseTdbError(context, static_cast<std::int16_t>(result), sessHdl);
    return result;
}

}  // namespace dataset
