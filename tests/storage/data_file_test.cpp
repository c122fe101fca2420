// The table data file header: string encodings, file names, creating and reopening tables of
// every column type at every level, the checks and errors of opening, record ids, index names,
// and damaged headers that must be refused without harm.
#include "storage/data_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "../types/table_def_fakes.h"
#include "base/byte_image.h"
#include "base/engine_error.h"
#include "platform/text.h"
#include "storage/heap_data_file.h"
#include "storage/os_file_system.h"
#include "recording_log.h"
#include "test_support.h"
#include "types/collation.h"

namespace tdb {
namespace {

using deftest::FakeCalculation;
using deftest::FakeCondition;
using deftest::RecordingFactory;
using testing::ReadBytes;
using testing::RecordingLog;
using testing::TempDir;
using testing::WriteBytes;

std::int16_t ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETdbEngine& e) {
        return e.Code();
    }
    return 0;
}

// ---- String encodings ----

TEST(HeaderStringsTest, RoundTripsEveryForm) {
    THeaderWriter w;
    w.WPWideString(u"Ár");
    w.FixedWideString(u"abc", 5);
    w.WPAnsiString("xyz");
    w.ShortString("toolong", 4);
    w.Int32(-5);
    w.Double(2.5);
    EXPECT_EQ(w.Size(), (2 + 4) + (2 + 10) + (2 + 3) + 5 + 4 + 8u);
    THeaderReader r(w.Data());
    EXPECT_EQ(r.WPWideString(), u"Ár");
    EXPECT_EQ(r.FixedWideString(5), u"abc");
    EXPECT_EQ(r.WPAnsiString(), "xyz");
    EXPECT_EQ(r.ShortString(4), "tool");
    EXPECT_EQ(r.Int32(), -5);
    EXPECT_EQ(r.Double(), 2.5);
    EXPECT_EQ(r.Remaining(), 0);
}

TEST(HeaderStringsTest, RefusesLengthsBeyondTheFieldOrTheBuffer) {
    auto image = [](std::initializer_list<int> bytes) {
        std::vector<std::byte> data;
        for (int b : bytes)
            data.push_back(static_cast<std::byte>(b));
        return data;
    };
    struct Case {
        const char* what;
        std::vector<std::byte> data;
        std::function<void(THeaderReader&)> read;
    };
    const Case cases[] = {
        {"wide beyond buffer", image({3, 0, 'a', 0}), [](auto& r) { r.WPWideString(); }},
        {"wide beyond field", image({3, 0, 'a', 0, 'b', 0, 'c', 0}),
         [](auto& r) { r.WPWideString(2); }},
        {"fixed beyond field", image({3, 0, 0, 0, 0, 0, 0, 0}),
         [](auto& r) { r.FixedWideString(2); }},
        {"fixed padding missing", image({1, 0, 'a', 0}), [](auto& r) { r.FixedWideString(2); }},
        {"ansi beyond buffer", image({9, 0, 'a'}), [](auto& r) { r.WPAnsiString(); }},
        {"short beyond field", image({5, 'a', 'b', 'c'}), [](auto& r) { r.ShortString(3); }},
        {"short padding missing", image({1, 'a'}), [](auto& r) { r.ShortString(3); }},
        {"integer cut", image({1, 2, 3}), [](auto& r) { r.Int32(); }},
        {"nothing", image({}), [](auto& r) { r.Int8(); }},
    };
    for (const Case& c : cases) {
        THeaderReader r(c.data);
        EXPECT_EQ(ErrorOf([&] { c.read(r); }), kTdbErrCorruptHeader) << c.what;
    }
}

// ---- File names ----

TEST(DataFileNamesTest, FollowTheLevel) {
    EXPECT_EQ(DataFileName(u"db/Irsz", 6), u"db/Irsz.tdbt");
    EXPECT_EQ(DataFileName(u"db/Irsz", 5), u"db/Irsz.dat");
    EXPECT_EQ(BlobFileName(u"db/Irsz", 6), u"db/Irsz.tdbb");
    EXPECT_EQ(BlobFileName(u"db/Irsz", 3), u"db/Irsz.blb");
    EXPECT_EQ(MemoFileName(u"db/Irsz", 6), u"db/Irsz.tdbm");
    EXPECT_EQ(MemoFileName(u"db/Irsz", 4), u"db/Irsz.mmo");
    EXPECT_EQ(IndexFileName(u"db/Irsz", u"TELEP", 6), u"db/Irsz!TELEP.tdbi");
    EXPECT_EQ(IndexFileName(u"db/Irsz", u"sys_Id", 5), u"db/Irsz!sys_Id.ind");
    EXPECT_EQ(IndexFileName(u"db/Irsz", u"TELEP", 3), u"db/TELEP.ind");
    EXPECT_EQ(IndexFileName(u"db/~tmp", u"TELEP", 2), u"db/TELEP.$$i");
    EXPECT_EQ(IndexFileName(u"db/Irsz", u"sys_Inr", 3), u"db/Irsz.inr");
    EXPECT_EQ(IndexFileName(u"db/Irsz", u"sys_Id", 1), u"db/Irsz.id");
    EXPECT_EQ(IndexFileName(u"db/Irsz", u"sys_In4", 2), u"db/Irsz.in4");
    EXPECT_EQ(IndexFileName(u"db/Irsz", u"sys_Primary", 3), u"db/sys_Primary.ind");
    EXPECT_EQ(IndexFileName(u"db/Irsz", u"NAMES.IDX", 3), u"db/NAMES.IDX");
    const std::u16string longName(50, u'x');
    EXPECT_EQ(IndexFileName(u"d/" + longName, u"sys_Id", 3),
              u"d/" + longName.substr(0, 40) + u".id");
    EXPECT_EQ(RelationTableFileName(u"db/Irsz", u"Kapcs", 6), u"db/Irsz!rel_Kapcs.tdbt");
    EXPECT_EQ(RelationTableFileName(u"db/Irsz", u"Kapcs", 4), u"db/Kapcs.rel");
    EXPECT_EQ(TableNameFromFileName(u"db/Irsz.tdbt"), u"Irsz");
    EXPECT_EQ(TableNameFromFileName(u"db/Irsz.DAT"), u"Irsz");
    EXPECT_EQ(TableNameFromFileName(u"db.x/Irsz.old"), u"Irsz.old");
    EXPECT_EQ(TableNameFromFileName(u"Irsz"), u"Irsz");
    EXPECT_EQ(FileNameBase(u"db.x/Irsz.tdbt"), u"db.x/Irsz");
    EXPECT_EQ(FileNameBase(u"db.x/Irsz"), u"db.x/Irsz");
}

