// Table definitions as callers describe them in the call interface's records, turned into the
// engine's definition model.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "api/records.h"
#include "engine/catalog.h"
#include "engine/relation.h"

namespace tdb::api {

// Raises an engine error for a spec the engine cannot build: 144 for an unknown column type,
// 49 for a parameter out of range, 189 and 138 for string lengths and collations the type
// registry refuses. Formulas, defaults and check conditions are made through the services'
// expression factory.
TTdbCreateTableArgs MakeCreateTableArgs(TTdbServices& services, const TTdbTableInfo& info,
                                        std::u16string_view key,
                                        std::span<const TTdbFieldSpec> fields,
                                        std::span<const TTdbKeySpec> keys,
                                        std::span<const TTdbCheckSpec> checks,
                                        std::span<const TTdbIntegrityRuleSpec> rules);

// The engine's description of a column in the caller's record.
void FillFieldSpec(const tdb::TTdbFieldSpec& source, TTdbFieldSpec& target) noexcept;

}  // namespace tdb::api
