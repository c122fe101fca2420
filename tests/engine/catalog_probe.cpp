// A process for the kill tests: it opens a directory database exclusively and works on its
// tables in a random loop until it is killed, saying before each step what it starts and after
// it, once everything is flushed, that it is done:
//
//   catalog_probe DIRECTORY SEED STEPS
//     begin create T       (a new audit table under a free name of T0..T4)
//     begin append T FIRST COUNT   (the rows RowFor(FIRST) .. RowFor(FIRST + COUNT - 1))
//     begin newindex T NAME        (NAME over "Code, Name")
//     begin regen T | begin clear T | begin close T
//     begin dropindex T NAME       (a user index that was found lost)
//     begin rename T U | begin delete T
//     done
//   "refused" instead of "done" when an index file left over from a killed run is in the way,
//   and "end" after STEPS steps, or "fail WHAT" when the engine refuses a step.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "base/engine_errors.h"
#include "engine/session.h"
#include "table_audit.h"

using namespace tdb;

namespace {

constexpr int kNamePool = 5;

class Probe {
public:
    Probe(std::u16string directory, std::uint32_t seed) : random_(seed) {
        if (session_.Initialize(1) != 0) {
            std::cout << "fail session" << std::endl;
            std::_Exit(1);
        }
        Catalog().SetLocation(std::move(directory));
        Catalog().SetExclusive(true);
        if (session_.OpenDb() != 0)
            Fail("open database");
        for (const std::u16string& name : Catalog().GetTableNames())
            tables_.push_back(name);
        nextRow_ = seed * 10000u;
    }

    void Step() {
        const int choice = Draw(0, 99);
        if (tables_.size() < 2 || choice < 8) {
            Create();
            return;
        }
        const std::u16string table =
            tables_[static_cast<std::size_t>(Draw(0, static_cast<int>(tables_.size()) - 1))];
        if (choice < 50)
            Append(table);
        else if (choice < 58)
            NewIndex(table);
        else if (choice < 68)
            Regen(table);
        else if (choice < 75)
            Clear(table);
        else if (choice < 83)
            Close(table);
        else if (choice < 92)
            Rename(table);
        else
            Delete(table);
    }

private:
    TTdbCatalog& Catalog() { return session_.Catalog(); }