TEST(DataFileNamesTest, LooksForTheOldExtensionFirst) {
    TempDir dir;
    TdwOSFileSystem fs(dir.Name());
    EXPECT_EQ(FindTableFile(fs, u"Irsz"), u"Irsz.tdbt");
    WriteBytes(dir.Path() / "Irsz.tdbt", "x");
    EXPECT_EQ(FindTableFile(fs, u"Irsz"), u"Irsz.tdbt");
    WriteBytes(dir.Path() / "Irsz.dat", "x");
    EXPECT_EQ(FindTableFile(fs, u"Irsz"), u"Irsz.dat");
    EXPECT_EQ(FindTableFile(fs, u"Irsz.tdbt"), u"Irsz.tdbt");
}

// ---- Definitions ----

TEST(DefinitionBlockTest, LengthPutsTheFirstRecordOnAPageBoundary) {
    EXPECT_EQ(DefinitionBlockLength(500), 11855);
    EXPECT_EQ(4529 + 11855, 16384);
    for (std::size_t size : {0u, 1u, 3662u, 3663u, 20000u}) {
        const std::int64_t end = 4529 + DefinitionBlockLength(size);
        EXPECT_EQ(end % 8192, 0) << size;
        EXPECT_GT(end - 4529 - static_cast<std::int64_t>(size), 8192) << size;
        EXPECT_LE(end - 4529 - static_cast<std::int64_t>(size), 16384) << size;
    }
}

TEST(DefinitionBlockTest, UniqueNamesKeepToFortyCharacters) {
    std::vector<std::u16string> names = {
        u"A", u"a", u"A", u"", u"", u"A_2x", std::u16string(40, u'N'), std::u16string(40, u'n')};
    MakeColumnNamesUnique(names);
    EXPECT_EQ(names[0], u"A");
    EXPECT_EQ(names[1], u"a_2");
    EXPECT_EQ(names[2], u"A_3");
    EXPECT_EQ(names[3], u"Column_2");
    EXPECT_EQ(names[4], u"Column_3");
    EXPECT_EQ(names[5], u"A_2x");
    EXPECT_EQ(names[7], std::u16string(38, u'n') + u"_2");
}

// A table with every column type a level can store.
TTdbTableDefinition EveryColumnType(std::int16_t level) {
    TTdbTableDefinition def;
    def.Capacity = 5000;
    def.CollationName = level >= 5 ? u"Hungarian" : u"";
    const std::u16string collation = level >= 5 ? u"Hungarian_CI" : u"";
    TTdbColumnDefs& c = def.Columns;
    // Below level 4 columns that mark NULL by zero are always nullable.
    const bool zeroNullable = level < 4;
    auto add = [&](std::u16string name, const TTdbDataType* type, TTdbColumnOptions options = 0) {
        c.Add(TTdbColumnDef::CreateColumnDef(std::move(name), type, options));
        return c.GetColumnDef(c.GetCount() - 1);
    };
    auto* id = static_cast<TTdbRecordIdColumnDef*>(
        add(u"Id", TTdbDataType::GetDataType(ctAutoInc, false, level)));
    id->SetIndexSpec(u"${Id}");
    id->SetUniqueIdInfo(true);
    add(u"Ch", TTdbDataType::GetDataType(ctChar, false, level));
    c.Add(TTdbColumnDef::CreateStringColumnDef(
        u"Név", TTdbDataType::GetStringType(ctString, false, 20, collation, level), 0, collation));
    add(u"SI", TTdbDataType::GetDataType(ctSmallInt, true, level), cdoNullable);
    add(u"F", TTdbDataType::GetFloatType(false, 2, level));
    add(u"B", TTdbDataType::GetDataType(ctByte, false, level), cdoValueRange);
    add(u"Bo", TTdbDataType::GetDataType(ctBoolean, false, level));
    add(u"D", TTdbDataType::GetDataType(ctDate, zeroNullable, level),
        zeroNullable ? cdoNullable : 0);
    add(u"M", TTdbDataType::GetDataType(ctMemo, true, level), cdoNullable);
    c.Add(std::make_unique<TTdbEnumColumnDef>(u"E", u"piros,zöld,kék", cdoNullable, level));
    static_cast<TTdbAdlColumnDef*>(
        add(u"L", TTdbDataType::GetDataType(ctLink, true, level), cdoNullable))
        ->LinkedTable = u"Other";
    static_cast<TTdbAdlColumnDef*>(
        add(u"Self", TTdbDataType::GetDataType(ctLink, true, level), cdoNullable))
        ->LinkedTable = u"@";
    add(u"Bl", TTdbDataType::GetDataType(ctBlob, true, level), cdoNullable);
    static_cast<TTdbAdlColumnDef*>(
        add(u"R", TTdbDataType::GetDataType(ctRelation, true, level), cdoNullable))
        ->LinkedTable = u"Rel";
    add(u"T", TTdbDataType::GetDateTimeType(ctTime, level >= 4, level >= 4 ? 3 : 2, level),
        level >= 4 ? cdoNullable : 0);
    add(u"Ans", TTdbDataType::GetDataType(ctByte, false, level), cdoFormula)
        ->SetCalculation(std::make_unique<FakeCalculation>(u"1+1", tesTablePL));
    if (level >= 3) {
        add(u"I", TTdbDataType::GetDataType(ctInteger, level >= 4, level),
            level >= 4 ? cdoNullable : 0);
        add(u"TS", TTdbDataType::GetDataType(ctTimeStamp, zeroNullable, level),
            zeroNullable ? cdoNullable : 0);
        c.Add(TTdbColumnDef::CreateStringColumnDef(
            u"W", TTdbDataType::GetStringType(ctWideString, false, 10, collation, level), 0,
            collation));
        add(u"WM", TTdbDataType::GetDataType(ctWideMemo, true, level), cdoNullable);
        add(u"BI", TTdbDataType::GetDataType(ctBigInt, false, level));
        add(u"G", TTdbDataType::GetDataType(ctGuid, level >= 4, level),
            level >= 4 ? cdoNullable : 0);
    }
    if (level >= 4) {
        const TTdbExpressionSyntax sql = level >= 5 ? tesTableSQL : tesTablePL;
        add(u"Def", TTdbDataType::GetDataType(ctInteger, false, level))
            ->SetCalculation(std::make_unique<FakeCalculation>(u"42", sql));
        def.Keys.Add(std::make_unique<TTdbCandidateKeyDef>(u"PK", u"Id", true));
        def.Keys.Add(std::make_unique<TTdbCandidateKeyDef>(u"UK", u"Név,Ch", false));
        def.Checks.Add(
            std::make_unique<TTdbCheckDef>(u"Pos", std::make_unique<FakeCondition>(u"I > 0", sql)));
        def.Checks.Add(std::make_unique<TTdbCheckDef>(
            u"Proc", std::make_unique<FakeCondition>(u"B < 10", tesTablePL)));
        def.ForeignKeys.Add(
            TTdbForeignKeyDef::CreateStr(u"FK", tiaCascade, tiaSetNull, u"A,B", u"Parent", u"I,B"));
    }
    if (level >= 6)
        def.Types.Add(std::make_unique<TTdbTypeDef>(u"Money", 100, ctFloat));
    return def;
}

