// The session's last error. It is written from catch blocks, so nothing here
// may raise because of the error being reported.
#include "engine/last_error.h"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

#include "base/error_tables.h"
#include "platform/text.h"

namespace tdb {

namespace {

// Error numbers are positive. A caller that hands over a negated engine
// result still means that error; anything else without a number becomes
// error 52, so that a failure can never come back as a success.
std::int16_t Normalize(std::int16_t code) noexcept {
    if (code > 0) {
        return code;
    }
    if (code < 0 && code != std::numeric_limits<std::int16_t>::min()) {
        return static_cast<std::int16_t>(-code);
    }
    return kTdbErrUnknown;
}

std::u16string TabsToBlanks(std::u16string_view line) {
    std::u16string result(line);
    std::replace(result.begin(), result.end(), u'\t', u' ');
    return result;
}

// The compiler counts in 32 bits, the record in 16: out-of-range positions
// stick to the nearest end instead of wrapping to a wrong one.
std::uint16_t Clamp16(std::int32_t value) noexcept {
    return static_cast<std::uint16_t>(
        std::clamp<std::int32_t>(value, 0, std::numeric_limits<std::uint16_t>::max()));
}

}  // namespace

std::int16_t TTdbLastError::AlreadyStored() const noexcept {
    // An exception carrying 9999 promises that the error was recorded; if it
    // was not, the operation still has to fail.
    return FLastErrorCode > 0 ? static_cast<std::int16_t>(-FLastErrorCode)
                              : static_cast<std::int16_t>(-kTdbErrNonCritical);
}

std::int16_t TTdbLastError::Store(std::int16_t code, std::u16string message) {
    FLastErrorCode = code;
    FLastErrorMsg = std::move(message);
    if (code != kTdbErrRecordNotFound && FLog != nullptr) {
        try {
            const std::u16string title = TryFormatMessage(u"Error %d", {code}).value_or(u"Error");
            FLog->LogMessage(kTdbErrorLogLevel, title, FLastErrorMsg);
        } catch (...) {
            // A log that cannot be written must not replace the error being
            // reported.
        }
    }
    return static_cast<std::int16_t>(-code);
}

std::int16_t TTdbLastError::SetLastErrorMsg(std::int16_t code, std::u16string_view message) {
    code = Normalize(code);
    if (code == kTdbErrNonCritical) {
        return AlreadyStored();
    }
    return Store(code, std::u16string(message));
}

std::int16_t TTdbLastError::SetLastError(std::int16_t code, const TdbFormatArgs& args) {
    code = Normalize(code);
    return SetLastErrorFormat(code, EngineMessageFormat(code), args);
}

std::int16_t TTdbLastError::SetLastErrorFormat(std::int16_t code, std::u16string_view format,
                                               const TdbFormatArgs& args) {
    code = Normalize(code);
    if (code == kTdbErrNonCritical) {
        return AlreadyStored();
    }
    std::optional<std::u16string> message = TryFormatMessage(format, args);
    if (!message) {
        message = u"Invalid error message: " + std::u16string(format);
    }
    return Store(code, std::move(*message));
}

std::int16_t TTdbLastError::SetLastCompilerError(const ETdbCompilerError& e) {
    const std::int16_t result = SetLastErrorMsg(e.Code(), e.Message());
    if (Normalize(e.Code()) != kTdbErrNonCritical) {
        FLastErrorUnitName = e.ErrorUnitName();
        FLastErrorLine = TabsToBlanks(e.ErrorLine());
        FLastErrorLineNo = Clamp16(e.ErrorLineNo());
        FLastErrorPos = Clamp16(e.ErrorCharNo());
    }
    return result;
}

std::int16_t TTdbLastError::SetLastError(const std::exception& e) {
    if (const auto* compilerError = dynamic_cast<const ETdbCompilerError*>(&e)) {
        return SetLastCompilerError(*compilerError);
    }
    if (const auto* engineError = dynamic_cast<const ETdbEngine*>(&e)) {
        return SetLastErrorMsg(engineError->Code(), engineError->Message());
    }
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
        return SetLastError(kTdbErrOutOfMemory);
    }
    // Error 123 names the exception and keeps its text; the call interface
    // records foreign exceptions the same way.
    if (const auto* ownError = dynamic_cast<const Exception*>(&e)) {
        return SetLastError(kTdbErrException, {ownError->Message()});
    }
    return SetLastError(kTdbErrException, {FromUtf8(e.what())});
}

std::int16_t TTdbLastError::SetLastErrorFromCurrentException() {
    const std::exception_ptr current = std::current_exception();
    if (!current) {
        return SetLastError(kTdbErrUnknown, {u"no exception in flight"});
    }
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& e) {
        return SetLastError(e);
    } catch (...) {
        return SetLastError(kTdbErrUnknown, {u"exception of unknown type"});
    }
}

void TTdbLastError::SetLastErrorPos(std::u16string_view line, std::uint16_t pos) {
    FLastErrorLine = TabsToBlanks(line);
    FLastErrorPos = pos;
}

void TTdbLastError::ClearLastError() noexcept {
    FLastErrorCode = 0;
    FLastErrorMsg.clear();
    FLastErrorLine.clear();
    FLastErrorPos = 0;
    FLastErrorLineNo = 0;
    FLastErrorUnitName.clear();
}

std::unique_ptr<ETdbEngine> TTdbLastError::CreateLastErrorExc() const {
    if (FLastErrorCode <= 0) {
        return nullptr;
    }
    return std::make_unique<ETdbEngine>(FLastErrorCode, FLastErrorMsg);
}

}  // namespace tdb
