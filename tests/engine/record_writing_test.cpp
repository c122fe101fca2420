// Writing records through a stored table: the checks that refuse a record before anything is
// written, every index kept in step with appends, edits and deletes, the record moved into a
// deleted slot, and what a failing disk leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "../platform/test_support.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/record_context.h"
#include "faulty_database.h"
#include "index/index_text.h"
#include "table_audit.h"

namespace tdb {
namespace {

using testing::ReadBytes;

// What an accessor hears from the table; IsEditing answers for one record.
class TRecordingListener : public IRelationListener {
public:
    std::u16string GetTag() const override { return u"listener"; }
    void RecordDeleted(std::int32_t deleted, std::int32_t moved) override {
        deletes.emplace_back(deleted, moved);
    }
    void RecordChanged(std::int32_t recNo) override { changes.push_back(recNo); }
    void RelationChanged() override { ++relationChanges; }
    void RelationEmptied() override {}
    bool CanRemoveIndex(TTdbIndexNo) override { return true; }
    void IndexRemoved(TTdbIndexNo) override {}
    bool IsEditing(std::int32_t recNo) override { return recNo == editing; }

    std::vector<std::pair<std::int32_t, std::int32_t>> deletes;
    std::vector<std::int32_t> changes;
    int relationChanges = 0;
    std::int32_t editing = 0;
};

// Checks on the Code column, understood without a compiler: "Code >= 0" and nothing else.
class TCodeCheckFactory : public TTdbExpressionFactory {
public:
    class TCondition : public TTdbCondition {
    public:
        TCondition(std::u16string source, TCodeCheckFactory& factory)
            : TTdbCondition(std::move(source)), factory_(factory) {}
        TTdbExpressionSyntax GetKind() const override { return tesTableSQL; }
        std::unique_ptr<TTdbCondition> Clone() const override {
            return std::make_unique<TCondition>(FSource, factory_);
        }
        void Prepare(const TTdbRltnIdxSet&, TTdbRltnIdx, std::uint32_t) override {}
        void Unprepare() override {}
        TTdbTruthValue Evaluate(TTdbRltnIdxSet&) override { return tvUnknown; }
        TTdbTruthValue Evaluate(TTdbRltnIdx, std::span<const std::byte> record) override {
            ++factory_.evaluations;
            return audit::ReadRow(*factory_.table, record).Code >= 0 ? tvTrue : tvFalse;
        }
        int FindBestIndexAndBounds(TTdbRltnIdx, std::vector<std::byte>&,
                                   std::vector<std::byte>&) override {
            return -1;
        }

    private:
        TCodeCheckFactory& factory_;
    };

    // "Column * Factor + Offset" over an integer column, or "null".
    class TCalculation : public TTdbCalculation {
    public:
        TCalculation(std::u16string source, TCodeCheckFactory& factory)
            : TTdbCalculation(std::move(source)), factory_(factory) {}
        TTdbExpressionSyntax GetKind() const override { return tesTableSQL; }
        std::unique_ptr<TTdbCalculation> Clone() const override {
            return std::make_unique<TCalculation>(FSource, factory_);
        }
        void Prepare(TTdbRltnIdx, std::uint32_t) override {
            FResultType = TTdbDataType::GetDataType(ctInteger, true);
        }
        void Unprepare() override {}
        bool IsSame(const TTdbCalculation& other) const override {
            return other.GetSource() == FSource;
        }
        void Calculate(TTdbDataValue&) override { RaiseEngineError(kTdbErrNotSupported); }
        void Calculate(TTdbRltnIdx, std::span<const std::byte> record,
                       TTdbDataValue& result) override {
            if (FSource == u"null") {
                FResultType->SetNull(result);
                return;
            }
            const std::size_t space = FSource.find(u' ');
            const TTdbRelation& table = *factory_.table;
            const TTdbColumnDef& column = *table.ColumnDefs().GetColumnDef(
                table.FindColumn(FSource.substr(0, space), false) - 1);
            TTdbDataValue value;
            column.DataType->SetReference(value,
                                          const_cast<std::byte*>(record.data()) + column.Position);
            const std::int64_t factor = FSource[space + 1] == u'*' ? 2 : 1;
            const std::int64_t offset = FSource[space + 1] == u'+' ? 1 : 0;
            FResultType->SetInteger(result, column.DataType->GetInteger(value) * factor + offset);
        }

    private:
        TCodeCheckFactory& factory_;
    };

