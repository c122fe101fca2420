// The call interface's relation operations: what a relation is, its indexes and their
// maintenance, its columns, and closing it.
#include <algorithm>
#include <string>

#include "api/call_interface.h"
#include "api/dispatch.h"
#include "api/table_records.h"
#include "api/text_buffers.h"
#include "engine/base_table.h"
#include "engine/catalog.h"
#include "index/index_text.h"

namespace tdb::api {

namespace {

// Index maintenance works on the files of stored tables only.
TTdbBaseTable& StoredTable(const TTdbRelationRef& ref) {
    auto* table = dynamic_cast<TTdbBaseTable*>(ref.Relation);
    if (table == nullptr) {
        RaiseEngineError(kTdbErrNotSupported, {u"index maintenance on " + ref.Relation->GetName()});
    }
    return *table;
}

// The index number of the name, or -1 with the reason as the last error.
TTdbIndexNo FindIndex(const TTdbRelationRef& ref, std::u16string_view name) {
    const TTdbIndexNo indexNo = ref.Relation->FindIndexByName(name);
    if (indexNo == kTdbNoIndex) {
        ref.Local->Services().SetLastError(kTdbErrIndexNotFound, {std::u16string(name)});
    }
    return indexNo;
}

}  // namespace

std::int16_t TdbRltnGetTableInfo(std::int16_t rltnHdl, TTdbTableInfo& info) noexcept {
    return WithRelation(rltnHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int16_t {
                            const auto* table = dynamic_cast<const TTdbBaseTable*>(ref.Relation);
                            if (table == nullptr) {
                                return kTdbInvalidRelationHandle;
                            }
                            info = {};
                            SetFixedText(info.FileName, table->FileName());
                            info.Level = table->GetLevel();
                            SetFixedText(info.Language, table->CollationName());
                            info.EncryptionMethod =
                                static_cast<std::uint8_t>(table->EncryptionMethod());
                            info.Capacity = table->GetCapacity();
                            return kTdbOk;
                        });
}

std::int16_t TdbRltnActivateEditLocks(std::int16_t rltnHdl, bool value) noexcept {
    return WithRelation(rltnHdl, kTdbEngineException, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int16_t {
                            ref.Relation->ActivateEditLocks(value);
                            return kTdbOk;
                        });
}

std::int16_t TdbRltnCheckIndex(std::int16_t rltnHdl, const char16_t* indexName, char16_t* problem,
                               std::int16_t maxLen) noexcept {
    return WithRelation(rltnHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int16_t {
                            const TTdbIndexNo indexNo = FindIndex(ref, InText(indexName));
                            if (indexNo == kTdbNoIndex) {
                                return kTdbIndexDoesNotExist;
                            }
                            const std::u16string found =
                                StoredTable(ref).IndexDisagreement(indexNo);
                            CopyOut(problem, maxLen, found);
                            return found.empty() ? 1 : 0;
                        });
}

std::int16_t TdbRltnGetIndexNames(std::int16_t rltnHdl, char16_t* names,
                                  std::int16_t maxLen) noexcept {
    return WithRelation(rltnHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int16_t {
                            const TTdbRelation& relation = *ref.Relation;
                            std::u16string list;
                            for (TTdbIndexNo no = relation.GetFirstIndexNo();
                                 no <= relation.GetLastIndexNo(); ++no) {
                                const TTdbIndexFile* index = relation.GetIndexFile(no);
                                if (index == nullptr) {
                                    continue;
                                }
                                if (!list.empty()) {
                                    list += u',';
                                }
                                list += index->Name();
                            }
                            CopyOut(names, maxLen, list);
                            return kTdbOk;
                        });
}

std::int16_t TdbRltnGetIndexDesc(std::int16_t rltnHdl, const char16_t* indexName, char16_t* desc,
                                 std::int16_t maxLen, bool readable,
                                 std::int16_t includeLen) noexcept {
    return WithRelation(
        rltnHdl, kTdbEngineError, TTdbCatch::EngineErrors,
        [&](const TTdbRelationRef& ref) -> std::int16_t {
            TTdbRelation& relation = *ref.Relation;
            const TTdbIndexNo indexNo = FindIndex(ref, InText(indexName));
            if (indexNo == kTdbNoIndex) {
                return kTdbIndexDoesNotExist;
            }
            if (!relation.CheckIndexOpen(indexNo, false)) {
                return kTdbIndexNotAvailable;
            }
            const TTdbIndexFile& index = *relation.GetIndexFile(indexNo);
            CopyOut(desc, maxLen,
                    index.IndexDef().CalcSpecification(relation.ColumnDefs(), readable, false,
                                                       std::clamp<int>(includeLen, 0, 2), false));
            if (indexNo == relation.PrimIndexNo()) {
                return 2;
            }
            return index.MustBeUnique() ? 1 : 0;
        });
}

std::int16_t TdbRltnGetRealIndexName(std::int16_t rltnHdl, const char16_t* indexName,
                                     char16_t* realIndexName, std::int16_t maxLen) noexcept {
    return WithRelation(rltnHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int16_t {
                            const TTdbIndexNo indexNo = FindIndex(ref, InText(indexName));
                            const std::u16string realName =
                                indexNo == kTdbNoIndex ? std::u16string{}
                                                       : ref.Relation->GetRealIndexName(indexNo);
                            CopyOut(realIndexName, maxLen, realName);
                            return realName.empty() ? kTdbIndexDoesNotExist : kTdbOk;
                        });
}

std::int16_t TdbRltnCreateIndex(std::int16_t rltnHdl, const char16_t* indexName,
                                const char16_t* desc, bool mustBeUnique) noexcept {
    return WithRelation(rltnHdl, kTdbInvalidIndexDefinition, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int16_t {
                            TTdbBaseTable& table = StoredTable(ref);
                            const std::u16string_view name = InText(indexName);
                            const TTdbSortDef def =
                                ParseIndexSpecification(name, InText(desc), table.ColumnDefs(),
                                                        table.GetLevel(), mustBeUnique);
                            const std::int16_t result = table.NewIndex(name, def, {}, 0);
                            return result < 0 ? kTdbInvalidIndexDefinition : result;
                        });
}

std::int16_t TdbRltnDeleteIndex(std::int16_t rltnHdl, const char16_t* indexName) noexcept {
    return WithRelation(rltnHdl, kTdbInvalidIndexDefinition, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int16_t {
                            TTdbBaseTable& table = StoredTable(ref);
                            const TTdbIndexNo indexNo = FindIndex(ref, InText(indexName));
                            if (indexNo == kTdbNoIndex || table.RemoveInd(indexNo) < 0) {
                                return kTdbInvalidIndexDefinition;
                            }
                            return kTdbOk;
                        });
}

std::int16_t TdbRltnRefreshIndex(std::int16_t rltnHdl, const char16_t* indexName) noexcept {
    return WithRelation(
        rltnHdl, kTdbEngineError, TTdbCatch::EngineErrors,
        [&](const TTdbRelationRef& ref) -> std::int16_t {
            TTdbBaseTable& table = StoredTable(ref);
            const std::u16string_view name = InText(indexName);
            if (name.empty()) {
                // Relation tables of Relation columns are rebuilt with their table once such
                // columns can be stored.
                return table.RegenIndex({}) < 0 ? kTdbEngineError : kTdbOk;
            }
            const TTdbIndexNo indexNo = FindIndex(ref, name);
            if (indexNo == kTdbNoIndex) {
                return kTdbIndexDoesNotExist;
            }
            // Rebuilding rewrites the index file: as for every index, it takes the index right.
            if ((table.Rights() & kRightIndex) == 0) {
                ref.Local->Services().SetLastError(kTdbErrNoIndexRight);
                return kTdbEngineError;
            }
            return table.ErzeugeIndexFile(indexNo, 0, {}, true) < 0 ? kTdbEngineError : kTdbOk;
        });
}

std::int16_t TdbRltnClose(std::int16_t rltnHdl) noexcept {
    return WithRelation(rltnHdl, kTdbCannotDeleteTable, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int16_t {
                            return ref.Local->Catalog().TryCloseRelation(ref.RltnIdx, false, true) <
                                           0
                                       ? kTdbCannotDeleteTable
                                       : kTdbOk;
                        });
}

std::int16_t TdbRltnGetFieldSpec(std::int16_t rltnHdl, std::int16_t fieldNo,
                                 TTdbFieldSpec& spec) noexcept {
    return WithRelation(rltnHdl, kTdbUnknownColumn, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int16_t {
                            FillFieldSpec(ref.Relation->GetFieldSpec(fieldNo), spec);
                            return kTdbOk;
                        });
}

std::int32_t TdbRltnRecordCount(std::int16_t rltnHdl) noexcept {
    return WithRelation(rltnHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                        [&](const TTdbRelationRef& ref) -> std::int32_t {
                            return ref.Relation->GetRecordCount();
                        });
}

}  // namespace tdb::api
