// Each subcommand opens the database shared, so that several shells and the program can work on
// it at once, and reports the engine's own message when the engine refuses.
#include "tdb_cli.h"

#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "api/call_interface.h"
#include "api/text_buffers.h"
#include "csv.h"
#include "platform/text.h"
#include "types/data_type.h"

namespace tdb::tools {

namespace {

using namespace tdb::api;

// A failure of a command: its one line of explanation.
struct TFailure {
    std::string Message;
};

[[noreturn]] void Fail(std::string message) {
    throw TFailure{std::move(message)};
}

std::u16string U16(std::string_view text) {
    return FromUtf8(text);
}

std::string U8(std::u16string_view text) {
    return ToUtf8(text);
}

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(separator, start), text.size());
        parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The arguments of a command: positional ones and options ("--name value", or flags).
class TArgs {
public:
    TArgs(const std::vector<std::string>& args, const std::set<std::string>& flags,
          const std::set<std::string>& options) {
        for (std::size_t i = 1; i < args.size(); ++i) {
            const std::string& arg = args[i];
            if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
                FPositional.push_back(arg);
            } else if (flags.count(arg) != 0) {
                FFlags.insert(arg);
            } else if (options.count(arg) != 0) {
                if (i + 1 >= args.size())
                    Fail(arg + " needs a value");
                FOptions.emplace(arg, args[++i]);
            } else {
                Fail("unknown option " + arg + " (see: tdb " + args[0] + " --help)");
            }
        }
    }
    const std::vector<std::string>& Positional() const { return FPositional; }
    bool Flag(const std::string& name) const { return FFlags.count(name) != 0; }
    std::string Option(const std::string& name, const std::string& fallback = {}) const {
        const auto found = FOptions.find(name);
        return found == FOptions.end() ? fallback : found->second;
    }
    std::vector<std::string> All(const std::string& name) const {
        std::vector<std::string> values;
        for (auto [it, end] = FOptions.equal_range(name); it != end; ++it)
            values.push_back(it->second);
        return values;
    }
    // The positional arguments a command needs, by name, for the message when they are missing.
    void Require(std::size_t count, const std::string& usage) const {
        if (FPositional.size() < count)
            Fail("usage: tdb " + usage);
    }

private:
    std::vector<std::string> FPositional;
    std::set<std::string> FFlags;
    std::multimap<std::string, std::string> FOptions;
};

char Separator(const TArgs& args) {
    const std::string separator = args.Option("--separator", ";");
    if (separator.size() != 1)
        Fail("the separator must be one character");
    return separator[0];
}

// A session with the database of a directory open, shared.
class TSession {
public:
    TSession(const std::string& directory, bool create) : FDirectory(directory) {
        std::error_code ignored;
        if (create)
            std::filesystem::create_directories(directory, ignored);
        if (!std::filesystem::is_directory(directory))
            Fail("no database at " + directory);
        FHdl = TdbCreateSession(u"");
        if (FHdl <= 0)
            Fail("cannot make a session");
        const std::u16string location = U16(directory);
        Check(TdbSessOpenDb(FHdl, location.c_str(), u"", u"", 0, 0),
              "opening the database " + directory);
    }
    ~TSession() { TdbSessDelete(FHdl); }
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    std::int16_t Hdl() const { return FHdl; }
    const std::string& Directory() const { return FDirectory; }

    // The engine's message of the last refusal.
    std::string LastError() const {
        std::int16_t code = 0;
        std::array<char16_t, 1024> text{};
        TdbSessGetLastError(FHdl, code, text.data(), 1023);
        const std::string message = U8(text.data());
        return message.empty() ? "engine error " + std::to_string(-code) : message;
    }
    template <typename T>
    T Check(T result, const std::string& what) const {
        if (result < 0)
            Fail(what + ": " + LastError());
        return result;
    }

private:
    std::string FDirectory;
    std::int16_t FHdl = 0;
};

