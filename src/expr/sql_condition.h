// A condition text prepared against the table it filters and evaluated for
// the current record in three-valued logic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "expr/eval_context.h"
#include "expr/sql_functions.h"
#include "expr/sql_tree.h"

namespace tdb {

struct TTdbIndexChoice;

// The option byte of Prepare.
// Numbers may use the locale's decimal separator.
inline constexpr std::uint8_t kConditionLocalFormats = 1;
// Carried to every comparison; comparisons follow the left operand's collation.
inline constexpr std::uint8_t kConditionCaseInsensitive = 2;
// «column = 'text*'» selects every value starting with «text».
inline constexpr std::uint8_t kConditionPartialCompare = 4;
// Set for every dataset filter; carried only.
inline constexpr std::uint8_t kConditionFilter = 8;

// The results of Evaluate. Only a true condition lets a record pass.
inline constexpr int kConditionTrue = 0;
inline constexpr int kConditionFalse = 1;
inline constexpr int kConditionUnknown = 2;

class TTdbSqlCondition {
public:
    explicit TTdbSqlCondition(std::u16string text = {});
    ~TTdbSqlCondition();
    TTdbSqlCondition(const TTdbSqlCondition&) = delete;
    TTdbSqlCondition& operator=(const TTdbSqlCondition&) = delete;

    const std::u16string& GetText() const noexcept { return FText; }
    bool IsPrepared() const noexcept { return FTree != nullptr; }

    // Parses, rewrites, binds the columns of Context and types every node.
    // Raises engine errors: 25 for a text that does not parse (with the
    // parser's message), 50 for an unknown column, 44 for operands that do
    // not fit, 46/137/140/158 for literals that are no value of their
    // column's type. A failure leaves the condition unprepared. Context must
    // outlive the prepared condition.
    void Prepare(TTdbEvalContext& context, std::uint8_t options);
    // kConditionTrue, kConditionFalse or kConditionUnknown for the context's
    // current record. A condition without text is true; one with a text
    // that is not prepared raises engine error 7.
    int Evaluate();
    bool IsTrue() { return Evaluate() == kConditionTrue; }
    // For a static filter: the index of table TableNo (the context's table number) to
    // scan, or a negative number when none fits (also when not prepared); the range's
    // bound entries come from the context. The ends of "<" and ">" ranges are included:
    // the check of each record in the range removes the bound itself. Details, when
    // given, receives the ratings, the scores, the reverse flag and the bound values.
    std::int32_t FindBestIndexAndBounds(std::int32_t tableNo,
                                        std::vector<std::byte>& rangeLowerBound,
                                        std::vector<std::byte>& rangeUpperBound,
                                        TTdbIndexChoice* details = nullptr);
    // The prepared tree written back as text (rewrites included), else the
    // text as given.
    std::u16string GetSqlText() const;
    void Unprepare() noexcept;

    // The value of «:name» (any case) for the next Prepare, which copies it
    // into the tree; setting it again replaces it. A parameter the text uses
    // without a value fails Prepare with engine error 50.
    void SetParameter(std::u16string_view name, const TTdbDataType* type,
                      const TTdbDataValue& value);
    // From the value's text form in Type; no text gives NULL.
    void SetParameterText(std::u16string_view name, const TTdbDataType* type,
                          std::optional<std::u16string_view> text);
    void ClearParameters() noexcept;

private:
    std::u16string FText;
    std::vector<TTdbSqlParameter> FParameters;
    std::unique_ptr<TTdbSearchCondition> FTree;
    TTdbEvalContext* FContext = nullptr;
};

}  // namespace tdb