void ExpectSameDefinition(const TTdbTableDefinition& expected, const TTdbTableDefinition& actual,
                          std::u16string_view tableName, std::int16_t level) {
    const std::string at = "level " + std::to_string(level);
    EXPECT_EQ(actual.Capacity, level >= 4 ? expected.Capacity : kTdbDefaultOldCapacity) << at;
    EXPECT_EQ(actual.CollationName, expected.CollationName) << at;
    ASSERT_EQ(actual.Columns.GetCount(), expected.Columns.GetCount()) << at;
    EXPECT_EQ(actual.Columns.GetRecordSize(), expected.Columns.GetRecordSize()) << at;
    for (int i = 0; i < expected.Columns.GetCount(); ++i) {
        const TTdbColumnDef& e = *expected.Columns.GetColumnDef(i);
        const TTdbColumnDef& a = *actual.Columns.GetColumnDef(i);
        const std::string what = at + " column " + ToUtf8(e.Name);
        EXPECT_EQ(a.Name, e.Name) << what;
        EXPECT_EQ(a.GetColumnType(), e.GetColumnType()) << what;
        EXPECT_EQ(a.Size, e.Size) << what;
        EXPECT_EQ(a.Position, e.Position) << what;
        EXPECT_EQ(a.Options, e.Options) << what;
        EXPECT_EQ(a.DataType, e.DataType) << what;
        EXPECT_EQ(a.GetCollation(), e.GetCollation()) << what;
        if (level >= 4 || (e.Options & cdoFormula)) {
            EXPECT_EQ(a.GetCalculationSource(), e.GetCalculationSource()) << what;
        }
        if (e.GetCalculation() && a.GetCalculation()) {
            EXPECT_EQ(a.GetCalculation()->GetKind(), e.GetCalculation()->GetKind()) << what;
        }
        if (auto* ea = dynamic_cast<const TTdbAdlColumnDef*>(&e)) {
            auto* aa = dynamic_cast<const TTdbAdlColumnDef*>(&a);
            ASSERT_NE(aa, nullptr) << what;
            EXPECT_EQ(aa->LinkedTable, ea->LinkedTable == u"@" ? tableName : ea->LinkedTable)
                << what;
        }
        if (auto* ee = dynamic_cast<const TTdbEnumColumnDef*>(&e)) {
            auto* ae = dynamic_cast<const TTdbEnumColumnDef*>(&a);
            ASSERT_NE(ae, nullptr) << what;
            EXPECT_EQ(ae->FEnumNames, ee->FEnumNames) << what;
        }
        if (auto* er = dynamic_cast<const TTdbRecordIdColumnDef*>(&e)) {
            auto* ar = dynamic_cast<const TTdbRecordIdColumnDef*>(&a);
            ASSERT_NE(ar, nullptr) << what;
            EXPECT_EQ(ar->IndexSpec, er->IndexSpec) << what;
            EXPECT_EQ(ar->GetUniqueIdInfo(), er->GetUniqueIdInfo()) << what;
        }
    }
    ASSERT_EQ(actual.Keys.GetCount(), expected.Keys.GetCount()) << at;
    for (int i = 0; i < expected.Keys.GetCount(); ++i) {
        EXPECT_EQ(actual.Keys.Get(i)->GetName(), expected.Keys.Get(i)->GetName()) << at;
        EXPECT_EQ(actual.Keys.Get(i)->GetIsPrimary(), expected.Keys.Get(i)->GetIsPrimary()) << at;
        EXPECT_EQ(actual.Keys.Get(i)->FColumnNames, expected.Keys.Get(i)->FColumnNames) << at;
    }
    ASSERT_EQ(actual.Checks.GetCount(), expected.Checks.GetCount()) << at;
    for (int i = 0; i < expected.Checks.GetCount(); ++i) {
        const TTdbCheckDef& e = *expected.Checks.Get(i);
        const TTdbCheckDef& a = *actual.Checks.Get(i);
        EXPECT_EQ(a.GetName(), e.GetName()) << at;
        EXPECT_EQ(a.GetSource(), e.GetSource()) << at;
        ASSERT_NE(a.GetCondition(), nullptr);
        EXPECT_EQ(a.GetCondition()->GetKind(), e.GetCondition()->GetKind())
            << at << " check " << ToUtf8(e.GetName());
    }
    ASSERT_EQ(actual.ForeignKeys.GetCount(), expected.ForeignKeys.GetCount()) << at;
    for (int i = 0; i < expected.ForeignKeys.GetCount(); ++i) {
        const TTdbForeignKeyDef& e = *expected.ForeignKeys.Get(i);
        const TTdbForeignKeyDef& a = *actual.ForeignKeys.Get(i);
        EXPECT_EQ(a.GetName(), e.GetName()) << at;
        EXPECT_EQ(a.FColumnNames, e.FColumnNames) << at;
        EXPECT_EQ(a.FParentColumnNames, e.FParentColumnNames) << at;
        EXPECT_EQ(a.GetParentTableName(), e.GetParentTableName()) << at;
        EXPECT_EQ(a.GetUpdateAction(), e.GetUpdateAction()) << at;
        EXPECT_EQ(a.GetDeleteAction(), e.GetDeleteAction()) << at;
    }
    ASSERT_EQ(actual.Types.GetCount(), expected.Types.GetCount()) << at;
    for (int i = 0; i < expected.Types.GetCount(); ++i) {
        EXPECT_EQ(actual.Types.Get(i)->GetName(), expected.Types.Get(i)->GetName());
        EXPECT_EQ(actual.Types.Get(i)->TypeCode, expected.Types.Get(i)->TypeCode);
        EXPECT_EQ(actual.Types.Get(i)->SuperTypeCode, expected.Types.Get(i)->SuperTypeCode);
    }
}