// A table of the session with a cursor on it, and its columns.
class TTable {
public:
    TTable(TSession& session, const std::string& name, bool write) : FSession(session) {
        const std::u16string table = U16(name);
        if (TdbSessExistsTable(session.Hdl(), table.c_str()) != 1)
            Fail("no table " + name + " in " + session.Directory());
        FRltnHdl = session.Check(TdbSessOpenTable(session.Hdl(), table.c_str(), u"",
                                                  write ? kTdbRightsWrite : 0, false, false),
                                 "opening table " + name);
        FHdl = session.Check(TdbTableCreate(FRltnHdl, u"tdb"), "opening table " + name);
        const std::int16_t count = session.Check(TdbTableGetNumFields(FHdl), "reading columns");
        for (std::int16_t no = 1; no <= count; ++no) {
            TTdbFieldSpec spec{};
            session.Check(TdbTableGetFieldSpec(FHdl, no, spec), "reading columns");
            FColumns.push_back(spec);
        }
        FRecord.resize(static_cast<std::size_t>(TdbTableGetRecordSize(FHdl)));
    }
    ~TTable() {
        TdbTableDelete(FHdl);
        TdbRltnClose(FRltnHdl);
    }
    TTable(const TTable&) = delete;
    TTable& operator=(const TTable&) = delete;

    std::int16_t Hdl() const { return FHdl; }
    std::int16_t RltnHdl() const { return FRltnHdl; }
    const std::vector<TTdbFieldSpec>& Columns() const { return FColumns; }
    std::vector<std::byte>& Record() { return FRecord; }
    std::int32_t RecordSize() const { return static_cast<std::int32_t>(FRecord.size()); }

    std::vector<std::string> Header() const {
        std::vector<std::string> names;
        for (const TTdbFieldSpec& spec : FColumns)
            names.push_back(U8(FixedText(spec.Name)));
        return names;
    }
    std::int16_t FieldNo(const std::string& name) const {
        const std::u16string text = U16(name);
        return TdbTableGetFieldNo(FHdl, text.c_str());
    }
    // The current record's values, as text.
    std::vector<std::string> Row() const {
        std::vector<std::string> row;
        std::vector<char16_t> text(256);
        for (std::int16_t no = 1; no <= static_cast<std::int16_t>(FColumns.size()); ++no) {
            std::int32_t length =
                FSession.Check(TdbTableGetFieldAsString(FHdl, no, text.data(),
                                                        static_cast<std::int32_t>(text.size()) - 1),
                               "reading a record");
            if (length >= static_cast<std::int32_t>(text.size())) {
                text.resize(static_cast<std::size_t>(length) + 1);
                length = TdbTableGetFieldAsString(FHdl, no, text.data(), length);
            }
            row.push_back(U8(std::u16string_view(text.data(), static_cast<std::size_t>(length))));
        }
        return row;
    }
    void SetIndex(const std::string& index) {
        const std::u16string name = U16(index);
        FSession.Check(TdbTableSetIndex(FHdl, name.c_str(), false), "index " + index);
    }
    // Mode 1 collects the matching records at once, 15 tests them while reading. Texts ending
    // in "*" compare as prefixes ("TELEP = 'Buda*'"), as the program's filters do.
    void SetFilter(const std::string& condition, std::uint32_t mode) {
        constexpr std::uint32_t kPartialCompare = 0x20;
        const std::u16string text = U16(condition);
        FSession.Check(TdbTableSetSQLFilter(FHdl, text.c_str(), mode | kPartialCompare, false),
                       "filter " + condition);
    }

private:
    TSession& FSession;
    std::int16_t FRltnHdl = 0;
    std::int16_t FHdl = 0;
    std::vector<TTdbFieldSpec> FColumns;
    std::vector<std::byte> FRecord;
};

// ---- The commands ----

