// A process for the flush kill tests: it changes table T of a directory database in batches,
// each a few appends, edits and deletes followed by a flush, and kills itself (SIGKILL) just
// before the KILL_AT-th step its file system takes on the table's files (a write, a cut or a
// deletion; 0: never). It says what it does before doing it:
//
//   flush_probe DIRECTORY SEED KILL_AT BATCHES shared|exclusive
//     append N          (a record with the values RowFor(N))
//     edit RECNO N      (record RECNO gets the values RowFor(N))
//     delete RECNO      (the last record moves into its slot)
//     flushed           (the flush after a batch returned)
//     steps COUNT       (at the end, when it was not killed: the steps it took)
//   or "fail WHAT" when the engine refuses something.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/session.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "table_audit.h"

using namespace tdb;

namespace {

// The operating system's file system, dying on the step it was told to.
class KillingFileSystem : public TdwOSFileSystem {
public:
    KillingFileSystem(std::u16string base, long killAt)
        : TdwOSFileSystem(std::move(base)), killAt_(killAt) {}

    long Steps() const { return steps_; }

    int32_t FileWrite(int32_t handle, int64_t pos, std::span<const std::byte> data) override {
        Step();
        return TdwOSFileSystem::FileWrite(handle, pos, data);
    }
    void SetFileSize(int32_t handle, int64_t size) override {
        Step();
        TdwOSFileSystem::SetFileSize(handle, size);
    }
    bool DeleteFile(std::u16string_view fileName) override {
        Step();
        return TdwOSFileSystem::DeleteFile(fileName);
    }

private:
    void Step() {
        if (++steps_ == killAt_) {
            std::cout.flush();
            ::raise(SIGKILL);
        }
    }

    long killAt_;
    long steps_ = 0;
};

[[noreturn]] void Fail(const std::string& what, TTdbLocalSession& session) {
    std::cout << "fail " << what << ": " << ToUtf8(session.Services().LastError().LastErrorMsg())
              << std::endl;
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: flush_probe DIRECTORY SEED KILL_AT BATCHES shared|exclusive\n";
        return 2;
    }
    const std::u16string directory = FromUtf8(argv[1]);
    std::mt19937 random(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    const long killAt = std::strtol(argv[3], nullptr, 10);
    const int batches = std::atoi(argv[4]);
    const bool exclusive = std::string(argv[5]) == "exclusive";

    TTdbPageManager pageManager;
    auto fileSystem = std::make_unique<KillingFileSystem>(directory, killAt);
    KillingFileSystem& counted = *fileSystem;
    pageManager.AddFileSystem(directory, std::move(fileSystem));
    TTdbLocalSession session(&pageManager);
    if (session.Initialize(1) != 0)
        Fail("session", session);
    TTdbCatalog& catalog = session.Catalog();
    catalog.SetLocation(directory);
    catalog.SetExclusive(exclusive);
    if (session.OpenDb() != 0)
        Fail("open database", session);
    const int rltnIdx =
        catalog.OpenTable(u"T", {}, TTdbCatalog::kAllWriteRights, false, false, false);
    if (rltnIdx <= 0)
        Fail("open table", session);
    auto& table = dynamic_cast<TTdbBaseTable&>(*catalog.GetRelation(rltnIdx));

    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    std::vector<std::byte> stored(record.size());
    TTdbBlobDataList blobs;
    const auto draw = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    std::uint32_t next = 100000;
    for (int batch = 0; batch < batches; ++batch) {
        // One write lock over the batch: nobody else flushes the table in between.
        if (table.BeginWrite(true) != 0)
            Fail("write lock", session);
        for (int change = draw(1, 6); change > 0; --change) {
            const int count = table.GetRecordCount();
            const int kind = count == 0 ? 0 : draw(0, 3);
            const std::uint32_t n = next++;
            if (kind <= 1) {
                std::cout << "append " << n << std::endl;
                if (table.InitRecord(record, true) != 0)
                    Fail("init", session);
                audit::SetRow(table, record, audit::RowFor(n));
                if (table.AppendRecord(record, blobs) <= 0)
                    Fail("append", session);
            } else if (kind == 2) {
                const int recNo = draw(1, count);
                std::cout << "edit " << recNo << " " << n << std::endl;
                if (table.ReadRecord(recNo, stored) != 0)
                    Fail("read", session);
                record = stored;
                audit::SetRow(table, record, audit::RowFor(n));
                if (table.ReplaceRecord(record, stored, recNo, blobs) != 0)
                    Fail("edit", session);
            } else {
                const int recNo = draw(1, count);
                std::cout << "delete " << recNo << std::endl;
                if (table.ReadRecord(recNo, stored) != 0)
                    Fail("read", session);
                if (table.DeleteRecord(stored, recNo) != 0)
                    Fail("delete", session);
            }
        }
        if (table.Flush(false) != 0)
            Fail("flush", session);
        std::cout << "flushed" << std::endl;
        table.EndWrite();
    }
    std::cout << "steps " << counted.Steps() << std::endl;
    catalog.CloseRelation(rltnIdx);
    session.Uninitialize();
    return 0;
}