// ---- Files ----

class DataFileTest : public ::testing::Test {
protected:
    DataFileTest() { pm_.RegisterClient(1, 8192); }

    std::unique_ptr<TTdbHeapDataFile> File(const std::u16string& name) {
        return std::make_unique<TTdbHeapDataFile>(pm_, fs_, 1, name);
    }

    void Create(const std::u16string& name, std::int16_t level, const TTdbTableDefinition& def,
                TdwCryptor& cryptor) {
        auto file = File(name);
        file->NewFile(level, cryptor, def.Capacity, def.CollationName, def.Types, def.Columns,
                      def.Checks, def.Keys, def.ForeignKeys);
        file->Close();
    }
    void Create(const std::u16string& name, std::int16_t level, const TTdbTableDefinition& def) {
        TdwCryptor cryptor;
        Create(name, level, def, cryptor);
    }

    // Opens into a definition; the file stays open in the returned object.
    std::unique_ptr<TTdbHeapDataFile> Open(const std::u16string& name, TTdbTableDefinition& def,
                                           TdwCryptor& cryptor, bool readOnly = false) {
        auto file = File(name);
        file->Open(readOnly, false, cryptor, factory_, def.Capacity, def.CollationName, def.Types,
                   def.Columns, def.Checks, def.Keys, def.ForeignKeys);
        return file;
    }
    std::unique_ptr<TTdbHeapDataFile> Open(const std::u16string& name, TTdbTableDefinition& def) {
        cryptor_.SetEncryptionMethod(emNone);
        cryptor_.SetKey(u"");
        return Open(name, def, cryptor_);
    }
    std::int16_t OpenError(const std::u16string& name, TdwCryptor& cryptor) {
        TTdbTableDefinition def;
        return ErrorOf([&] { Open(name, def, cryptor); });
    }
    std::int16_t OpenError(const std::u16string& name) {
        TTdbTableDefinition def;
        return ErrorOf([&] { Open(name, def); });
    }

    std::filesystem::path PathOf(const std::u16string& name) { return dir_.Path() / ToUtf8(name); }
    std::string Bytes(const std::u16string& name) { return ReadBytes(PathOf(name)); }
    void SetBytes(const std::u16string& name, const std::string& bytes) {
        WriteBytes(PathOf(name), bytes);
    }

    TempDir dir_;
    TdwOSFileSystem fs_{dir_.Name()};
    TTdbPageManager pm_;
    RecordingFactory factory_;
    // The files borrow their cryptor: it must outlive them.
    TdwCryptor cryptor_;
};

TEST_F(DataFileTest, EveryColumnTypeSurvivesCreateAndOpenAtEveryLevel) {
    for (std::int16_t level = 1; level <= 6; ++level) {
        const std::u16string name = DataFileName(u"T" + FromUtf8(std::to_string(level)), level);
        const TTdbTableDefinition def = EveryColumnType(level);
        Create(name, level, def);
        TTdbTableDefinition read;
        read.CollationName = def.CollationName;
        auto file = Open(name, read);
        ExpectSameDefinition(def, read, TableNameFromFileName(name), level);
        EXPECT_EQ(file->GetLevel(), level);
        EXPECT_EQ(file->GetRecordCount(), 0);
        EXPECT_EQ(file->GetRecordIdPosition(), 0);
        EXPECT_EQ(file->GetNextRecordId(), 1);
        EXPECT_EQ(file->GetRecordSize(), def.Columns.GetRecordSize());
        // The cache writes whole tiles of 8192 bytes.
        const std::int64_t tiles = (file->GetFileOffset() + 8191) / 8192 * 8192;
        EXPECT_EQ(static_cast<std::int64_t>(Bytes(name).size()), tiles);
        if (level >= 5) {
            EXPECT_EQ(file->GetFileOffset() % 8192, 0);
        } else {
            ASSERT_EQ(file->GetValueRanges().size(), 1u);
            EXPECT_EQ(file->GetValueRanges()[0].ColumnNo, 6);
        }
    }
}