// The column types by the names the shell reads and writes.
struct TTypeName {
    std::string_view Name;
    std::int16_t Code;
};
constexpr TTypeName kTypeNames[] = {
    {"Char", ctChar},         {"String", ctString},   {"WideString", ctWideString},
    {"SmallInt", ctSmallInt}, {"Integer", ctInteger}, {"BigInt", ctBigInt},
    {"Float", ctFloat},       {"Byte", ctByte},       {"Boolean", ctBoolean},
    {"Date", ctDate},         {"Time", ctTime},       {"TimeStamp", ctTimeStamp},
    {"AutoInc", ctAutoInc},   {"Guid", ctGuid},       {"Memo", ctMemo},
    {"WideMemo", ctWideMemo}, {"Blob", ctBlob},
};

std::int16_t TypeCode(const std::string& name) {
    for (const TTypeName& type : kTypeNames)
        if (Upper(std::string(type.Name)) == Upper(name))
            return type.Code;
    Fail("unknown column type " + name);
}

std::string TypeText(const TTdbFieldSpec& spec) {
    for (const TTypeName& type : kTypeNames) {
        if (type.Code != spec.FldType)
            continue;
        const bool sized =
            spec.FldType == ctString || spec.FldType == ctWideString || spec.FldType == ctFloat;
        const std::string name(type.Name);
        return sized ? name + "(" + std::to_string(spec.Param) + ")" : name;
    }
    return "type " + std::to_string(spec.FldType);
}

// Every table of the database, or the ones named after it.
std::vector<std::string> TableNames(TSession& session, const std::vector<std::string>& given) {
    if (!given.empty())
        return given;
    const std::int32_t length =
        session.Check(TdbSessGetTableNames(session.Hdl(), nullptr, 0), "listing tables");
    std::vector<char16_t> names(static_cast<std::size_t>(length) + 1);
    TdbSessGetTableNames(session.Hdl(), names.data(), length);
    const std::string list = U8(names.data());
    return list.empty() ? std::vector<std::string>{} : Split(list, ';');
}

std::vector<std::string> IndexNames(TSession& session, std::int16_t rltnHdl) {
    std::array<char16_t, 4096> names{};
    session.Check(TdbRltnGetIndexNames(rltnHdl, names.data(), 4095), "reading indexes");
    const std::string list = U8(names.data());
    return list.empty() ? std::vector<std::string>{} : Split(list, ',');
}

int Tables(const TArgs& args, std::ostream& out) {
    args.Require(1, "tables DB");
    TSession session(args.Positional()[0], false);
    for (const std::string& name : TableNames(session, {}))
        out << name << '\n';
    return 0;
}

int Schema(const TArgs& args, std::ostream& out) {
    args.Require(2, "schema DB TABLE");
    TSession session(args.Positional()[0], false);
    TTable table(session, args.Positional()[1], false);
    TTdbTableInfo info{};
    session.Check(TdbRltnGetTableInfo(table.RltnHdl(), info), "reading the table");
    out << "table " << args.Positional()[1] << '\n';
    out << "level " << info.Level << '\n';
    out << "collation " << U8(FixedText(info.Language)) << '\n';
    for (const TTdbFieldSpec& spec : table.Columns()) {
        out << "column " << U8(FixedText(spec.Name)) << ' ' << TypeText(spec);
        if ((spec.Options & 0x20) == 0 && spec.FldType != ctAutoInc)
            out << " NOT NULL";
        out << '\n';
    }
    for (const std::string& name : IndexNames(session, table.RltnHdl())) {
        const std::u16string name16 = U16(name);
        std::array<char16_t, 2048> desc{};
        const std::int16_t kind = session.Check(
            TdbRltnGetIndexDesc(table.RltnHdl(), name16.c_str(), desc.data(), 2047, true, 1),
            "index " + name);
        out << "index " << name << ' ' << U8(desc.data())
            << (kind == 2   ? " primary"
                : kind == 1 ? " unique"
                            : "")
            << '\n';
    }
    return 0;
}

