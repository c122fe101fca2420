// Collations of the table engine: name resolution, the built-in collation,
// locale collations through ICU, prefix bounds and wildcard matching.
#include "types/collation.h"

#include "base/engine_error.h"

namespace tdb {

struct TTdbCollation::TLocale {
    std::uint32_t localeId = kBuiltInLocaleId;
    std::uint16_t codePage = 1252;
    std::u16string language;
};

TTdbCollation::TTdbCollation(TKey, std::u16string name, TStrCmpOptions options,
                             const TLocale* locale)
    : name_(std::move(name)), options_(options), locale_(locale) {}

const std::u16string& TTdbCollation::Name() const noexcept {
    return name_;
}
std::uint32_t TTdbCollation::LocaleId() const noexcept {
    return locale_->localeId;
}
TStrCmpOptions TTdbCollation::Options() const noexcept {
    return options_;
}
bool TTdbCollation::IsBuiltIn() const noexcept {
    return locale_->localeId == kBuiltInLocaleId;
}
std::uint16_t TTdbCollation::AnsiCodePage() const noexcept {
    return locale_->codePage;
}
std::u16string TTdbCollation::LanguageName() const {
    return locale_->language;
}

}  // namespace tdb
