// Writing the files of one table as one: behind a rollback journal, so that a flush stopped
// anywhere, by a killed process or a failed write, lands wholly or not at all.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tdb {

class TdwFileSystem;
class TTdbClientStorage;

// The journal of the table with that data file: beside it, under the same name with its own
// extension.
std::u16string FlushJournalFileName(std::u16string_view dataFileName);

// What one table keeps between its flushes.
struct TTdbTableFlushState {
    // A journal of a failed flush that could not be rolled back at once is still on disk; the
    // next flush rolls it back first, for a new journal must not take the place of its originals.
    bool JournalLeft = false;
};

// Writes every change the storages hold. The journal (beside the table, in the same file system
// as the storages) is made complete, and with Durable reaches the disk, before the first page
// is overwritten; it goes once every page is written, and with Durable after the files and the
// deletion have reached the disk. Without Journaled (a table nobody else ever sees) the pages
// are simply written. A failure raises ETdbPageManager or EdwInOutError; the files are then as
// before the flush (or the journal is left for the next attempt) and the changes stay in the
// cache, so nothing is lost.
void FlushAsOne(TdwFileSystem& fileSystem, const std::u16string& journalName,
                std::span<TTdbClientStorage* const> storages, bool durable, bool journaled,
                TTdbTableFlushState& state);

}  // namespace tdb