// 'NAME TYPE[(n)] [COLLATE c] [NOT NULL]'
TTdbFieldSpec ParseColumn(const std::string& text, std::string& collation) {
    std::istringstream in(text);
    std::string name;
    std::string type;
    in >> name >> type;
    if (name.empty() || type.empty())
        Fail("a column is NAME TYPE[(n)] [COLLATE c] [NOT NULL]: " + text);
    TTdbFieldSpec spec{};
    SetFixedText(spec.Name, U16(name));
    std::int32_t param = 0;
    if (const auto open = type.find('('); open != std::string::npos) {
        const auto close = type.find(')', open);
        if (close == std::string::npos)
            Fail("column " + name + ": " + type + " lacks its ')'");
        try {
            param = std::stoi(type.substr(open + 1, close - open - 1));
        } catch (const std::exception&) {
            Fail("column " + name + ": bad size in " + type);
        }
        type = type.substr(0, open);
    }
    spec.FldType = TypeCode(type);
    spec.Param = param;
    spec.Options = 0x20;
    std::string word;
    while (in >> word) {
        if (Upper(word) == "COLLATE") {
            std::string name2;
            if (!(in >> name2))
                Fail("column " + name + ": COLLATE needs a collation");
            if (!collation.empty() && collation != name2)
                Fail("all columns of a table share one collation");
            collation = name2;
        } else if (Upper(word) == "NOT") {
            std::string null;
            if (!(in >> null) || Upper(null) != "NULL")
                Fail("column " + name + ": NOT must be followed by NULL");
            spec.Options = 0;
        } else {
            Fail("column " + name + ": unknown word " + word);
        }
    }
    return spec;
}

int Create(const TArgs& args, std::ostream& out) {
    args.Require(2, "create DB TABLE --column 'NAME TYPE[(n)] [COLLATE c] [NOT NULL]' ...");
    const std::string& tableName = args.Positional()[1];
    std::string collation;
    std::vector<TTdbFieldSpec> fields;
    for (const std::string& column : args.All("--column"))
        fields.push_back(ParseColumn(column, collation));
    if (fields.empty())
        Fail("a table needs at least one --column");
    std::vector<TTdbKeySpec> keys;
    if (const std::string primary = args.Option("--primary"); !primary.empty()) {
        TTdbKeySpec key{};
        key.IsPrimaryKey = 1;
        SetFixedText(key.Name, u"Primary");
        SetFixedText(key.Fields, U16(primary));
        keys.push_back(key);
    }
    TSession session(args.Positional()[0], true);
    TTdbTableInfo info{};
    SetFixedText(info.FileName, U16(tableName));
    info.Level = static_cast<std::int16_t>(std::stoi(args.Option("--level", "6")));
    SetFixedText(info.Language, U16(collation));
    info.Capacity = 1000;
    session.Check(
        TdbSessCreateTable(session.Hdl(), info, u"", static_cast<std::int16_t>(fields.size()),
                           fields.data(), static_cast<std::int16_t>(keys.size()), keys.data(), 0,
                           nullptr, 0, nullptr),
        "creating table " + tableName);
    const auto addIndexes = [&](const std::string& option, bool unique) {
        for (const std::string& spec : args.All(option)) {
            const auto equals = spec.find('=');
            if (equals == std::string::npos || equals == 0)
                Fail(option + " is NAME=COLUMN[,COLUMN...]: " + spec);
            const std::u16string name = U16(spec.substr(0, equals));
            const std::u16string desc = U16(spec.substr(equals + 1));
            const std::u16string table = U16(tableName);
            const std::int16_t rltnHdl = session.Check(
                TdbSessOpenTable(session.Hdl(), table.c_str(), u"", kTdbRightsWrite, false, false),
                "opening table " + tableName);
            const std::int16_t made =
                TdbRltnCreateIndex(rltnHdl, name.c_str(), desc.c_str(), unique);
            const std::string error = made < 0 ? session.LastError() : std::string();
            TdbRltnClose(rltnHdl);
            if (made < 0)
                Fail("index " + spec + ": " + error);
        }
    };
    addIndexes("--index", false);
    addIndexes("--unique", true);
    out << "created " << tableName << '\n';
    return 0;
}

