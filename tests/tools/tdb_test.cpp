// The tdb shell end to end: every command on a small database with its expected output, the
// error paths a user meets, the sample database built from the postal list, and two shells
// importing into one table at once.
#include <gtest/gtest.h>
#include <unicode/coll.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "tools/tdb_cli.h"

namespace tdb::tools {
namespace {

struct TResult {
    int Status;
    std::string Out;
    std::string Err;
};

TResult Tdb(const std::vector<std::string>& args, const std::string& input = {}) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunTdb(args, in, out, err);
    return {status, out.str(), err.str()};
}

class TdbTest : public ::testing::Test {
protected:
    std::string Db() const { return (dir_.Path() / "db").string(); }
    std::string File(const std::string& name, const std::string& text) const {
        const std::string path = (dir_.Path() / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // The small table: a unique code, a name under the Hungarian collation, an area.
    void MakeTowns() {
        const TResult made =
            Tdb({"create", Db(), "Towns", "--column", "Code Integer NOT NULL", "--column",
                 "Name WideString(20) COLLATE Hungarian NOT NULL", "--column", "Area WideString(2)",
                 "--index", "ByName=Name", "--unique", "ByCode=Code"});
        ASSERT_EQ(made.Status, 0) << made.Err;
        const TResult imported = Tdb({"import", Db(), "Towns",
                                      File("towns.csv",
                                           "Code;Name;Area\n7000;Pécs;72\n2000;Szentendre;26\n"
                                           "6000;Kecskemét;76\n1000;Budapest;1\n8000;Ács;\n")});
        ASSERT_EQ(imported.Status, 0) << imported.Err;
        EXPECT_EQ(imported.Out, "read 5, written 5, refused 0\n");
    }

    testing::TempDir dir_;
};

TEST_F(TdbTest, EveryCommandOnASmallDatabase) {
    ASSERT_NO_FATAL_FAILURE(MakeTowns());
    EXPECT_EQ(Tdb({"tables", Db()}).Out, "Towns\n");
    EXPECT_EQ(Tdb({"schema", Db(), "Towns"}).Out,
              "table Towns\nlevel 6\ncollation Hungarian\n"
              "column Code Integer NOT NULL\ncolumn Name WideString(20) NOT NULL\n"
              "column Area WideString(2)\nindex ByName Name\nindex ByCode Code unique\n");
    EXPECT_EQ(Tdb({"count", Db(), "Towns"}).Out, "5\n");
    EXPECT_EQ(Tdb({"count", Db(), "Towns", "--filter", "Code >= 6000"}).Out, "3\n");
    EXPECT_EQ(Tdb({"export", Db(), "Towns", "--index", "ByName"}).Out,
              "Code;Name;Area\n8000;Ács;\n1000;Budapest;1\n6000;Kecskemét;76\n7000;Pécs;72\n"
              "2000;Szentendre;26\n");
    EXPECT_EQ(Tdb({"export", Db(), "Towns", "--filter", "Area = '7*'", "--separator", ","}).Out,
              "Code,Name,Area\n7000,Pécs,72\n6000,Kecskemét,76\n");
    // The search window: where the typed text lands and what follows.
    EXPECT_EQ(Tdb({"find", Db(), "Towns", "--index", "ByName", "--rows", "2", "C"}).Out,
              "Code;Name;Area\n6000;Kecskemét;76\n7000;Pécs;72\n");
    EXPECT_EQ(Tdb({"find", Db(), "Towns", "--index", "ByCode", "--exact", "2000"}).Out,
              "Code;Name;Area\n2000;Szentendre;26\n");
    const TResult none = Tdb({"find", Db(), "Towns", "--index", "ByCode", "--exact", "2001"});
    EXPECT_EQ(none.Status, 1);
    EXPECT_EQ(none.Out, "Code;Name;Area\n");
    EXPECT_EQ(Tdb({"find", Db(), "Towns", "--index", "ByName", "Zzz"}).Out, "Code;Name;Area\n");
    // Standard input as the file.
    EXPECT_EQ(Tdb({"import", Db(), "Towns", "-"}, "Name;Code\nEger;3300\n").Out,
              "read 1, written 1, refused 0\n");
    EXPECT_EQ(Tdb({"count", Db(), "Towns"}).Out, "6\n");
    EXPECT_NE(Tdb({"help"}).Out.find("tdb export DB TABLE"), std::string::npos);
    const TResult usage = Tdb({"find", "--help"});
    EXPECT_EQ(usage.Status, 0);
    EXPECT_EQ(usage.Out.rfind("usage: tdb find DB TABLE --index NAME", 0), 0u) << usage.Out;
}

TEST_F(TdbTest, ErrorsAreOneLineAndKeepWhatWasDone) {
    ASSERT_NO_FATAL_FAILURE(MakeTowns());
    struct TCase {
        std::vector<std::string> Args;
        std::string Error;  // the start of the one line on the error stream
    };
    const std::string missing = (dir_.Path() / "missing").string();
    const TCase cases[] = {
        {{"count", missing, "Towns"}, "tdb: no database at " + missing + "\n"},
        {{"count", Db(), "Nowhere"}, "tdb: no table Nowhere in " + Db() + "\n"},
        {{"create", Db(), "Bad", "--column", "A Decimal"}, "tdb: unknown column type Decimal\n"},
        {{"create", Db(), "Bad", "--column", "A WideString(5) NOT"},
         "tdb: column A: NOT must be followed by NULL\n"},
        {{"count", Db(), "Towns", "--filter", "Code >> 1"}, "tdb: filter Code >> 1: "},
        {{"export", Db(), "Towns", "--index", "ByArea"}, "tdb: index ByArea: "},
        {{"import", Db(), "Towns", File("extra.csv", "Code;Name;Mayor\n1;A;B\n")},
         "tdb: " + (dir_.Path() / "extra.csv").string() + ": table Towns has no column Mayor\n"},
        {{"frobnicate"}, "tdb: unknown command frobnicate (see: tdb help)\n"},
        {{"count", Db(), "Towns", "--where", "x"},
         "tdb: unknown option --where (see: tdb count --help)\n"},
        {{"find", Db(), "Towns", "x"}, "tdb: usage: tdb find DB TABLE --index NAME"},
    };
    for (const TCase& c : cases) {
        const TResult result = Tdb(c.Args);
        EXPECT_EQ(result.Status, 1) << c.Error;
        EXPECT_EQ(result.Err.rfind(c.Error, 0), 0u) << result.Err;
        EXPECT_EQ(std::count(result.Err.begin(), result.Err.end(), '\n'), 1) << result.Err;
    }

    // A row that breaks the unique index: stop keeps the rows before it, skip goes on.
    const std::string rows = File("more.csv", "Code;Name\n9000;Győr\n7000;Pécs II\n9400;Sopron\n");
    const TResult stopped = Tdb({"import", Db(), "Towns", rows});
    EXPECT_EQ(stopped.Status, 1);
    EXPECT_EQ(stopped.Out, "read 2, written 1, refused 1\n");
    EXPECT_EQ(stopped.Err, rows + ":3: Records must be unique with respect to \"Code\"\n");
    const TResult skipped = Tdb({"import", Db(), "Towns", rows, "--on-error", "skip"});
    EXPECT_EQ(skipped.Status, 0);
    EXPECT_EQ(skipped.Out, "read 3, written 1, refused 2\n");
    EXPECT_EQ(Tdb({"count", Db(), "Towns"}).Out, "7\n");
    const TResult bad = Tdb({"import", Db(), "Towns", File("bad.csv", "Code;Name\nabc;X\n")});
    EXPECT_EQ(bad.Status, 1);
    EXPECT_EQ(bad.Err.rfind((dir_.Path() / "bad.csv").string() + ":2: ", 0), 0u) << bad.Err;
}

// A record changed behind the index's back: check names the index and the record, repair builds
// the indexes again, and a backup is a database of its own.
TEST_F(TdbTest, CheckRepairAndBackup) {
    ASSERT_NO_FATAL_FAILURE(MakeTowns());
    EXPECT_EQ(Tdb({"check", Db()}).Out, "Towns: ok, 5 records, 2 indexes\n");
    {
        const std::string path = Db() + "/Towns.tdbt";
        std::ifstream in(path, std::ios::binary);
        std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        const std::string from("P\0\xE9\0c\0s\0", 8);
        const std::string to("Z\0s\0\xE1\0k\0", 8);
        const auto at = image.find(from);
        ASSERT_NE(at, std::string::npos);
        image.replace(at, from.size(), to);
        std::ofstream(path, std::ios::binary) << image;
    }
    const TResult broken = Tdb({"check", Db(), "Towns"});
    EXPECT_EQ(broken.Status, 1);
    EXPECT_EQ(broken.Out, "Towns: index ByName: the entry of record 1 is not its key\n");
    EXPECT_EQ(Tdb({"repair", Db(), "Towns"}).Out, "Towns: 2 indexes rebuilt\n");
    EXPECT_EQ(Tdb({"check", Db()}).Status, 0);
    EXPECT_EQ(Tdb({"export", Db(), "Towns", "--index", "ByName"}).Out,
              "Code;Name;Area\n8000;Ács;\n1000;Budapest;1\n6000;Kecskemét;76\n"
              "2000;Szentendre;26\n7000;Zsák;72\n");

    const std::string copy = (dir_.Path() / "copy").string();
    EXPECT_EQ(Tdb({"backup", Db(), copy}).Out, "backed up 1 tables to " + copy + "\n");
    EXPECT_EQ(Tdb({"check", copy}).Out, "Towns: ok, 5 records, 2 indexes\n");
    EXPECT_EQ(Tdb({"count", copy, "Towns"}).Out, "5\n");
    EXPECT_EQ(Tdb({"check", Db(), "Nowhere"}).Status, 1);
}

TEST_F(TdbTest, APrimaryKeyIsAUniqueIndexOfItsOwn) {
    ASSERT_EQ(Tdb({"create", Db(), "Keyed", "--level", "6", "--column", "Code Integer NOT NULL",
                   "--column", "Name WideString(10)", "--primary", "Code"})
                  .Status,
              0);
    EXPECT_EQ(Tdb({"schema", Db(), "Keyed"}).Out,
              "table Keyed\nlevel 6\ncollation \ncolumn Code Integer NOT NULL\n"
              "column Name WideString(10)\nindex sys_Primary Code primary\n");
    const TResult imported = Tdb({"import", Db(), "Keyed", "-"}, "Code;Name\n1;A\n1;B\n");
    EXPECT_EQ(imported.Status, 1);
    EXPECT_EQ(imported.Out, "read 2, written 1, refused 1\n");
}

// The sample table of the program, from the postal list.
TEST_F(TdbTest, TheSampleDatabaseFromThePostalList) {
    const TResult made =
        Tdb({"create", Db(), "Irsz", "--column", "IRSZ WideString(4)", "--column",
             "TELEP WideString(38) COLLATE Hungarian", "--column", "TELK WideString(2)", "--index",
             "TELEP=TELEP", "--index", "IRSZ=IRSZ"});
    ASSERT_EQ(made.Status, 0) << made.Err;
    const TResult imported =
        Tdb({"import", Db(), "Irsz", std::string(ZENKALO_DATA_DIR) + "/irsz.csv"});
    ASSERT_EQ(imported.Status, 0) << imported.Err;
    EXPECT_EQ(Tdb({"count", Db(), "Irsz"}).Out, "3570\n");
    EXPECT_EQ(Tdb({"find", Db(), "Irsz", "--index", "TELEP", "Buda", "--rows", "5"}).Out,
              "IRSZ;TELEP;TELK\n2093;Budajenő;26\n2011;Budakalász;26\n2092;Budakeszi;23\n"
              "2040;Budaörs;23\n1007;Budapest;1\n");
    // Name order is the Hungarian collator's.
    const TResult exported = Tdb({"export", Db(), "Irsz", "--index", "TELEP"});
    ASSERT_EQ(exported.Status, 0);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(
        icu::Collator::createInstance(icu::Locale("hu"), status));
    ASSERT_TRUE(U_SUCCESS(status));
    std::istringstream lines(exported.Out);
    std::string line;
    std::getline(lines, line);
    std::string previous;
    int count = 0;
    while (std::getline(lines, line)) {
        const std::string name = line.substr(5, line.rfind(';') - 5);
        if (count++ > 0) {
            EXPECT_NE(collator->compare(icu::UnicodeString::fromUTF8(previous),
                                        icu::UnicodeString::fromUTF8(name), status),
                      UCOL_GREATER)
                << previous << " before " << name;
        }
        previous = name;
    }
    EXPECT_EQ(count, 3570);
    EXPECT_EQ(Tdb({"check", Db()}).Out, "Irsz: ok, 3570 records, 2 indexes\n");
}

// Two shells append to one table at once: every row arrives once and both indexes hold them.
TEST_F(TdbTest, TwoShellsImportingAtOnceLoseNothing) {
    ASSERT_EQ(Tdb({"create", Db(), "Both", "--column", "K Integer NOT NULL", "--column",
                   "Name WideString(10) COLLATE Hungarian", "--unique", "ByK=K", "--index",
                   "ByName=Name"})
                  .Status,
              0);
    std::string first = "K;Name\n";
    std::string second = "K;Name\n";
    for (int i = 0; i < 300; ++i) {
        first += std::to_string(2 * i) + ";Páros" + std::to_string(i % 7) + "\n";
        second += std::to_string(2 * i + 1) + ";Páratlan" + std::to_string(i % 5) + "\n";
    }
    const std::string a = File("a.csv", first);
    const std::string b = File("b.csv", second);
    const std::string log = (dir_.Path() / "log").string();
    const std::string command = "(" + std::string(ZENKALO_TDB) + " import " + Db() + " Both " + a +
                                " & " + ZENKALO_TDB + " import " + Db() + " Both " + b +
                                " & wait) > " + log + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream in(log);
    const std::string output((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(output, "read 300, written 300, refused 0\nread 300, written 300, refused 0\n");
    EXPECT_EQ(Tdb({"count", Db(), "Both"}).Out, "600\n");
    EXPECT_EQ(Tdb({"check", Db()}).Out, "Both: ok, 600 records, 2 indexes\n");
    for (const std::string index : {"ByK", "ByName"}) {
        const TResult exported = Tdb({"export", Db(), "Both", "--index", index});
        EXPECT_EQ(std::count(exported.Out.begin(), exported.Out.end(), '\n'), 601) << index;
    }
    const TResult byK = Tdb({"export", Db(), "Both", "--index", "ByK"});
    std::istringstream lines(byK.Out);
    std::string line;
    std::getline(lines, line);
    for (int k = 0; std::getline(lines, line); ++k)
        ASSERT_EQ(line.substr(0, line.find(';')), std::to_string(k));
}

}  // namespace
}  // namespace tdb::tools