TEST_F(DataFileTest, ValueRangesOfOldLevelsAreStored) {
    const TTdbTableDefinition def = EveryColumnType(4);
    auto file = File(u"R.dat");
    file->SetValueRanges({{6, 1.5, 99.0}});
    TdwCryptor cryptor;
    file->NewFile(4, cryptor, def.Capacity, def.CollationName, def.Types, def.Columns, def.Checks,
                  def.Keys, def.ForeignKeys);
    file->Close();
    TTdbTableDefinition read;
    auto opened = Open(u"R.dat", read);
    ASSERT_EQ(opened->GetValueRanges().size(), 1u);
    EXPECT_EQ(opened->GetValueRanges()[0].Lower, 1.5);
    EXPECT_EQ(opened->GetValueRanges()[0].Upper, 99.0);
}

TEST_F(DataFileTest, RefusesWhatTheHeaderCannotStartWith) {
    Create(u"S.tdbt", 6, EveryColumnType(6));
    const std::string valid = Bytes(u"S.tdbt");
    struct Case {
        const char* what;
        std::string bytes;
        std::int16_t error;
    };
    auto withLevel = [&](int level) {
        std::string b = valid;
        b[4] = static_cast<char>(level);
        b[5] = 0;
        return b;
    };
    std::string badSignature = valid;
    badSignature[0] = 0x65;
    const Case cases[] = {
        {"empty", "", kTdbErrOldVersion},
        {"three bytes", valid.substr(0, 3), kTdbErrOldVersion},
        {"signature only", valid.substr(0, 4), kTdbErrCorruptHeader},
        {"wrong signature", badSignature, kTdbErrOldVersion},
        {"level 7", withLevel(7), kTdbErrCorruptHeader},
        {"level 0", withLevel(0), kTdbErrCorruptHeader},
        {"cut in the fixed part", valid.substr(0, 4000), kTdbErrCorruptHeader},
        {"cut in the definition", valid.substr(0, 6000), kTdbErrCorruptHeader},
    };
    for (const Case& c : cases) {
        SetBytes(u"X.tdbt", c.bytes);
        EXPECT_EQ(OpenError(u"X.tdbt"), c.error) << c.what;
    }
}

TEST_F(DataFileTest, DefinitionCountsAndSizesAreChecked) {
    TTdbTableDefinition def;
    def.Columns.Add(u"A", TTdbDataType::GetDataType(ctInteger, false), 0);
    Create(u"C.tdbt", 6, def);
    const std::string valid = Bytes(u"C.tdbt");
    // Offsets inside the unencrypted definition block of this one-column table.
    constexpr std::size_t block = 4529;
    constexpr std::size_t password = block + 82;
    constexpr std::size_t collation = password + 82;
    constexpr std::size_t capacity = collation + 2;
    constexpr std::size_t recordSize = capacity + 8;
    constexpr std::size_t columnCount = recordSize + 4 + 2 + 2;
    constexpr std::size_t columnSize = columnCount + 2 + 1 + 2 + 2 + 4;
    auto patched = [&](std::size_t at, std::initializer_list<int> bytes) {
        std::string b = valid;
        for (int v : bytes)
            b[at++] = static_cast<char>(v);
        return b;
    };
    struct Case {
        const char* what;
        std::string bytes;
        std::int16_t error;
    };
    const Case cases[] = {
        {"check text", patched(block + 2 + 14, {'x'}), kTdbErrInvalidCredentials},
        {"password", patched(password, {1}), kTdbErrInvalidCredentials},
        {"capacity 0", patched(capacity, {0, 0, 0, 0}), kTdbErrCorruptHeader},
        {"record size 0", patched(recordSize, {0, 0}), kTdbErrCorruptHeader},
        {"record size 32768", patched(recordSize, {0, 0x80}), kTdbErrCorruptHeader},
        {"record size 5", patched(recordSize, {5, 0}), kTdbErrCorruptHeader},
        {"no columns", patched(columnCount, {0, 0}), kTdbErrCorruptHeader},
        {"1001 columns", patched(columnCount, {0xE9, 0x03}), kTdbErrCorruptHeader},
        {"column size", patched(columnSize, {5, 0}), kTdbErrCorruptHeader},
        {"column type 14", patched(columnCount + 2, {14}), kTdbErrCorruptHeader},
        {"column type 99", patched(columnCount + 2, {99}), kTdbErrCorruptHeader},
        {"block length 0", patched(4525, {0, 0, 0, 0}), kTdbErrCorruptHeader},
        {"block length beyond file", patched(4525, {0, 0, 0, 0x10}), kTdbErrCorruptHeader},
        {"records off their tile", patched(4525, {0xF8, 0x2F, 0, 0}), kTdbErrCorruptHeader},
        {"51 index names", patched(23, {51, 0}), kTdbErrCorruptHeader},
        {"index name of 45", patched(23, {1, 0, 45, 0}), kTdbErrCorruptHeader},
    };
    for (const Case& c : cases) {
        SetBytes(u"X.tdbt", c.bytes);
        EXPECT_EQ(OpenError(u"X.tdbt"), c.error) << c.what;
    }
    SetBytes(u"X.tdbt", valid);
    EXPECT_EQ(OpenError(u"X.tdbt"), 0);
}

TEST_F(DataFileTest, LevelFourTwinColumnsGetUniqueNames) {
    TTdbTableDefinition def;
    def.Columns.Add(u"A", TTdbDataType::GetDataType(ctInteger, false, 4), 0);
    def.Columns.Add(u"B", TTdbDataType::GetDataType(ctInteger, false, 4), 0);
    def.Columns.Add(u"", TTdbDataType::GetDataType(ctByte, false, 4), 0);
    Create(u"Twin.dat", 4, def);
    std::string bytes = Bytes(u"Twin.dat");
    // Descriptors begin after the index name table: name (WP ANSI), size - 1, type, options.
    const std::size_t second = 22 + 2252 + (2 + 1 + 2 + 1 + 4);
    ASSERT_EQ(bytes[second + 2], 'B');
    bytes[second + 2] = 'A';
    SetBytes(u"Twin.dat", bytes);
    TTdbTableDefinition read;
    auto file = Open(u"Twin.dat", read);
    ASSERT_EQ(read.Columns.GetCount(), 3);
    EXPECT_EQ(read.Columns.GetColumnDef(0)->Name, u"A");
    EXPECT_EQ(read.Columns.GetColumnDef(1)->Name, u"A_2");
    EXPECT_EQ(read.Columns.GetColumnDef(2)->Name, u"Column4");
}