    int Draw(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    [[noreturn]] void Fail(const std::string& what) {
        std::cout << "fail " << what << ": "
                  << ToUtf8(session_.Services().LastError().LastErrorMsg()) << std::endl;
        std::_Exit(1);
    }

    static void Begin(const std::string& line) { std::cout << "begin " << line << std::endl; }
    static void Done() { std::cout << "done" << std::endl; }

    std::u16string FreeName() {
        std::vector<std::u16string> free;
        for (int i = 0; i < kNamePool; ++i) {
            const std::u16string name = u"T" + NumberText(i);
            bool used = false;
            for (const std::u16string& table : tables_)
                used = used || SameAsciiText(table, name);
            if (!used)
                free.push_back(name);
        }
        return free.empty()
                   ? std::u16string()
                   : free[static_cast<std::size_t>(Draw(0, static_cast<int>(free.size()) - 1))];
    }

    TTdbBaseTable& Opened(const std::u16string& name) {
        int rltnIdx = Catalog().FindRltnIdx(name);
        if (rltnIdx == 0)
            rltnIdx =
                Catalog().OpenTable(name, {}, TTdbCatalog::kAllWriteRights, false, false, false);
        if (rltnIdx <= 0)
            Fail("open " + ToUtf8(name));
        auto& table = dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
        // An index a killed run tore is lost: the user's part is to delete it.
        for (TTdbIndexNo no = 0; no <= table.GetLastIndexNo(); ++no) {
            const TTdbIndexFile* index = table.GetIndexFile(no);
            if (index == nullptr || index->IsAutomatic() || table.CheckIndexOpen(no, false))
                continue;
            Begin("dropindex " + ToUtf8(name) + " " + ToUtf8(index->Name()));
            if (table.RemoveInd(no) != 0)
                Fail("dropindex");
            Flush(table);
            Done();
        }
        return table;
    }

    void Flush(TTdbBaseTable& table) {
        if (table.Flush(false) != 0)
            Fail("flush " + ToUtf8(table.StdName()));
    }

    void Create() {
        const std::u16string name = FreeName();
        if (name.empty())
            return;
        Begin("create " + ToUtf8(name));
        TTdbCreateTableArgs args = audit::AuditTableArgs(name);
        if (Catalog().CreateTable(args) != 0)
            Fail("create " + ToUtf8(name));
        tables_.push_back(name);
        Done();
    }

    void Append(const std::u16string& name) {
        TTdbBaseTable& table = Opened(name);
        const int count = Draw(1, 120);
        Begin("append " + ToUtf8(name) + " " + std::to_string(nextRow_) + " " +
              std::to_string(count));
        std::vector<audit::TRow> rows;
        for (int i = 0; i < count; ++i)
            rows.push_back(audit::RowFor(nextRow_++));
        const std::string failure = audit::AppendRows(table, rows);
        if (!failure.empty())
            Fail("append " + failure);
        Flush(table);
        Done();
    }

    void NewIndex(const std::u16string& name) {
        TTdbBaseTable& table = Opened(name);
        const std::u16string index = u"X" + NumberText(Draw(0, 2));
        if (table.FindIndexByName(index) != kTdbNoIndex)
            return;
        Begin("newindex " + ToUtf8(name) + " " + ToUtf8(index));
        const TTdbSortDef def = ParseIndexSpecification(index, u"Code, Name", table.ColumnDefs(),
                                                        table.GetLevel(), false);
        const std::int16_t made = table.NewIndex(index, def, {}, 0);
        // The file of an index whose making was killed before the table stored its name is
        // left over; it takes deleting by hand.
        if (made == -kTdbErrIndexFileExists) {
            std::cout << "refused" << std::endl;
            return;
        }
        if (made < 0)
            Fail("newindex");
        Flush(table);
        Done();
    }

    void Regen(const std::u16string& name) {
        TTdbBaseTable& table = Opened(name);
        Begin("regen " + ToUtf8(name));
        if (table.RegenIndex({}) != 0)
            Fail("regen");
        Flush(table);
        Done();
    }

    void Clear(const std::u16string& name) {
        TTdbBaseTable& table = Opened(name);
        Begin("clear " + ToUtf8(name));
        if (table.ClearDat() < 0)
            Fail("clear");
        Flush(table);
        Done();
    }

    void Close(const std::u16string& name) {
        const int rltnIdx = Catalog().FindRltnIdx(name);
        if (rltnIdx == 0)
            return;
        Begin("close " + ToUtf8(name));
        if (Catalog().TryCloseRelation(rltnIdx) != 0)
            Fail("close");
        Done();
    }

    void Rename(const std::u16string& name) {
        const std::u16string target = FreeName();
        if (target.empty())
            return;
        Begin("rename " + ToUtf8(name) + " " + ToUtf8(target));
        if (Catalog().RenameTable(name, target, {}) != 0)
            Fail("rename");
        for (std::u16string& table : tables_)
            if (table == name)
                table = target;
        Done();
    }

    void Delete(const std::u16string& name) {
        Begin("delete " + ToUtf8(name));
        if (Catalog().DeleteTable(name, {}) != 0)
            Fail("delete");
        std::erase(tables_, name);
        Done();
    }

    TTdbLocalSession session_;
    std::mt19937 random_;
    std::vector<std::u16string> tables_;
    std::uint32_t nextRow_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: catalog_probe DIRECTORY SEED STEPS\n");
        return 2;
    }
    Probe probe(FromUtf8(argv[1]), static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    const int steps = std::atoi(argv[3]);
    for (int i = 0; i < steps; ++i)
        probe.Step();
    std::cout << "end" << std::endl;
    return 0;
}
