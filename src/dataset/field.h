// Fields: the columns of a dataset bound by name, reading and writing their values as text
// through the dataset's record buffers, with display texts for grids and edit boxes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dataset {

class TDataSet;

enum class TFieldType {
    ftUnknown,
    ftString,
    ftSmallint,
    ftInteger,
    ftWord,
    ftBoolean,
    ftFloat,
    ftDate,
    ftTime,
    ftDateTime,
    ftAutoInc,
    ftBlob,
    ftMemo,
    ftWideString,
    ftLargeint,
    ftGuid,
    ftWideMemo,
};

enum class TFieldKind { fkData, fkCalculated };

// A column as the dataset's source describes it; fields are made from these.
struct TFieldDef {
    std::u16string Name;
    TFieldType DataType = TFieldType::ftUnknown;
    std::int32_t Size = 0;  // characters of a text column
    std::int32_t Precision = 0;
    std::int32_t FieldNo = 0;  // 1-based; 0 for a calculated column
    bool Required = false;
    bool ReadOnly = false;
    bool InternalCalcField = false;
};

class TFieldDefs {
public:
    void Clear() { FItems.clear(); }
    TFieldDef& Add(TFieldDef def);
    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(FItems.size()); }
    const TFieldDef& operator[](std::int32_t i) const {
        return FItems.at(static_cast<std::size_t>(i));
    }
    TFieldDef& operator[](std::int32_t i) { return FItems.at(static_cast<std::size_t>(i)); }
    // Without case; null when there is none.
    const TFieldDef* Find(std::u16string_view name) const;
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

private:
    std::vector<TFieldDef> FItems;
};

class TField {
public:
    TField(TDataSet& owner, const TFieldDef& def, TFieldKind kind, bool persistent);
    virtual ~TField() = default;
    TField(const TField&) = delete;
    TField& operator=(const TField&) = delete;

    TDataSet& DataSet() const noexcept { return FDataSet; }
    const std::u16string& FieldName() const noexcept { return FFieldName; }
    TFieldType DataType() const noexcept { return FDataType; }
    TFieldKind FieldKind() const noexcept { return FFieldKind; }
    bool Calculated() const noexcept { return FFieldKind == TFieldKind::fkCalculated; }
    std::int32_t FieldNo() const noexcept { return FFieldNo; }
    std::int32_t Size() const noexcept { return FSize; }
    // Made by the dataset when it opened (false) or by the program, kept over closing (true).
    bool Persistent() const noexcept { return FPersistent; }
    // Where a calculated field keeps its value in a record buffer's calculated area.
    std::int32_t Offset() const noexcept { return FOffset; }
    void SetOffset(std::int32_t offset) noexcept { FOffset = offset; }
    // Bytes a calculated field takes in that area: a presence byte, a length, the characters.
    std::int32_t CalcDataSize() const noexcept { return 1 + 2 + 2 * FSize; }

    bool Required() const noexcept { return FRequired; }
    void SetRequired(bool value) noexcept { FRequired = value; }
    bool ReadOnly() const noexcept { return FReadOnly; }
    void SetReadOnly(bool value) noexcept { FReadOnly = value; }
    bool Visible() const noexcept { return FVisible; }
    void SetVisible(bool value) noexcept { FVisible = value; }
    const std::u16string& DisplayLabel() const noexcept { return FDisplayLabel; }
    void SetDisplayLabel(std::u16string label) { FDisplayLabel = std::move(label); }
    // The label when one is set, else the field's name: what messages and grid titles show.
    const std::u16string& DisplayName() const noexcept;
    std::int32_t DisplayWidth() const noexcept;
    void SetDisplayWidth(std::int32_t width) noexcept { FDisplayWidth = width; }

    // The value of the dataset's active record (or key, filter or calculated buffer, by the
    // dataset's state); nothing for NULL.
    std::optional<std::u16string> Value() const;
    bool IsNull() const { return !Value().has_value(); }
    std::u16string AsString() const { return Value().value_or(std::u16string()); }
    void SetAsString(const std::u16string& text);
    void Clear();
    std::int64_t AsInteger() const;  // 0 for NULL; raises for a text that is no number
    void SetAsInteger(std::int64_t value);
    double AsFloat() const;
    void SetAsFloat(double value);
    bool AsBoolean() const;
    void SetAsBoolean(bool value);
    std::u16string DisplayText() const { return AsString(); }

    // Told before a value is written (may raise to refuse it) and after.
    std::function<void(TField&)> OnValidate;
    std::function<void(TField&)> OnChange;

private:
    void Store(const std::u16string* text);

    TDataSet& FDataSet;
    std::u16string FFieldName;
    TFieldType FDataType;
    TFieldKind FFieldKind;
    std::int32_t FFieldNo;
    std::int32_t FSize;
    bool FPersistent;
    std::int32_t FOffset = 0;
    bool FRequired;
    bool FReadOnly;
    bool FVisible = true;
    std::u16string FDisplayLabel;
    std::int32_t FDisplayWidth = 0;
};

}  // namespace dataset
