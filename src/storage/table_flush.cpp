#include "storage/table_flush.h"

#include <cstdint>
#include <exception>
#include <vector>

#include "storage/data_file.h"
#include "storage/file_errors.h"
#include "storage/file_system.h"
#include "storage/flush_journal.h"
#include "storage/page_manager.h"

namespace tdb {

namespace {

[[noreturn]] void RaiseNotErased(TdwFileSystem& fileSystem, const std::u16string& journalName) {
    throw EdwInOutError(u"Cannot delete the flush journal \"" + journalName + u"\"",
                        fileSystem.GetLastError());
}

}  // namespace

std::u16string FlushJournalFileName(std::u16string_view dataFileName) {
    return FileNameBase(dataFileName) + u".tdbj";
}

void FlushAsOne(TdwFileSystem& fileSystem, const std::u16string& journalName,
                std::span<TTdbClientStorage* const> storages, bool durable, bool journaled,
                TTdbTableFlushState& state) {
    if (state.JournalLeft) {
        // The storages are open here, some maybe exclusively: the journal writes through them.
        const auto openFile = [&](std::u16string_view name) {
            const std::u16string expanded = fileSystem.ExpandFileName(name);
            for (TTdbClientStorage* storage : storages)
                if (fileSystem.ExpandFileName(storage->Name()) == expanded)
                    return storage->FileHandle();
            return std::int32_t{-1};
        };
        TTdbFlushJournal::RollBack(fileSystem, journalName, durable, openFile);
        state.JournalLeft = false;
    }
    if (!journaled) {
        for (TTdbClientStorage* storage : storages)
            storage->WriteChanges(durable);
        for (TTdbClientStorage* storage : storages)
            storage->MarkWritten();
        return;
    }

    TTdbFlushJournal journal(fileSystem, journalName);
    std::vector<TTdbClientStorage*> written;
    std::vector<std::int32_t> handles;
    for (TTdbClientStorage* storage : storages) {
        if (storage->JournalChanges(journal)) {
            written.push_back(storage);
            handles.push_back(storage->FileHandle());
        }
    }
    if (written.empty())
        return;
    journal.Write(durable);

    // Puts the files back after a failure; a journal that cannot go stays for the next flush,
    // since it would otherwise undo a later one.
    const auto rollBack = [&] {
        try {
            journal.Restore(handles, durable);
            state.JournalLeft = !journal.Erase();
        } catch (const std::exception&) {
            state.JournalLeft = true;
        }
    };
    try {
        for (TTdbClientStorage* storage : written)
            storage->WriteChanges(durable);
    } catch (const std::exception&) {
        rollBack();
        throw;
    }
    if (!journal.Erase()) {
        // A journal that stays would undo this flush when found: it is undone now instead, and
        // the changes wait in the cache for the next attempt.
        rollBack();
        RaiseNotErased(fileSystem, journalName);
    }
    for (TTdbClientStorage* storage : written)
        storage->MarkWritten();
    // The deletion reaches the disk with the directory the files are in.
    if (durable && !fileSystem.SyncFile(written.front()->FileHandle(), written.front()->Name()))
        throw EdwInOutError(u"Cannot save the directory of \"" + written.front()->Name() + u"\"",
                            fileSystem.GetLastError());
}

}  // namespace tdb