// A header written ahead of the records it counts - a flush cut short - must not lock the table
// out for good: every level lowers the count to the records there are, and says so in the log.
TEST_F(DataFileTest, EveryLevelRepairsAnImpossibleRecordCount) {
    RecordingLog log;
    pm_.SetLog(&log);
    for (std::int16_t level = 1; level <= 6; ++level) {
        const std::u16string name = DataFileName(u"Rep" + FromUtf8(std::to_string(level)), level);
        TTdbTableDefinition def;
        def.Columns.Add(u"A", TTdbDataType::GetDataType(ctSmallInt, false, level), 0);
        Create(name, level, def);
        std::int64_t offset = 0;
        {
            TTdbTableDefinition read;
            auto file = Open(name, read);
            offset = file->GetFileOffset();
            const std::array<std::byte, 2> record{};
            for (int i = 0; i < 3; ++i)
                ASSERT_EQ(file->InsertRecord(record), i + 1);
            file->Flush();
        }
        std::string bytes = Bytes(name);
        // The cache keeps files in whole tiles: the slots reach to the end of the last one.
        const std::int32_t slots =
            static_cast<std::int32_t>((static_cast<std::int64_t>(bytes.size()) - offset) / 2);
        const std::size_t countAt =
            static_cast<std::size_t>(level >= 5 ? 7 : OldRecordCountOffset(level));
        for (std::int32_t impossible : {slots + 1, 1000000, -1}) {
            StoreLE<std::int32_t>(bytes.data() + countAt, impossible);
            SetBytes(name, bytes);
            log.entries.clear();
            TTdbTableDefinition read;
            EXPECT_EQ(Open(name, read)->GetRecordCount(), slots) << level << ": " << impossible;
            EXPECT_EQ(LoadLE<std::int32_t>(Bytes(name).data() + countAt),
                      level >= 5 ? impossible : slots)
                << level << ": only the old levels write the count back at open";
            EXPECT_TRUE(log.Has(2,
                                u"Record count " + FromUtf8(std::to_string(impossible)) + u" of " +
                                    QuotedText(name) + u" does not fit the file; lowered to " +
                                    FromUtf8(std::to_string(slots)),
                                u"Data File"))
                << level;
        }
        StoreLE<std::int32_t>(bytes.data() + countAt, slots);
        SetBytes(name, bytes);
        TTdbTableDefinition exact;
        EXPECT_EQ(Open(name, exact)->GetRecordCount(), slots) << "a count that fits stays";
        // A read-only open repairs in memory and leaves the file alone.
        StoreLE<std::int32_t>(bytes.data() + countAt, 1000000);
        SetBytes(name, bytes);
        TTdbTableDefinition read;
        EXPECT_EQ(Open(name, read, cryptor_, true)->GetRecordCount(), slots);
        EXPECT_EQ(LoadLE<std::int32_t>(Bytes(name).data() + countAt), 1000000);
        // The next change writes the count it made from the lowered one.
        {
            TTdbTableDefinition written;
            auto file = Open(name, written);
            const std::array<std::byte, 2> record{};
            EXPECT_EQ(file->InsertRecord(record), slots + 1) << level;
            file->Flush();
        }
        EXPECT_EQ(LoadLE<std::int32_t>(Bytes(name).data() + countAt), slots + 1) << level;
    }
    pm_.SetLog(nullptr);
}

TEST_F(DataFileTest, RecordIdsAreHandedOutAndTakenBack) {
    for (std::int16_t level : {6, 4}) {
        const std::u16string name = DataFileName(u"Ids" + FromUtf8(std::to_string(level)), level);
        Create(name, level, EveryColumnType(level));
        TTdbTableDefinition read;
        auto file = Open(name, read);
        EXPECT_EQ(file->ObtainNewRecordId(), 1);
        EXPECT_EQ(file->ObtainNewRecordId(), 2);
        EXPECT_EQ(file->ReadNextRecordId(), 3);
        file->RevokeRecordId(1);  // not the last one handed out
        EXPECT_EQ(file->ReadNextRecordId(), 3);
        file->RevokeRecordId(2);
        EXPECT_EQ(file->ReadNextRecordId(), 2);
        file->SetNextRecordId(40);
        EXPECT_EQ(file->ReadNextRecordId(), 2) << "setting touches memory only";
        file->SetNextRecordId(40);
        file->WriteNextRecordId();
        file->Flush();
        file->Close();
        auto again = Open(name, read);
        EXPECT_EQ(again->GetNextRecordId(), 40);
    }
}

TEST_F(DataFileTest, IndexNamesAreKeptInTheHeader) {
    for (std::int16_t level : {6, 4, 2, 1}) {
        const std::u16string name = DataFileName(u"Ix" + FromUtf8(std::to_string(level)), level);
        TTdbTableDefinition def;
        def.Columns.Add(u"A", TTdbDataType::GetDataType(ctSmallInt, false, level), 0);
        Create(name, level, def);
        TTdbTableDefinition read;
        auto file = Open(name, read);
        EXPECT_TRUE(file->IndexNames().empty());
        const int room = MaxIndexNames(level);
        EXPECT_EQ(room, level == 1 ? 1 : level == 2 ? 15 : 50);
        file->IndexNames().assign(static_cast<std::size_t>(room), u"TELEP");
        file->IndexNames()[0] = u"Település";
        file->WriteIndexNames();
        file->IndexNames().push_back(u"One too many");
        EXPECT_EQ(ErrorOf([&] { file->WriteIndexNames(); }), 67);
        file->Flush();
        file->Close();
        file = Open(name, read);
        ASSERT_EQ(static_cast<int>(file->IndexNames().size()), room);
        EXPECT_EQ(file->IndexNames()[0], u"Település");
        file->DeleteIndexName(1);
        file->DeleteIndexName(99);
        EXPECT_EQ(static_cast<int>(file->IndexNames().size()), room - 1);
        file->ReadIndexNames();
        EXPECT_EQ(static_cast<int>(file->IndexNames().size()), room);
    }
}

