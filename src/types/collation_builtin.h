// The engine's own collation: code page 1252 accent folding, ASCII case folding
// and the "ß" ligature, for ANSI bytes and UTF-16 code units alike.
#pragma once

#include <cstddef>
#include <string_view>

#include "types/collation.h"

namespace tdb::collation_detail {

// Plain three-way comparison of two strings (no prefix bounds).
int BuiltInCompare(std::u16string_view a, std::u16string_view b, TStrCmpOptions options) noexcept;
int BuiltInCompare(std::string_view a, std::string_view b, TStrCmpOptions options) noexcept;

// A plain string against the prefix bound of BoundChars (the bound without its NUL).
// Never 0: a bound lies between strings.
int BuiltInCompareToBound(std::u16string_view plain, std::u16string_view boundChars,
                          TStrCmpOptions options) noexcept;
int BuiltInCompareToBound(std::string_view plain, std::string_view boundChars,
                          TStrCmpOptions options) noexcept;

// Two prefix bounds (without their NULs) by the points they stand for.
int BuiltInCompareBounds(std::u16string_view a, std::u16string_view b,
                         TStrCmpOptions options) noexcept;
int BuiltInCompareBounds(std::string_view a, std::string_view b, TStrCmpOptions options) noexcept;

// A plain string against the lower prefix bound of BoundChars: the point just below
// every string that begins with those characters when accents are ignored. Never 0.
int BuiltInCompareToLower(std::u16string_view plain, std::u16string_view boundChars,
                          TStrCmpOptions options) noexcept;
int BuiltInCompareToLower(std::string_view plain, std::string_view boundChars,
                          TStrCmpOptions options) noexcept;

// Two lower prefix bounds (without their NULs) by the points they stand for.
int BuiltInCompareLowers(std::u16string_view a, std::u16string_view b,
                         TStrCmpOptions options) noexcept;
int BuiltInCompareLowers(std::string_view a, std::string_view b, TStrCmpOptions options) noexcept;

// How many characters at the start of Value the literal Run covers, or -1 when the value
// does not begin with it. A run never ends inside a character of the value.
std::ptrdiff_t BuiltInMatchRun(std::u16string_view value, std::u16string_view run,
                               TStrCmpOptions options) noexcept;
std::ptrdiff_t BuiltInMatchRun(std::string_view value, std::string_view run,
                               TStrCmpOptions options) noexcept;

}  // namespace tdb::collation_detail