    std::unique_ptr<TTdbCalculation> CreateCalculation(std::u16string_view source,
                                                       TTdbExpressionSyntax,
                                                       std::int16_t) override {
        return std::make_unique<TCalculation>(std::u16string(source), *this);
    }
    std::unique_ptr<TTdbCondition> CreateCondition(std::u16string_view source, TTdbExpressionSyntax,
                                                   std::int16_t) override {
        return std::make_unique<TCondition>(std::u16string(source), *this);
    }

    TTdbRelation* table = nullptr;
    int evaluations = 0;
};

class RecordWritingTest : public testing::FaultyDatabaseTest {
protected:
    // T: the audit table with a unique index on Code and a column Note that no index covers.
    TTdbCreateTableArgs Args() {
        TTdbCreateTableArgs args = audit::AuditTableArgs(u"T");
        args.ColumnDefs.Add(TTdbColumnDef::CreateColumnDef(
            u"Note", TTdbDataType::GetDataType(ctInteger, false), 0));
        args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
            ParseIndexSpecification(u"UniqueCode", u"Code", args.ColumnDefs, 6, true)));
        return args;
    }
    void Create(TTdbCreateTableArgs args, std::uint32_t rows) {
        ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError();
        table_ = Open();
        ASSERT_NE(table_, nullptr) << LastError();
        for (std::uint32_t n = 0; n < rows; ++n)
            ASSERT_GT(Append(audit::RowFor(n)), 0) << LastError();
    }
    TTdbBaseTable* Open(std::uint16_t rights = TTdbCatalog::kAllWriteRights) {
        const int rltnIdx = Catalog().OpenTable(u"T", {}, rights, false, false, false);
        if (rltnIdx <= 0)
            return nullptr;
        return &dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
    }
    void Reopen(std::uint16_t rights = TTdbCatalog::kAllWriteRights) {
        Catalog().CloseRelation(table_->RltnIdx());
        table_ = Open(rights);
        ASSERT_NE(table_, nullptr) << LastError();
    }
    std::int16_t Code() { return session_->Services().LastError().LastErrorCode(); }

    std::vector<std::byte> Record() {
        return std::vector<std::byte>(static_cast<std::size_t>(table_->GetRecordSize()));
    }
    std::int32_t Append(const audit::TRow& row) {
        std::vector<std::byte> record = Record();
        EXPECT_EQ(table_->InitRecord(record, true), 0);
        audit::SetRow(*table_, record, row);
        TTdbBlobDataList blobs;
        return table_->AppendRecord(record, blobs);
    }
    std::int16_t Replace(std::int32_t recNo, const audit::TRow& row) {
        std::vector<std::byte> stored = Record();
        if (recNo >= 1 && recNo <= table_->GetRecordCount()) {
            EXPECT_EQ(table_->ReadRecord(recNo, stored), 0);
        }
        std::vector<std::byte> record = stored;
        audit::SetRow(*table_, record, row);
        TTdbBlobDataList blobs;
        return table_->ReplaceRecord(record, stored, recNo, blobs);
    }
    std::int16_t Delete(std::int32_t recNo) {
        std::vector<std::byte> stored = Record();
        if (recNo >= 1 && recNo <= table_->GetRecordCount()) {
            EXPECT_EQ(table_->ReadRecord(recNo, stored), 0);
        }
        return table_->DeleteRecord(stored, recNo);
    }

    // Empty when every index agrees with the table.
    std::string Audit() {
        for (TTdbIndexNo no = 0; no <= table_->GetLastIndexNo(); ++no)
            if (table_->GetIndexFile(no) != nullptr)
                if (std::string wrong = audit::IndexDisagreement(*table_, no); !wrong.empty())
                    return wrong;
        return {};
    }
    // The next reads of the table go to its files.
    void ForgetCache() {
        for (TTdbIndexNo no = 0; no <= table_->GetLastIndexNo(); ++no) {
            ASSERT_TRUE(table_->CheckIndexOpen(no, false)) << LastError();
            ASSERT_EQ(table_->GetIndexFile(no)->Update(), 0);
            table_->GetIndexFile(no)->Storage().Invalidate();
        }
        table_->DataFile()->Invalidate();
    }
    std::map<std::string, std::string> IndexFiles() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            const std::string name = entry.path().filename().string();
            if (name.ends_with(".tdbi"))
                files[name] = ReadBytes(entry.path());
        }
        return files;
    }

    TTdbBaseTable* table_ = nullptr;
};