TEST_F(DataFileTest, CreateRefusesEncryptionTheLevelCannotHaveAndLeavesNoFile) {
    TTdbTableDefinition def;
    def.Columns.Add(u"A", TTdbDataType::GetDataType(ctInteger, false), 0);
    struct Case {
        std::int16_t level;
        TdwEncryptionMethod method;
        const char16_t* key;
        std::int16_t error;
    };
    const Case cases[] = {
        {3, emClassic5, u"pw;1", 117}, {2, emFast, u"key", 117},      {1, emRijndael, u"key", 117},
        {4, emClassic1, u"pw;1", 117}, {6, emClassic5, u"pw;1", 117}, {6, emBlowfish, u"key", 186},
        {6, emRijndael, u"key", 186},  {5, emFast, u"key", 186},      {6, emProtection, u"", 186},
        {3, emClassic1, u"pw;1", 186},
    };
    for (const Case& c : cases) {
        TdwCryptor cryptor(c.method, c.key);
        const std::u16string name = DataFileName(u"Enc", c.level);
        try {
            Create(name, c.level, def, cryptor);
            ADD_FAILURE() << "created at level " << c.level << " with method " << int(c.method);
        } catch (const ETdbEngine& e) {
            EXPECT_EQ(e.Code(), c.error) << c.level << "/" << int(c.method);
            if (c.error == 117) {
                const std::string message = ToUtf8(e.Message());
                EXPECT_NE(message.find(c.level <= 3 ? "Strong encryption" : "Classic encryption"),
                          std::string::npos)
                    << message;
            }
        }
        EXPECT_FALSE(std::filesystem::exists(PathOf(name)));
    }
}

TEST_F(DataFileTest, CreateRefusesAnExistingFileAndWhatTheLevelCannotStore) {
    TTdbTableDefinition def;
    def.Columns.Add(u"A", TTdbDataType::GetDataType(ctInteger, false), 0);
    SetBytes(u"Exists.tdbt", "keep me");
    EXPECT_EQ(ErrorOf([&] { Create(u"Exists.tdbt", 6, def); }), 72);
    EXPECT_EQ(Bytes(u"Exists.tdbt"), "keep me");

    // Integer is a type levels 1 and 2 cannot describe; level 3 has no constraints.
    EXPECT_EQ(ErrorOf([&] { Create(u"Old.dat", 2, def); }), 117);
    TTdbTableDefinition keyed = EveryColumnType(3);
    keyed.Keys.Add(std::make_unique<TTdbCandidateKeyDef>(u"PK", u"Id", true));
    EXPECT_EQ(ErrorOf([&] { Create(u"Old.dat", 3, keyed); }), 117);
    EXPECT_FALSE(std::filesystem::exists(PathOf(u"Old.dat")));

    // Below level 5 the header has no place for a column's collation: a column under any but
    // the plain built-in one would reopen under that, its indexes out of order.
    for (const std::u16string collation : {u"Hungarian", u"TableDB_CS"}) {
        for (std::int16_t level = 1; level <= 6; ++level) {
            TTdbTableDefinition named;
            named.Columns.Add(TTdbColumnDef::CreateStringColumnDef(
                u"Név", TTdbDataType::GetStringType(ctString, false, 20, collation, level), 0,
                collation));
            const std::u16string name = DataFileName(u"Coll", level);
            EXPECT_EQ(ErrorOf([&] { Create(name, level, named); }), level >= 5 ? 0 : 117)
                << ToUtf8(collation) << " at level " << level;
            std::filesystem::remove(PathOf(name));
        }
    }

    // A directory that does not exist cannot hold the new file.
    EXPECT_EQ(ErrorOf([&] { Create(u"no/such/dir/T.tdbt", 6, def); }), 3);

    // A capacity the header reader refuses is refused before a file is made of it.
    TTdbTableDefinition noCapacity;
    noCapacity.Capacity = 0;
    noCapacity.Columns.Add(u"A", TTdbDataType::GetDataType(ctInteger, false), 0);
    EXPECT_EQ(ErrorOf([&] { Create(u"NoCapacity.tdbt", 6, noCapacity); }), 49);
    EXPECT_FALSE(std::filesystem::exists(PathOf(u"NoCapacity.tdbt")));
}

TEST_F(DataFileTest, PasswordsAreCheckedAtEveryLevel) {
    TTdbTableDefinition def;
    def.Columns.Add(u"A", TTdbDataType::GetDataType(ctInteger, false), 0);
    for (std::int16_t level : {6, 5, 4, 3}) {
        TTdbTableDefinition levelDef;
        levelDef.Columns.Add(u"A", TTdbDataType::GetDataType(ctInteger, false, level), 0);
        const std::u16string name = DataFileName(u"Pw" + FromUtf8(std::to_string(level)), level);
        TdwCryptor creator(emProtection, u"Titok123456");
        Create(name, level, levelDef, creator);
        {
            TdwCryptor right(emNone, u"Titok123456");
            TTdbTableDefinition read;
            auto file = Open(name, read, right);
            EXPECT_EQ(right.GetEncryptionMethod(), emProtection) << level;
        }
        TdwCryptor wrong(emNone, u"Titok");
        EXPECT_EQ(OpenError(name, wrong), 38) << level;
        TdwCryptor none;
        EXPECT_EQ(OpenError(name, none), 38) << level;
        if (level < 4) {
            // Old levels compare the password in upper case.
            TdwCryptor lower(emNone, u"titok123456");
            EXPECT_EQ(OpenError(name, lower), 0) << level;
        }
    }
}

