// Keeping exceptions inside the engine: every call-interface operation runs its body through
// Contain, which turns whatever the body raises into the session's last error and a result code,
// so that no exception ever reaches a caller of the call interface.
#pragma once

#include <cstdint>
#include <exception>
#include <type_traits>
#include <utility>

#include "api/result_codes.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/services.h"
#include "platform/text.h"

namespace tdb::api {

enum class TTdbCatch : std::uint8_t {
    // Engine errors give the operation's failure code; any other exception is recorded as well
    // and gives the failure code too.
    EngineErrors,
    // Engine errors give the failure code; any other exception is recorded as engine error 123
    // with its text and gives -102, the answer for a failure the engine did not foresee.
    AnyException,
};

namespace detail {

// The text of a foreign exception for error 123.
inline std::u16string ForeignExceptionText(const std::exception_ptr& current) {
    try {
        std::rethrow_exception(current);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return FromUtf8(e.what());
    } catch (...) {
        return u"exception of unknown type";
    }
}

}  // namespace detail

// Runs Body and answers its result; for an exception, records the last error in Services and
// answers FailureCode (or -102, see TTdbCatch). Recording can itself fail for want of memory:
// the code is answered all the same.
template <typename Body>
auto Contain(TTdbServices& services, std::int16_t failureCode, TTdbCatch mode, Body&& body) noexcept
    -> std::invoke_result_t<Body> {
    using TResult = std::invoke_result_t<Body>;
    try {
        return std::forward<Body>(body)();
    } catch (const ETdbEngine& e) {
        try {
            services.SetLastError(e);
        } catch (...) {
        }
        return static_cast<TResult>(failureCode);
    } catch (...) {
        const std::exception_ptr current = std::current_exception();
        try {
            if (mode == TTdbCatch::AnyException) {
                services.SetLastError(kTdbErrException, {detail::ForeignExceptionText(current)});
                return static_cast<TResult>(kTdbEngineException);
            }
            services.SetLastErrorFromCurrentException();
        } catch (...) {
            if (mode == TTdbCatch::AnyException) {
                return static_cast<TResult>(kTdbEngineException);
            }
        }
        return static_cast<TResult>(failureCode);
    }
}

}  // namespace tdb::api