int Count(const TArgs& args, std::ostream& out) {
    args.Require(2, "count DB TABLE [--filter CONDITION]");
    TSession session(args.Positional()[0], false);
    TTable table(session, args.Positional()[1], false);
    if (const std::string filter = args.Option("--filter"); !filter.empty())
        table.SetFilter(filter, 1);
    std::int32_t count = session.Check(TdbTableGetRowCount(table.Hdl()), "counting");
    if (count < 0) {
        // Too many to count at once: they are walked.
        count = 0;
        for (std::int16_t r = TdbTableFirst(table.Hdl()); r >= 0;
             r = TdbTableMoveBy(table.Hdl(), 1))
            ++count;
    }
    out << count << '\n';
    return 0;
}

int Export(const TArgs& args, std::ostream& out, std::ostream& err) {
    args.Require(2, "export DB TABLE [--index NAME] [--filter CONDITION] [--separator ';']");
    const char separator = Separator(args);
    TSession session(args.Positional()[0], false);
    TTable table(session, args.Positional()[1], false);
    if (const std::string index = args.Option("--index"); !index.empty())
        table.SetIndex(index);
    if (const std::string filter = args.Option("--filter"); !filter.empty())
        table.SetFilter(filter, 15);
    out << JoinCsvLine(table.Header(), separator) << '\n';
    // Progress goes to a terminal only, and only when the records go elsewhere.
    const bool progress = ::isatty(STDERR_FILENO) != 0 && ::isatty(STDOUT_FILENO) == 0;
    long written = 0;
    std::int16_t r = TdbTableFirst(table.Hdl());
    for (; r >= 0; r = TdbTableMoveBy(table.Hdl(), 1)) {
        out << JoinCsvLine(table.Row(), separator) << '\n';
        if (progress && ++written % 10000 == 0)
            err << "\r" << written << " rows" << std::flush;
    }
    if (progress && written >= 10000)
        err << '\n';
    if (r != kTdbRecordDoesNotExist)
        session.Check(r, "reading records");
    return 0;
}

// The columns of an index, from its readable specification ("TELEP", "Name, -Code:10").
std::vector<std::string> IndexColumns(TSession& session, TTable& table, const std::string& index) {
    const std::u16string name = U16(index);
    std::array<char16_t, 2048> desc{};
    session.Check(TdbRltnGetIndexDesc(table.RltnHdl(), name.c_str(), desc.data(), 2047, true, 0),
                  "index " + index);
    std::vector<std::string> columns;
    for (std::string part : Split(U8(desc.data()), ',')) {
        part = Trim(part);
        if (!part.empty() && part[0] == '(')
            Fail("index " + index + " is calculated: its key cannot be given as values");
        if (!part.empty() && part[0] == '-')
            part.erase(0, 1);
        if (const auto colon = part.find(':'); colon != std::string::npos)
            part.erase(colon);
        if (part.rfind("${", 0) == 0 && part.back() == '}')
            part = part.substr(2, part.size() - 3);
        columns.push_back(part);
    }
    return columns;
}