TEST_F(DataFileTest, EncryptionMarkersOfOldLevelsSelectTheirMethod) {
    // A level-4 password field that reads "_en:td_" is the fast-encryption marker; until that
    // cipher exists such a table cannot be opened.
    TTdbTableDefinition def;
    def.Columns.Add(u"A", TTdbDataType::GetDataType(ctInteger, false, 4), 0);
    TdwCryptor creator(emProtection, u"_en:td_");
    Create(u"Fast.dat", 4, def, creator);
    TdwCryptor opener(emNone, u"_en:td_");
    EXPECT_EQ(OpenError(u"Fast.dat", opener), 38);
    EXPECT_EQ(opener.GetEncryptionMethod(), emFast);
}

TEST_F(DataFileTest, MemoOfOddSizeIsAnOldVersion) {
    TTdbTableDefinition def;
    def.Columns.Add(u"M", TTdbDataType::GetDataType(ctMemo, true, 3), cdoNullable);
    Create(u"Memo.dat", 3, def);
    std::string bytes = Bytes(u"Memo.dat");
    const std::size_t sizeField = 18 + 677 + 2 + 41;
    ASSERT_EQ(bytes[sizeField], 3);
    bytes[sizeField] = 5;
    SetBytes(u"Memo.dat", bytes);
    EXPECT_EQ(OpenError(u"Memo.dat"), 124);
}

TEST_F(DataFileTest, FailedOpenLeavesTheFileClosed) {
    Create(u"F.tdbt", 6, EveryColumnType(6));
    std::string bytes = Bytes(u"F.tdbt");
    bytes[4] = 9;
    SetBytes(u"F.tdbt", bytes);
    auto file = File(u"F.tdbt");
    TTdbTableDefinition def;
    EXPECT_THROW(file->Open(false, true, cryptor_, factory_, def.Capacity, def.CollationName,
                            def.Types, def.Columns, def.Checks, def.Keys, def.ForeignKeys),
                 ETdbEngine);
    EXPECT_FALSE(file->GetIsOpen());
    EXPECT_EQ(pm_.OpenStorageCount(), 0);
}

// ---- Damaged headers ----

// Every open of a damaged file either succeeds with a definition that holds together or raises
// one of the header errors; nothing else may happen.
void ExpectConsistentOrRefused(
    DataFileTest& test, const std::u16string& name,
    const std::function<std::unique_ptr<TTdbHeapDataFile>(TTdbTableDefinition&)>& open,
    const std::string& what) {
    (void)test;
    TTdbTableDefinition def;
    try {
        auto file = open(def);
        ASSERT_GE(def.Columns.GetCount(), 1) << what;
        ASSERT_LE(def.Columns.GetCount(), kTdbMaxColumns) << what;
        ASSERT_EQ(def.Columns.GetRecordSize(), file->GetRecordSize()) << what;
        ASSERT_GE(file->GetRecordCount(), 0) << what;
        ASSERT_LE(file->GetStorageSize(), file->Storage()->GetSize()) << what;
        if (file->GetRecordCount() > 0) {
            std::vector<std::byte> record(file->GetRecordSize());
            file->ReadRecord(file->GetRecordCount(), record);
        }
    } catch (const ETdbEngine& e) {
        ASSERT_TRUE(e.Code() == 124 || e.Code() == 134 || e.Code() == 38)
            << what << ": " << e.Code() << " " << e.what();
    }
    (void)name;
}

TEST_F(DataFileTest, DamagedHeadersAreRefusedNeverFollowed) {
    for (std::int16_t level : {6, 4}) {
        const std::u16string source = DataFileName(u"Fuzz", level);
        Create(source, level, EveryColumnType(level));
        {
            TTdbTableDefinition read;
            auto file = Open(source, read);
            std::vector<std::byte> record(file->GetRecordSize(), std::byte{7});
            file->InsertRecord(record);
            file->InsertRecord(record);
            file->Flush();
        }
        const std::string valid = Bytes(source);
        // The part worth damaging: the header and the definition, not the padding.
        const std::size_t headerEnd =
            level >= 5 ? std::min<std::size_t>(valid.size(), 4529 + 1200) : valid.size() - 2;
        std::mt19937 random(20240611u + static_cast<unsigned>(level));
        const std::u16string target = DataFileName(u"Mutant", level);
        for (int round = 0; round < 1500; ++round) {
            std::string bytes = valid;
            const int kind = static_cast<int>(random() % 4);
            std::string what = "level " + std::to_string(level) + " round " +
                               std::to_string(round) + " kind " + std::to_string(kind);
            if (kind == 0) {
                const int flips = 1 + static_cast<int>(random() % 4);
                for (int i = 0; i < flips; ++i)
                    bytes[random() % headerEnd] = static_cast<char>(random());
            } else if (kind == 1) {
                // Small values where counts and lengths live.
                const std::size_t at = random() % (headerEnd - 1);
                bytes[at] = static_cast<char>(random() % 3 == 0 ? 0xFF : random() % 64);
                bytes[at + 1] = static_cast<char>(random() % 2 == 0 ? 0 : 0xFF);
            } else if (kind == 2) {
                bytes.resize(random() % (headerEnd + 16));
            } else {
                bytes.append(1 + random() % 9000, static_cast<char>(random()));
                bytes[random() % headerEnd] = static_cast<char>(random());
            }
            SetBytes(target, bytes);
            ExpectConsistentOrRefused(
                *this, target,
                [&](TTdbTableDefinition& def) {
                    cryptor_.SetEncryptionMethod(emNone);
                    return Open(target, def, cryptor_, true);
                },
                what);
            if (HasFatalFailure())
                return;
        }
    }
    EXPECT_EQ(pm_.OpenStorageCount(), 0);
}

}  // namespace
}  // namespace tdb
