// From the call interface's table records to the engine's definitions and back. Column options
// that describe the stored image (the null byte) are derived by the engine, never taken from the
// caller, so a record cannot describe a column whose image differs from its type.
#include "api/table_records.h"

#include <memory>
#include <string>

#include "api/text_buffers.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/text.h"
#include "types/column_def.h"
#include "types/constraint_defs.h"
#include "types/data_type.h"

namespace tdb::api {

namespace {

// The option bits a caller chooses; 0x08 follows from the type and 0x02 only old levels store.
constexpr std::uint8_t kFormulaOptions = cdoFormula | cdoAppendOnly;
constexpr std::int32_t kDefaultPrecision = 4;

std::int16_t TableLevel(std::int16_t level) {
    return level < 1 || level > kCurrentTableLevel ? kCurrentTableLevel : level;
}

[[noreturn]] void RaiseBadParameter(std::u16string_view column, std::u16string_view what) {
    RaiseEngineError(kTdbErrInvalidParameter,
                     {std::u16string(column) + u"." + std::u16string(what)});
}

std::unique_ptr<TTdbColumnDef> MakeColumn(const TTdbFieldSpec& spec, std::int16_t level,
                                          std::u16string_view collation) {
    std::u16string name(FixedText(spec.Name));
    const std::u16string_view select = FixedText(spec.SelectOrLink);
    std::unique_ptr<TTdbColumnDef> column;
    switch (spec.FldType) {
        case ctString:
        case ctWideString:
        case ctMemo:
        case ctWideMemo: {
            const bool bounded = spec.FldType == ctString || spec.FldType == ctWideString;
            const TTdbDataType* type = TTdbDataType::GetStringType(
                spec.FldType, false, bounded ? spec.Param : kUnboundedLength, collation, level);
            return TTdbColumnDef::CreateStringColumnDef(std::move(name), type, 0,
                                                        std::u16string(collation));
        }
        case ctFloat:
            if (spec.Param < 0 || spec.Param > 15)
                RaiseBadParameter(name, u"Param");
            column = TTdbColumnDef::CreateColumnDef(
                std::move(name),
                TTdbDataType::GetFloatType(false, static_cast<std::int16_t>(spec.Param), level), 0);
            break;
        case ctTime:
            if (spec.Param < 0 || spec.Param > kDefaultPrecision)
                RaiseBadParameter(name, u"Param");
            column = TTdbColumnDef::CreateColumnDef(
                std::move(name),
                TTdbDataType::GetDateTimeType(
                    spec.FldType, false,
                    static_cast<std::int16_t>(spec.Param == 0 ? kDefaultPrecision : spec.Param),
                    level),
                0);
            break;
        case ctDate:
        case ctTimeStamp:
            // Table files keep no precision for them: one asked for would be lost unseen.
            if (spec.Param != 0)
                RaiseBadParameter(name, u"Param");
            column = TTdbColumnDef::CreateColumnDef(
                std::move(name), TTdbDataType::GetDataType(spec.FldType, false, level), 0);
            break;
        case ctEnum:
            if (select.empty())
                RaiseBadParameter(name, u"SelectOrLink");
            column = TTdbColumnDef::CreateColumnDef(
                name, TTdbDataType::GetEnumType(name, select, u',', u'\0', false, level), 0);
            break;
        case ctChar:
        case ctSmallInt:
        case ctByte:
        case ctBoolean:
        case ctAutoInc:
        case ctLink:
        case ctBlob:
        case ctRelation:
        case ctInteger:
        case ctBigInt:
        case ctGuid:
            column = TTdbColumnDef::CreateColumnDef(
                std::move(name), TTdbDataType::GetDataType(spec.FldType, false, level), 0);
            break;
        default:
            break;
    }
    if (!column)
        RaiseEngineError(kTdbErrUnknownType, {std::u16string(FixedText(spec.Name))});
    if (auto* recordId = dynamic_cast<TTdbRecordIdColumnDef*>(column.get())) {
        recordId->SetIndexSpec(std::u16string(select));
        recordId->SetUniqueIdInfo((spec.Options & cdoUniqueId) != 0);
    } else if (auto* link = dynamic_cast<TTdbAdlColumnDef*>(column.get())) {
        link->LinkedTable = std::u16string(select);
    }
    return column;
}

}  // namespace

TTdbCreateTableArgs MakeCreateTableArgs(TTdbServices& services, const TTdbTableInfo& info,
                                        std::u16string_view key,
                                        std::span<const TTdbFieldSpec> fields,
                                        std::span<const TTdbKeySpec> keys,
                                        std::span<const TTdbCheckSpec> checks,
                                        std::span<const TTdbIntegrityRuleSpec> rules) {
    TTdbCreateTableArgs args;
    args.StoragePath = FixedText(info.FileName);
    args.Level = TableLevel(info.Level);
    args.Collation = FixedText(info.Language);
    args.EncryptionMethod = info.EncryptionMethod;
    args.Key = key;
    args.Capacity = info.Capacity;

    for (const TTdbFieldSpec& spec : fields) {
        std::unique_ptr<TTdbColumnDef> column = MakeColumn(spec, args.Level, args.Collation);
        const std::u16string_view formula = FixedText(spec.RangeOrFormula);
        if (!formula.empty()) {
            column->SetCalculation(CreateStoredCalculation(services, formula, args.Level));
            column->Options |= spec.Options & kFormulaOptions;
        }
        if ((spec.Options & cdoNullable) != 0)
            column->SetNullable(true, args.Level);
        args.ColumnDefs.Add(std::move(column));
    }
    for (const TTdbKeySpec& spec : keys) {
        args.KeyDefs.Add(std::make_unique<TTdbCandidateKeyDef>(
            std::u16string(FixedText(spec.Name)), FixedText(spec.Fields), spec.IsPrimaryKey != 0));
    }
    for (const TTdbCheckSpec& spec : checks) {
        args.CheckDefs.Add(std::make_unique<TTdbCheckDef>(
            std::u16string(FixedText(spec.Name)),
            CreateStoredCondition(services, FixedText(spec.SearchCondition), args.Level)));
    }
    for (const TTdbIntegrityRuleSpec& spec : rules) {
        const std::u16string name(FixedText(spec.Name));
        for (const std::int16_t action : {spec.UpdateAction, spec.DeleteAction}) {
            if (action < tiaReject || action > tiaCascade)
                RaiseBadParameter(name, u"Action");
        }
        args.ForeignKeyDefs.Add(TTdbForeignKeyDef::Create(
            name, static_cast<TTdbForeignKeyAction>(spec.DeleteAction),
            static_cast<TTdbForeignKeyAction>(spec.UpdateAction), FixedText(spec.MasterIndexSpec),
            std::u16string(FixedText(spec.MasterTable)), FixedText(spec.IndexSpec)));
    }
    return args;
}

void FillFieldSpec(const tdb::TTdbFieldSpec& source, TTdbFieldSpec& target) noexcept {
    target = {};
    target.No = source.No;
    SetFixedText(target.Name, source.Name);
    target.Options = source.Options;
    SetFixedText(target.RangeOrFormula, source.RangeOrFormula);
    SetFixedText(target.SelectOrLink, source.SelectOrLink);
    target.FldType = source.FldType;
    target.Param = source.Param;
    target.InternalPosition = source.InternalPosition;
    target.InternalSize = source.InternalSize;
}

}  // namespace tdb::api
