// The engine error a call raises, for tests that expect one.
#pragma once

#include <cstdint>

#include "base/engine_error.h"

namespace tdb::testing {

// The engine error F raises; 0 when it raises none.
template <typename F>
std::int16_t EngineCode(F&& f) {
    try {
        f();
    } catch (const ETdbEngine& e) {
        return e.Code();
    }
    return 0;
}

}  // namespace tdb::testing