int Find(const TArgs& args, std::ostream& out) {
    const std::string usage = "find DB TABLE --index NAME [--exact] [--rows N] VALUE...";
    args.Require(3, usage);
    const std::string index = args.Option("--index");
    if (index.empty())
        Fail("usage: tdb " + usage);
    int rows = 10;
    try {
        rows = std::stoi(args.Option("--rows", "10"));
    } catch (const std::exception&) {
        Fail("--rows needs a number");
    }
    TSession session(args.Positional()[0], false);
    TTable table(session, args.Positional()[1], false);
    table.SetIndex(index);
    const std::vector<std::string> columns = IndexColumns(session, table, index);
    const std::vector<std::string> values(args.Positional().begin() + 2, args.Positional().end());
    if (values.size() > columns.size())
        Fail("index " + index + " has " + std::to_string(columns.size()) + " key columns");
    std::vector<std::byte>& record = table.Record();
    session.Check(TdbTableInitRecord(table.Hdl(), record.data(), table.RecordSize()),
                  "making the key");
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::u16string value = U16(values[i]);
        session.Check(TdbTableSetFieldInRecord(table.Hdl(), record.data(), table.RecordSize(),
                                               table.FieldNo(columns[i]), value.c_str()),
                      "value " + values[i] + " of " + columns[i]);
    }
    const auto given = static_cast<std::int16_t>(values.size());
    std::int32_t found = 0;
    if (args.Flag("--exact")) {
        // Only the records equal in the given key columns: the range of the key itself.
        session.Check(TdbTableSetRange(table.Hdl(), record.data(), record.data(),
                                       table.RecordSize(), given, given),
                      "searching");
        found = session.Check(TdbTableFirst(table.Hdl()) == 1 ? 1 : 0, "searching");
    } else {
        bool exact = false;
        found = session.Check(TdbTableLocateRec2(table.Hdl(), U16(index).c_str(), record.data(),
                                                 table.RecordSize(), given, exact),
                              "searching");
    }
    out << JoinCsvLine(table.Header(), ';') << '\n';
    if (found == 0)
        return args.Flag("--exact") ? 1 : 0;
    for (int row = 0; row < rows; ++row) {
        out << JoinCsvLine(table.Row(), ';') << '\n';
        if (TdbTableMoveBy(table.Hdl(), 1) != 0)
            break;
    }
    return 0;
}

int Import(const TArgs& args, std::istream& in, std::ostream& out, std::ostream& err) {
    args.Require(3, "import DB TABLE FILE [--separator ';'] [--on-error stop|skip]");
    const char separator = Separator(args);
    const std::string onError = args.Option("--on-error", "stop");
    if (onError != "stop" && onError != "skip")
        Fail("--on-error is stop or skip");
    const std::string& path = args.Positional()[2];
    std::ifstream file;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file)
            Fail("cannot read " + path);
    }
    std::istream& source = path == "-" ? in : file;
    TSession session(args.Positional()[0], false);
    TTable table(session, args.Positional()[1], true);
    std::string line;
    std::vector<std::string> fields;
    if (!std::getline(source, line))
        Fail(path + " is empty: it needs a header row");
    if (line.rfind("\xEF\xBB\xBF", 0) == 0)
        line.erase(0, 3);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    SplitCsvLine(line, separator, fields);
    std::vector<std::int16_t> fieldNos;
    for (const std::string& name : fields) {
        const std::int16_t no = table.FieldNo(Trim(name));
        if (no <= 0)
            Fail(path + ": table " + args.Positional()[1] + " has no column " + name);
        fieldNos.push_back(no);
    }
    const bool progress = ::isatty(STDERR_FILENO) != 0;
    long lineNo = 1;
    long read = 0;
    long written = 0;
    long refused = 0;
    bool stopped = false;
    while (std::getline(source, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        ++read;
        std::string problem;
        if (!SplitCsvLine(line, separator, fields)) {
            problem = "a quote is not closed";
        } else if (fields.size() != fieldNos.size()) {
            problem = std::to_string(fields.size()) + " fields for " +
                      std::to_string(fieldNos.size()) + " columns";
        } else if (TdbTableAppend(table.Hdl()) < 0) {
            problem = session.LastError();
        } else {
            for (std::size_t i = 0; i < fields.size() && problem.empty(); ++i) {
                const std::u16string value = U16(fields[i]);
                if (TdbTableSetFieldAsString(table.Hdl(), fieldNos[i], value.c_str()) < 0)
                    problem = session.LastError();
            }
            if (problem.empty() && TdbTableAppendConfirm(table.Hdl()) < 0)
                problem = session.LastError();
            if (!problem.empty())
                TdbTableAppendCancel(table.Hdl());
        }
        if (problem.empty()) {
            ++written;
        } else {
            ++refused;
            err << path << ":" << lineNo << ": " << problem << '\n';
            if (onError == "stop") {
                stopped = true;
                break;
            }
        }
        if (progress && read % 10000 == 0)
            err << "\r" << read << " rows" << std::flush;
    }
    if (progress && read >= 10000)
        err << '\n';
    out << "read " << read << ", written " << written << ", refused " << refused << '\n';
    return stopped ? 1 : 0;
}

