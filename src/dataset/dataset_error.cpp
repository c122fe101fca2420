// The dataset layer's errors and how a failed call's message is composed.
#include "dataset/dataset_error.h"

#include <algorithm>
#include <array>

#include "api/call_interface.h"
#include "base/error_tables.h"
#include "platform/text.h"

namespace dataset {

namespace {

constexpr std::int16_t kMaxErrorText = 255;

// Codes that say the call never reached a session: its last error belongs to something else.
bool IsSessionless(std::int16_t result) {
    constexpr std::array kCodes = {-203, -108, -107, -106, -105, -104, -102, -101};
    return std::find(kCodes.begin(), kCodes.end(), result) != kCodes.end();
}

struct TLastError {
    std::int16_t Code = 0;
    std::u16string Message;
};

TLastError LastError(std::int16_t sessHdl) {
    TLastError last;
    std::array<char16_t, kMaxErrorText + 1> text{};
    if (tdb::api::TdbSessGetLastError(sessHdl, last.Code, text.data(), kMaxErrorText) < 0)
        return {};
    last.Message = text.data();
    return last;
}

}  // namespace

EDatabaseError::EDatabaseError(std::u16string message)
    : FMessage(std::move(message)), FWhat(tdb::ToUtf8(FMessage)) {}

ETableDBError::ETableDBError(std::u16string message, std::int16_t tdbError, std::int16_t reason)
    : EDatabaseError(std::move(message)), FTdbError(tdbError), FReason(reason) {}

ETableDBExpressionError::ETableDBExpressionError(std::u16string message, std::int16_t tdbError,
                                                 std::int16_t reason, std::u16string expression,
                                                 std::u16string errorLine,
                                                 std::u16string errorReason)
    : ETableDBError(std::move(message), tdbError, reason),
      FExpression(std::move(expression)),
      FErrorLine(std::move(errorLine)),
      FErrorReason(std::move(errorReason)) {}

void Abort() {
    throw EAbort();
}

void DatabaseError(std::u16string message) {
    throw EDatabaseError(std::move(message));
}

std::u16string FormatText(std::u16string_view format, const tdb::TdbFormatArgs& args) {
    std::optional<std::u16string> text = tdb::TryFormatMessage(format, args);
    return text ? std::move(*text) : std::u16string(format);
}

void DatabaseErrorFmt(std::u16string_view format, const tdb::TdbFormatArgs& args) {
    DatabaseError(FormatText(format, args));
}

void RaiseTdbError(std::u16string_view context, std::int16_t result, std::int16_t sessHdl) {
    std::u16string message;
    if (result != tdb::kTdbEngineError)
        message = tdb::ResultCodeMessage(result);
    if (IsSessionless(result))
        DatabaseErrorFmt(u"%s: %s", {context, message});
    const TLastError last = LastError(sessHdl);
    if (last.Code != 0 && result != tdb::kTdbEngineError)
        throw ETableDBError(FormatText(u"%s: %s. %s", {context, message, last.Message}), result,
                            last.Code);
    if (last.Code != 0)
        message = last.Message;
    throw ETableDBError(FormatText(u"%s: %s", {context, message}), result, last.Code);
}

void RaiseTdbExpressionError(std::u16string_view expression, std::int16_t result,
                             std::int16_t sessHdl) {
    const std::u16string message(tdb::ResultCodeMessage(result));
    std::array<char16_t, kMaxErrorText + 1> lineText{};
    const std::int16_t position =
        tdb::api::TdbSessGetLastErrorPos(sessHdl, lineText.data(), kMaxErrorText);
    std::u16string line = lineText.data();
    if (position >= 0 && static_cast<std::size_t>(position) + 1 < line.size())
        line.resize(static_cast<std::size_t>(position) + 1);
    const TLastError last = LastError(sessHdl);
    throw ETableDBExpressionError(
        FormatText(u"%s\r\n%s\r\nHinter\r\n%s\r\n%s", {message, expression, line, last.Message}),
        result, last.Code, std::u16string(expression), line, last.Message);
}

}  // namespace dataset
