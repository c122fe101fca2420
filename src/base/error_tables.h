// The engine's error vocabulary: message formats by engine error number and
// the messages of the call interface's result codes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "base/engine_errors.h"

namespace tdb {

// Highest engine error number that has a slot in the message table.
inline constexpr int kTdbEngineMessageSlots = 190;

// The message format of an engine error number; empty for numbers without a
// message and for numbers outside 1..kTdbEngineMessageSlots. The text lives
// for the whole run.
std::u16string_view EngineMessageFormat(int code) noexcept;

struct TdbResultCodeEntry {
    std::int16_t Code;
    std::u16string_view Message;
};

// All result codes in their fixed order; the first entry is the fallback.
std::span<const TdbResultCodeEntry> ResultCodeTable() noexcept;

// The message of a call-interface result code; "Unknown error" for a code the
// table does not know.
std::u16string_view ResultCodeMessage(int code) noexcept;

}  // namespace tdb