int Check(const TArgs& args, std::ostream& out, std::ostream& err) {
    args.Require(1, "check DB [TABLE...]");
    TSession session(args.Positional()[0], false);
    const bool progress = ::isatty(STDERR_FILENO) != 0;
    bool clean = true;
    const std::vector<std::string> given(args.Positional().begin() + 1, args.Positional().end());
    for (const std::string& name : TableNames(session, given)) {
        if (progress)
            err << "checking " << name << "...\r" << std::flush;
        TTable table(session, name, false);
        std::string problems;
        const std::vector<std::string> indexes = IndexNames(session, table.RltnHdl());
        for (const std::string& index : indexes) {
            const std::u16string index16 = U16(index);
            std::array<char16_t, 1024> problem{};
            const std::int16_t agrees =
                TdbRltnCheckIndex(table.RltnHdl(), index16.c_str(), problem.data(), 1023);
            if (agrees == 1)
                continue;
            problems += (problems.empty() ? "" : "; ") + std::string("index ") + index + ": " +
                        (agrees == 0 ? U8(problem.data()) : session.LastError());
        }
        if (problems.empty()) {
            out << name << ": ok, " << TdbTableGetRowCount(table.Hdl()) << " records, "
                << indexes.size() << " indexes\n";
        } else {
            clean = false;
            out << name << ": " << problems << '\n';
        }
    }
    return clean ? 0 : 1;
}

int Repair(const TArgs& args, std::ostream& out) {
    args.Require(2, "repair DB TABLE");
    TSession session(args.Positional()[0], false);
    TTable table(session, args.Positional()[1], true);
    session.Check(TdbRltnRefreshIndex(table.RltnHdl(), u""),
                  "rebuilding the indexes of " + args.Positional()[1]);
    out << args.Positional()[1] << ": " << IndexNames(session, table.RltnHdl()).size()
        << " indexes rebuilt\n";
    return 0;
}

int Backup(const TArgs& args, std::ostream& out) {
    args.Require(2, "backup DB TARGET");
    TSession session(args.Positional()[0], false);
    // The backup copies the open tables: every table is opened for it.
    std::vector<std::unique_ptr<TTable>> tables;
    for (const std::string& name : TableNames(session, {}))
        tables.push_back(std::make_unique<TTable>(session, name, false));
    const std::u16string target = U16(args.Positional()[1]);
    session.Check(TdbSessBackupDatabase(session.Hdl(), 0, target.c_str()),
                  "backing up to " + args.Positional()[1]);
    out << "backed up " << tables.size() << " tables to " << args.Positional()[1] << '\n';
    return 0;
}

struct TCommand {
    std::string Usage;
    std::string What;
    std::set<std::string> Flags;
    std::set<std::string> Options;
    std::function<int(const TArgs&, std::istream&, std::ostream&, std::ostream&)> Run;
};

