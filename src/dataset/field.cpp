// Fields and their values as text, through the dataset that owns them.
#include "dataset/field.h"

#include <charconv>
#include <cmath>
#include <string>

#include "dataset/dataset.h"
#include "dataset/text_case.h"
#include "platform/text.h"

namespace dataset {

namespace {

std::string Narrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::int32_t DefaultWidth(TFieldType type, std::int32_t size) {
    switch (type) {
        case TFieldType::ftString:
        case TFieldType::ftWideString:
        case TFieldType::ftGuid:
            return size;
        case TFieldType::ftBoolean:
            return 5;
        case TFieldType::ftDate:
        case TFieldType::ftTime:
            return 10;
        case TFieldType::ftDateTime:
            return 19;
        default:
            return 10;
    }
}

}  // namespace

TFieldDef& TFieldDefs::Add(TFieldDef def) {
    FItems.push_back(std::move(def));
    return FItems.back();
}

const TFieldDef* TFieldDefs::Find(std::u16string_view name) const {
    for (const TFieldDef& def : FItems) {
        if (SameText(def.Name, name))
            return &def;
    }
    return nullptr;
}

TField::TField(TDataSet& owner, const TFieldDef& def, TFieldKind kind, bool persistent)
    : FDataSet(owner),
      FFieldName(def.Name),
      FDataType(def.DataType),
      FFieldKind(kind),
      FFieldNo(kind == TFieldKind::fkCalculated ? 0 : def.FieldNo),
      FSize(def.Size),
      FPersistent(persistent),
      FRequired(def.Required),
      FReadOnly(def.ReadOnly) {}

const std::u16string& TField::DisplayName() const noexcept {
    return FDisplayLabel.empty() ? FFieldName : FDisplayLabel;
}

std::int32_t TField::DisplayWidth() const noexcept {
    return FDisplayWidth > 0 ? FDisplayWidth : DefaultWidth(FDataType, FSize);
}

std::optional<std::u16string> TField::Value() const {
    std::u16string text;
    if (!FDataSet.Active() || !FDataSet.GetFieldData(*this, text))
        return std::nullopt;
    return text;
}

void TField::Store(const std::u16string* text) {
    if (OnValidate)
        OnValidate(*this);
    FDataSet.SetFieldData(*this, text);
    FDataSet.FieldChanged(*this);
    if (OnChange)
        OnChange(*this);
}

void TField::SetAsString(const std::u16string& text) {
    Store(&text);
}

void TField::Clear() {
    Store(nullptr);
}

std::int64_t TField::AsInteger() const {
    const std::optional<std::u16string> text = Value();
    if (!text || text->empty())
        return 0;
    const std::string narrow = Narrow(*text);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
    if (error != std::errc() || end != narrow.data() + narrow.size())
        DatabaseErrorFmt(u"'%s' is not a valid integer value", {*text});
    return value;
}

void TField::SetAsInteger(std::int64_t value) {
    SetAsString(tdb::NumberText(value));
}

double TField::AsFloat() const {
    const std::optional<std::u16string> text = Value();
    if (!text || text->empty())
        return 0.0;
    const std::string narrow = Narrow(*text);
    double value = 0.0;
    const auto [end, error] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
    if (error != std::errc() || end != narrow.data() + narrow.size())
        DatabaseErrorFmt(u"'%s' is not a valid floating point value", {*text});
    return value;
}

void TField::SetAsFloat(double value) {
    char digits[64];
    const auto [end, error] = std::to_chars(std::begin(digits), std::end(digits), value);
    (void)error;
    SetAsString(tdb::FromUtf8(std::string_view(digits, static_cast<std::size_t>(end - digits))));
}

bool TField::AsBoolean() const {
    const std::optional<std::u16string> text = Value();
    return text && (SameText(*text, u"True") || *text == u"1");
}

void TField::SetAsBoolean(bool value) {
    SetAsString(value ? u"True" : u"False");
}

}  // namespace dataset
