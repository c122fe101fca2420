// The engine's exception classes and the helpers that raise them.
#include "base/engine_error.h"

#include <limits>
#include <utility>

#include "base/error_tables.h"

namespace tdb {

ETdbEngine::ETdbEngine(std::int16_t code, std::u16string message)
    : Exception(std::move(message)), FCode(code) {}

ETdbCompilerError::ETdbCompilerError(std::int16_t code, std::u16string message,
                                     std::u16string unitName, std::u16string errorLine,
                                     std::int32_t lineNo, std::int32_t charNo)
    : ETdbEngine(code, std::move(message)),
      FErrorUnitName(std::move(unitName)),
      FErrorLine(std::move(errorLine)),
      FErrorLineNo(lineNo),
      FErrorCharNo(charNo) {}

namespace {

constexpr std::u16string_view kNonCriticalText =
    u"Non-critical internal exception; it is handled inside the engine and a user never "
    u"sees this message";

}  // namespace

std::u16string EngineErrorMessage(std::int16_t code, const TdbFormatArgs& args) {
    if (code == kTdbErrNonCritical) {
        return std::u16string(kNonCriticalText);
    }
    const std::u16string_view format = EngineMessageFormat(code);
    if (std::optional<std::u16string> message = TryFormatMessage(format, args)) {
        return std::move(*message);
    }
    return std::u16string(format);
}

ETdbEngine MakeNonCriticalError() {
    return ETdbEngine(kTdbErrNonCritical, std::u16string(kNonCriticalText));
}

void RaiseEngineError(std::int16_t code, const TdbFormatArgs& args) {
    throw ETdbEngine(code, EngineErrorMessage(code, args));
}

void RaiseNonCritical() {
    throw MakeNonCriticalError();
}

void RaiseCompilerError(std::int16_t code, const TdbFormatArgs& args, std::u16string unitName,
                        std::u16string errorLine, std::int32_t lineNo, std::int32_t charNo) {
    throw ETdbCompilerError(code, EngineErrorMessage(code, args), std::move(unitName),
                            std::move(errorLine), lineNo, charNo);
}

std::int16_t CheckEngineResult(std::int16_t result) {
    if (result >= 0) {
        return result;
    }
    if (result == std::numeric_limits<std::int16_t>::min()) {
        RaiseEngineError(kTdbErrUnknown, {u"engine result -32768"});
    }
    RaiseEngineError(static_cast<std::int16_t>(-result));
}

}  // namespace tdb