TEST_F(RecordWritingTest, DeletingMovesTheLastRecordIntoTheSlotAndEveryIndexFollows) {
    Create(Args(), 10);
    TRecordingListener listener;
    table_->AddAccessor(&listener);
    std::vector<audit::TRow> rows = audit::ReadRows(*table_);

    ASSERT_EQ(Delete(3), 0) << LastError();
    rows[2] = rows.back();
    rows.pop_back();
    EXPECT_EQ(audit::ReadRows(*table_), rows);
    EXPECT_EQ(Audit(), "");
    const TTdbIndexNo byName = table_->FindIndexByName(u"ByName");
    const std::vector<std::int32_t> order = audit::IndexOrder(*table_, byName);
    EXPECT_NE(std::find(order.begin(), order.end(), 3), order.end());
    EXPECT_EQ(std::find(order.begin(), order.end(), 10), order.end());

    // The last record leaves nothing to move.
    ASSERT_EQ(Delete(9), 0) << LastError();
    rows.pop_back();
    EXPECT_EQ(audit::ReadRows(*table_), rows);
    EXPECT_EQ(Audit(), "");
    using TDelete = std::pair<std::int32_t, std::int32_t>;
    EXPECT_EQ(listener.deletes, (std::vector<TDelete>{{3, 10}, {9, 0}}));

    // Appends and edits are told too.
    ASSERT_GT(Append(audit::RowFor(50)), 0) << LastError();
    EXPECT_EQ(listener.relationChanges, 1);
    ASSERT_EQ(Replace(2, audit::RowFor(51)), 0) << LastError();
    EXPECT_EQ(listener.changes, std::vector<std::int32_t>{2});
    table_->RemoveAccessor(&listener);

    // What was written is what the files keep.
    rows.push_back(audit::RowFor(50));
    rows[1] = audit::RowFor(51);
    Reopen();
    EXPECT_EQ(audit::ReadRows(*table_), rows);
    EXPECT_EQ(Audit(), "");
}

TEST_F(RecordWritingTest, ARepeatedUniqueKeyChangesNothingAndAnUnchangedOneIsNoRepeat) {
    Create(Args(), 5);
    const std::vector<audit::TRow> rows = audit::ReadRows(*table_);

    EXPECT_EQ(Append({rows[1].Code, u"Másik"}), -kTdbErrNotUnique);
    EXPECT_EQ(LastError(), "Records must be unique with respect to \"Code\"");
    EXPECT_EQ(Replace(4, {rows[1].Code, u"Másik"}), -kTdbErrNotUnique);
    EXPECT_EQ(audit::ReadRows(*table_), rows);
    EXPECT_EQ(Audit(), "");

    // Its own key is no repeat.
    ASSERT_EQ(Replace(2, {rows[1].Code, u"Másik"}), 0) << LastError();
    ASSERT_EQ(Replace(3, {9999, rows[2].Name}), 0) << LastError();
    EXPECT_EQ(audit::ReadRows(*table_)[1], (audit::TRow{rows[1].Code, u"Másik"}));
    EXPECT_EQ(Audit(), "");
}

TEST_F(RecordWritingTest, RefusalsLeaveTheTableAsItWas) {
    Create(Args(), 4);
    const std::vector<audit::TRow> rows = audit::ReadRows(*table_);
    TRecordingListener listener;
    listener.editing = 2;
    table_->AddAccessor(&listener);
    struct TCase {
        const char* what;
        std::function<std::int32_t()> write;
        std::int16_t code;
    };
    const TCase cases[] = {
        {"delete 0", [&] { return Delete(0); }, kTdbErrRecordNotFound},
        {"delete past the end", [&] { return Delete(5); }, kTdbErrRecordNotFound},
        {"replace past the end", [&] { return Replace(5, audit::RowFor(9)); },
         kTdbErrRecordNotFound},
        {"delete a record being edited", [&] { return Delete(2); }, kTdbErrRecordBeingEdited},
        {"a pending value for a column without data of its own",
         [&] {
             std::vector<std::byte> record = Record();
             EXPECT_EQ(table_->InitRecord(record, true), 0);
             audit::SetRow(*table_, record, audit::RowFor(20));
             TTdbBlobDataList blobs{{2, "bytes", u""}};
             return table_->AppendRecord(record, blobs);
         },
         kTdbErrInvalidParameter},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.write(), -c.code);
        EXPECT_EQ(Code(), c.code);
        EXPECT_EQ(audit::ReadRows(*table_), rows);
    }
    table_->RemoveAccessor(&listener);
    EXPECT_EQ(Audit(), "");

    // Appending is not editing.
    Reopen(kRightAppend);
    EXPECT_EQ(Replace(1, audit::RowFor(9)), -kTdbErrNoWriteRight);
    EXPECT_GT(Append(audit::RowFor(9)), 0) << LastError();
}

