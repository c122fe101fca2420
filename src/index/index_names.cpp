// Index names and kinds by table level, and the names of index files.
#include "index/index_names.h"

#include "storage/data_file.h"
#include "types/collation.h"

namespace tdb {

namespace {

// Index names may hold any letters, so case is folded beyond ASCII.
bool SameText(std::u16string_view a, std::u16string_view b) {
    const TTdbCollation& collation = TTdbCollation::BuiltIn();
    return SameAsciiText(a, b) || collation.ToUpper(a) == collation.ToUpper(b);
}

bool StartsWithText(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && SameAsciiText(text.substr(0, prefix.size()), prefix);
}

bool IsPositiveNumber(std::u16string_view text) {
    if (text.empty())
        return false;
    bool nonZero = false;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return false;
        nonZero = nonZero || c != u'0';
    }
    return nonZero;
}

TTdbIndexKind GetFileIndexKind(std::u16string_view indexName) {
    const std::u16string_view extension = FileExtension(indexName);
    if (extension.empty() || SameAsciiText(extension, u".ind") ||
        SameAsciiText(extension, u".$$i"))
        return tikUser;
    if (extension.size() == 4 && extension[1] == u'$')
        return tikTemporary;
    if (SameAsciiText(extension, u".inr") || SameAsciiText(extension, u".id"))
        return tikAdl;
    if (extension.size() == 4 && StartsWithText(extension, u".in") && extension[3] >= u'1' &&
        extension[3] <= u'9')
        return tikAdl;
    return tikUnknown;
}

}  // namespace

std::u16string LinkIndexName(int linkNo) {
    return u"sys_In" + std::u16string(1, static_cast<char16_t>(u'0' + linkNo));
}

TTdbIndexKind GetIndexKind(std::u16string_view indexName, std::int16_t tableLevel) {
    if (tableLevel < 4)
        return GetFileIndexKind(indexName);
    if (!FileExtension(indexName).empty())
        return tikUser;
    if (StartsWithText(indexName, u"sys_")) {
        const std::u16string_view rest = indexName.substr(4);
        if (SameAsciiText(rest, u"Id") || SameAsciiText(rest, u"Inr") ||
            (StartsWithText(rest, u"In") && IsPositiveNumber(rest.substr(2))))
            return tikAdl;
        return tikConstraint;
    }
    return StartsWithText(indexName, u"tmp") ? tikTemporary : tikUser;
}

std::u16string CalcIndexFileName(std::u16string_view directory, std::u16string_view tableName,
                                 std::u16string_view indexName, std::int16_t tableLevel) {
    return IndexFileName(std::u16string(directory) + std::u16string(tableName), indexName,
                         tableLevel);
}

bool IsSameName(std::u16string_view indexName, std::u16string_view fileName) {
    const std::u16string_view extension = FileExtension(fileName);
    if (SameAsciiText(extension, u".ind") || SameAsciiText(extension, u".tdbi"))
        fileName.remove_suffix(extension.size());
    return SameText(indexName, fileName);
}

}  // namespace tdb