const std::map<std::string, TCommand>& Commands() {
    static const std::map<std::string, TCommand> commands = {
        {"tables",
         {"tables DB",
          "the table names, one a line",
          {},
          {},
          [](const TArgs& a, std::istream&, std::ostream& o, std::ostream&) {
              return Tables(a, o);
          }}},
        {"schema",
         {"schema DB TABLE",
          "level, collation, columns and indexes of a table",
          {},
          {},
          [](const TArgs& a, std::istream&, std::ostream& o, std::ostream&) {
              return Schema(a, o);
          }}},
        {"create",
         {"create DB TABLE [--level N] --column 'NAME TYPE[(n)] [COLLATE c] [NOT NULL]'... "
          "[--index NAME=COL[,COL...]]... [--unique NAME=COL...]... [--primary COL,...]",
          "creates a table with its indexes (and the database directory)",
          {},
          {"--level", "--column", "--index", "--unique", "--primary"},
          [](const TArgs& a, std::istream&, std::ostream& o, std::ostream&) {
              return Create(a, o);
          }}},
        {"import",
         {"import DB TABLE FILE [--separator ';'] [--on-error stop|skip]",
          "appends the rows of a CSV file whose header row names the columns (FILE - reads "
          "standard input)",
          {},
          {"--separator", "--on-error"},
          [](const TArgs& a, std::istream& i, std::ostream& o, std::ostream& e) {
              return Import(a, i, o, e);
          }}},
        {"export",
         {"export DB TABLE [--index NAME] [--filter CONDITION] [--separator ';']",
          "the records as CSV with a header row, in index or record-number order",
          {},
          {"--index", "--filter", "--separator"},
          [](const TArgs& a, std::istream&, std::ostream& o, std::ostream& e) {
              return Export(a, o, e);
          }}},
        {"find",
         {"find DB TABLE --index NAME [--exact] [--rows N] VALUE...",
          "the record a key search lands on and the records after it in index order (with "
          "--exact only records equal to the values; exit status 1 when there is none)",
          {"--exact"},
          {"--index", "--rows"},
          [](const TArgs& a, std::istream&, std::ostream& o, std::ostream&) {
              return Find(a, o);
          }}},
        {"check",
         {"check DB [TABLE...]",
          "every index against its table, one line per table (exit status 1 when anything is "
          "wrong)",
          {},
          {},
          [](const TArgs& a, std::istream&, std::ostream& o, std::ostream& e) {
              return Check(a, o, e);
          }}},
        {"repair",
         {"repair DB TABLE",
          "rebuilds the indexes of a table from its records",
          {},
          {},
          [](const TArgs& a, std::istream&, std::ostream& o, std::ostream&) {
              return Repair(a, o);
          }}},
        {"backup",
         {"backup DB TARGET",
          "copies every table into a new database directory",
          {},
          {},
          [](const TArgs& a, std::istream&, std::ostream& o, std::ostream&) {
              return Backup(a, o);
          }}},
        {"count",
         {"count DB TABLE [--filter CONDITION]",
          "the number of records",
          {},
          {"--filter"},
          [](const TArgs& a, std::istream&, std::ostream& o, std::ostream&) {
              return Count(a, o);
          }}},
    };
    return commands;
}

void Help(std::ostream& out) {
    out << "tdb: the database shell. A database is a directory of tables.\n\n";
    for (const auto& [name, command] : Commands())
        out << "  tdb " << command.Usage << "\n      " << command.What << "\n";
    out << "\n  tdb COMMAND --help   one command's usage\n";
}

}  // namespace

int RunTdb(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err) {
    if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        Help(args.empty() ? err : out);
        return args.empty() ? 1 : 0;
    }
    const auto found = Commands().find(args[0]);
    if (found == Commands().end()) {
        err << "tdb: unknown command " << args[0] << " (see: tdb help)\n";
        return 1;
    }
    const TCommand& command = found->second;
    for (std::size_t i = 1; i < args.size(); ++i)
        if (args[i] == "--help") {
            out << "usage: tdb " << command.Usage << "\n" << command.What << "\n";
            return 0;
        }
    try {
        const TArgs parsed(args, command.Flags, command.Options);
        const int status = command.Run(parsed, in, out, err);
        out.flush();
        return status;
    } catch (const TFailure& failure) {
        out.flush();
        err << "tdb: " << failure.Message << '\n';
        return 1;
    } catch (const std::exception& e) {
        out.flush();
        err << "tdb: " << e.what() << '\n';
        return 1;
    }
}

}  // namespace tdb::tools