TEST_F(RecordWritingTest, AnEditOfNoIndexedColumnLeavesTheIndexFilesAlone) {
    Create(Args(), 6);
    ASSERT_EQ(table_->Flush(false), 0);
    const auto before = IndexFiles();
    ASSERT_EQ(before.size(), 4u);

    std::vector<std::byte> stored = Record();
    ASSERT_EQ(table_->ReadRecord(3, stored), 0);
    std::vector<std::byte> record = stored;
    const TTdbColumnDef& note = *table_->ColumnDefs().GetColumnDef(3);
    TTdbDataValue value;
    note.DataType->SetReference(value, record.data() + note.Position);
    note.DataType->SetInteger(value, 77);
    TTdbBlobDataList blobs;
    ASSERT_EQ(table_->ReplaceRecord(record, stored, 3, blobs), 0) << LastError();
    ASSERT_EQ(table_->Flush(false), 0);

    EXPECT_TRUE(IndexFiles() == before);
    ASSERT_EQ(table_->ReadRecord(3, stored), 0);
    EXPECT_EQ(stored, record);
}

TEST_F(RecordWritingTest, ChecksRefuseARecordBeforeAnythingIsWritten) {
    TCodeCheckFactory factory;
    session_->Services().SetExpressionFactory(&factory);
    TTdbCreateTableArgs args = Args();
    args.CheckDefs.Add(std::make_unique<TTdbCheckDef>(
        u"NotNegative", factory.CreateCondition(u"Code >= 0", tesTableSQL, 6)));
    Create(std::move(args), 0);
    factory.table = table_;

    ASSERT_EQ(Append(audit::RowFor(1)), 1) << LastError();
    EXPECT_EQ(Append({-5, u"Negatív"}), -kTdbErrConstraintViolated);
    EXPECT_NE(LastError().find("Code >= 0"), std::string::npos) << LastError();
    EXPECT_EQ(Replace(1, {-5, u"Negatív"}), -kTdbErrConstraintViolated);
    EXPECT_EQ(audit::ReadRows(*table_), std::vector<audit::TRow>{audit::RowFor(1)});
    EXPECT_EQ(factory.evaluations, 3);
    EXPECT_EQ(Audit(), "");

    // A session that cannot evaluate a check does not pass it by.
    session_->Services().SetExpressionFactory(nullptr);
    Reopen();
    EXPECT_EQ(Append(audit::RowFor(2)), -kTdbErrNotSupported);
    EXPECT_EQ(Replace(1, audit::RowFor(2)), -kTdbErrNotSupported);
    EXPECT_EQ(audit::ReadRows(*table_), std::vector<audit::TRow>{audit::RowFor(1)});
    // Deleting needs no check.
    EXPECT_EQ(Delete(1), 0) << LastError();
}

TEST_F(RecordWritingTest, ConditionTextsOfChecksAreEvaluatedOnTheRecord) {
    TTdbRecordConditionFactory factory(
        [&](TTdbRltnIdx rltnIdx) { return Catalog().GetRelation(rltnIdx); });
    session_->Services().SetExpressionFactory(&factory);
    TTdbCreateTableArgs args = Args();
    args.CheckDefs.Add(std::make_unique<TTdbCheckDef>(
        u"Sound", factory.CreateCondition(u"Code >= 1000 AND T.Name <> 'Tilos'", tesTableSQL, 6)));
    Create(std::move(args), 2);
    const std::vector<audit::TRow> rows = audit::ReadRows(*table_);

    for (const audit::TRow& row : {audit::TRow{999, u"Kicsi"}, audit::TRow{2000, u"Tilos"}}) {
        EXPECT_EQ(Append(row), -kTdbErrConstraintViolated);
        EXPECT_NE(LastError().find("Tilos"), std::string::npos) << LastError();
        EXPECT_EQ(Replace(1, row), -kTdbErrConstraintViolated);
    }
    EXPECT_EQ(audit::ReadRows(*table_), rows);
    EXPECT_EQ(Append({2000, u"Szabad"}), 3) << LastError();
    EXPECT_EQ(Audit(), "");
    session_->Services().SetExpressionFactory(nullptr);
}

