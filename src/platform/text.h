// Conversion between the engine's UTF-16 strings and the UTF-8 byte strings
// the operating system and the C++ library speak.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tdb {

// Unpaired surrogates become U+FFFD: file names and messages must survive
// conversion even when a caller hands over broken text.
std::string ToUtf8(std::u16string_view text);

// Invalid or truncated sequences become U+FFFD, one per offending byte.
std::u16string FromUtf8(std::string_view text);

// Decimal digits of a number, for messages.
std::u16string NumberText(std::int64_t value);
// A name in double quotes, as messages show file and index names.
std::u16string QuotedText(std::u16string_view name);

}  // namespace tdb