TEST_F(RecordWritingTest, CalculatedColumnsGetTheirFinalValueInOneCall) {
    TCodeCheckFactory factory;
    session_->Services().SetExpressionFactory(&factory);
    TTdbCreateTableArgs args = Args();
    // Next reads Twice, which comes after it: one pass is not enough.
    // Missing is computed only when a record is appended.
    for (const auto& [name, formula, options] :
         {std::tuple{u"Next", u"Twice + 1", cdoFormula},
          {u"Twice", u"Code * 2", cdoFormula},
          {u"Missing", u"null", cdoFormula | cdoAppendOnly}}) {
        auto column = TTdbColumnDef::CreateColumnDef(
            name, TTdbDataType::GetDataType(ctInteger, false), options);
        column->SetCalculation(factory.CreateCalculation(formula, tesTableSQL, 6));
        args.ColumnDefs.Add(std::move(column));
    }
    Create(std::move(args), 0);
    factory.table = table_;
    const auto value = [&](std::span<std::byte> record, const char16_t* name) {
        const TTdbColumnDef& column =
            *table_->ColumnDefs().GetColumnDef(table_->FindColumn(name, false) - 1);
        TTdbDataValue cell;
        column.DataType->SetReference(cell, record.data() + column.Position);
        return column.DataType->GetInteger(cell);
    };

    std::vector<std::byte> record = Record();
    ASSERT_EQ(table_->InitRecord(record, true), 0);
    audit::SetRow(*table_, record, {21, u"Pécs"});
    TTdbCalculationPurposes updating;
    updating.set(clpUpdating);
    ASSERT_EQ(table_->BerechneFormeln(record, updating), 0) << LastError();
    EXPECT_EQ(value(record, u"Twice"), 42);
    EXPECT_EQ(value(record, u"Next"), 43);
    // A null for a column that takes none is refused.
    TTdbCalculationPurposes appending;
    appending.set(clpAppending);
    EXPECT_EQ(table_->BerechneFormeln(record, appending), -kTdbErrNullNotAllowed);
    EXPECT_NE(LastError().find("Missing"), std::string::npos) << LastError();
    // Purposes no column has compute nothing.
    TTdbCalculationPurposes initialising;
    initialising.set(clpInitialization);
    EXPECT_EQ(table_->BerechneFormeln(record, initialising), 0);

    // Without a compiler the columns cannot be computed, and say so.
    session_->Services().SetExpressionFactory(nullptr);
    Reopen();
    EXPECT_EQ(table_->BerechneFormeln(record, updating), -kTdbErrNotSupported);
}

TEST_F(RecordWritingTest, IntegrityHooksAreAskedAndTheirRefusalStopsTheWrite) {
    Create(Args(), 3);
    std::vector<std::string> calls;
    std::int16_t answer = 0;
    const auto rules = [&](const char* what) {
        return [&, what](TTdbRelation&, std::span<const std::byte> newRecord, bool before,
                         std::span<const std::byte>) -> std::int16_t {
            calls.push_back(std::string(what) + (before ? " before" : " after") +
                            (newRecord.empty() ? "" : " with new"));
            return answer;
        };
    };
    table_->OnExecuteUpdateIntegrityRules = rules("update");
    table_->OnExecuteDeleteIntegrityRules = rules("delete");
    ASSERT_EQ(Replace(1, audit::RowFor(10)), 0) << LastError();
    ASSERT_EQ(Delete(1), 0) << LastError();
    EXPECT_EQ(calls, (std::vector<std::string>{"update before with new", "update after with new",
                                               "delete before", "delete after"}));

    const std::vector<audit::TRow> rows = audit::ReadRows(*table_);
    answer = static_cast<std::int16_t>(session_->Services().SetLastError(kTdbErrNotUnique, {u"R"}));
    EXPECT_EQ(Replace(1, audit::RowFor(11)), -kTdbErrNotUnique);
    EXPECT_EQ(Delete(1), -kTdbErrNotUnique);
    EXPECT_EQ(audit::ReadRows(*table_), rows);
}

// Each call of the kind fails once, at every point of an append, an edit and a delete with its
// flush in turn: the write or the flush reports an engine error, and the table opened again
// holds the record wholly or not at all, with every index in agreement.
TEST_F(RecordWritingTest, AFailingCallAnywhereLeavesTheChangeWholeOrAbsent) {
    Create(Args(), 12);
    ASSERT_EQ(table_->Flush(false), 0);
    enum TKind { kRead, kWrite, kSize };
    // The writes themselves meet failing reads; writes and sizes fail in the flushes.
    int refused = 0;
    for (const TKind kind : {kRead, kWrite, kSize}) {
        for (const char* change : {"append", "edit", "delete"}) {
            bool hit = true;
            for (int n = 0; hit; ++n) {
                SCOPED_TRACE(std::string(change) + ", call " + std::to_string(n) + " of kind " +
                             std::to_string(kind));
                Reopen();
                const std::vector<audit::TRow> before = audit::ReadRows(*table_);
                std::vector<audit::TRow> after = before;
                const audit::TRow row = audit::RowFor(static_cast<std::uint32_t>(500 + n));
                // The images are made before anything fails.
                std::vector<std::byte> stored = Record();
                ASSERT_EQ(table_->ReadRecord(5, stored), 0);
                std::vector<std::byte> record = stored;
                if (std::string(change) == "append") {
                    ASSERT_EQ(table_->InitRecord(record, true), 0);
                }
                audit::SetRow(*table_, record, row);
                TTdbBlobDataList blobs;
                ForgetCache();
                int& fault = kind == kRead    ? fs_->readToFail
                             : kind == kWrite ? fs_->writeToFail
                                              : fs_->sizeToFail;
                fault = n;
                std::int32_t result = 0;
                if (std::string(change) == "append") {
                    result = table_->AppendRecord(record, blobs);
                    after.push_back(row);
                } else if (std::string(change) == "edit") {
                    result = table_->ReplaceRecord(record, stored, 5, blobs);
                    after[4] = row;
                } else {
                    result = table_->DeleteRecord(stored, 5);
                    after[4] = after.back();
                    after.pop_back();
                }
                if (result < 0)
                    ++refused;
                if (result >= 0)
                    result = table_->Flush(false);
                hit = fault < 0;
                fault = -1;
                if (result < 0)
                    EXPECT_NE(Code(), 0);
                else
                    EXPECT_FALSE(hit);
                // Sound already in this session, not only once opening rebuilt what it doubts.
                EXPECT_EQ(Audit(), "");
                Reopen();
                const std::vector<audit::TRow> found = audit::ReadRows(*table_);
                EXPECT_TRUE(found == before || found == after);
                EXPECT_EQ(Audit(), "");
                if (HasFailure())
                    return;
                // Keep the table the same size for the next round.
                if (found != before && std::string(change) == "append") {
                    ASSERT_EQ(Delete(table_->GetRecordCount()), 0) << LastError();
                }
                if (found != before && std::string(change) == "delete") {
                    ASSERT_GT(Append(audit::RowFor(static_cast<std::uint32_t>(900 + n))), 0)
                        << LastError();
                }
            }
        }
    }
    EXPECT_GT(refused, 10);
}

// A write that fails inside a transaction leaves no entry in the redo log: the rollback takes
// back what was done, not what was only tried.
TEST_F(RecordWritingTest, AFailedWriteInsideATransactionGivesTheRollbackNothingToTakeBack) {
    Create(Args(), 8);
    ASSERT_EQ(table_->Flush(false), 0);
    const std::vector<audit::TRow> rows = audit::ReadRows(*table_);
    struct TCase {
        const char* what;
        std::function<std::int32_t()> write;
    };
    const TCase cases[] = {
        {"append", [&] { return Append(audit::RowFor(70)); }},
        {"edit", [&] { return Replace(3, audit::RowFor(71)); }},
        {"delete", [&] { return Delete(3); }},
        {"append below the checks",
         [&] {
             std::vector<std::byte> record = Record();
             EXPECT_EQ(table_->InitRecord(record, true), 0);
             audit::SetRow(*table_, record, audit::RowFor(72));
             return table_->AppendRecordDirect(record);
         }},
        {"edit below the checks",
         [&] {
             std::vector<std::byte> record = Record();
             EXPECT_EQ(table_->ReadRecord(3, record), 0);
             audit::SetRow(*table_, record, audit::RowFor(73));
             return table_->ReplaceRecordDirect(3, record);
         }},
        {"delete below the checks", [&] { return table_->DeleteRecordDirect(3); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        ForgetCache();
        ASSERT_EQ(Catalog().BeginTransaction(), 0);
        fs_->readToFail = 1;
        EXPECT_LT(c.write(), 0);
        fs_->readToFail = -1;
        ASSERT_EQ(Catalog().EndTransaction(false), 0) << LastError();
        EXPECT_EQ(audit::ReadRows(*table_), rows);
        EXPECT_EQ(Audit(), "");
    }
}

}  // namespace
}  // namespace tdb
