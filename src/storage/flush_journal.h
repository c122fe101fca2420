// The rollback journal of one flush: before a flush overwrites any page of a table's files, the
// original bytes of those pages and the files' old lengths are written to a journal beside the
// table. The journal ends with a trailer written last (its length and checksum), so a journal
// torn while being written is recognised and ignored: nothing had been overwritten yet. A
// complete journal found later means its flush may have stopped halfway; rolling it back puts
// every file as it was before that flush began.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tdb {

class TdwFileSystem;

class TTdbFlushJournal {
public:
    // Nothing is written until Write.
    TTdbFlushJournal(TdwFileSystem& fileSystem, std::u16string journalName);

    // A file the flush will write, by the name the file system opens it with, and its length
    // before the flush. Answers the number AddPage takes.
    std::int32_t AddFile(std::u16string fileName, std::int64_t oldLength);
    // The bytes at Offset of that file as they are before the flush (the part below the old
    // length: bytes the flush appends need no copy, the old length cuts them off).
    void AddPage(std::int32_t fileNo, std::int64_t offset, std::span<const std::byte> original);
    bool IsEmpty() const noexcept { return FPageCount == 0 && FFileCount == 0; }

    // Puts the files back as they were before the flush, from what this journal holds, through
    // handles the caller keeps open (by the numbers AddFile answered): a flush that failed
    // halfway in the process that began it. Raises EdwInOutError when a file cannot be written.
    void Restore(std::span<const std::int32_t> handles, bool durable) const;

    // Creates the journal complete; with Durable it has reached the disk when this returns.
    // Raises EdwFileCreateError when the file cannot be made, EdwInOutError when it cannot be
    // written, and leaves no journal.
    void Write(bool durable);
    // The flush landed: the journal goes. False when it could not be deleted.
    bool Erase();

    // What a journal found beside a table came to.
    enum class TRollBack {
        kNone,        // there was none
        kIgnored,     // torn or damaged: its flush never began, and it was deleted
        kRolledBack,  // every file is as before its flush, and the journal was deleted
    };
    // The handle the caller already holds open for writing on a file a journal names, or -1
    // to have the file opened (a file opened exclusively admits no second handle).
    using TOpenFile = std::function<std::int32_t(std::u16string_view fileName)>;
    // Puts the files a complete journal names back as they were before its flush. A failure
    // while writing them raises EdwInOutError and keeps the journal for the next attempt; no
    // file is written unless every one can be reached. The caller makes sure that the
    // journal's writer is gone.
    // Whether a complete journal lies there: files that would have to be put back first.
    static bool IsComplete(TdwFileSystem& fileSystem, std::u16string_view journalName);
    static TRollBack RollBack(TdwFileSystem& fileSystem, std::u16string_view journalName,
                              bool durable, const TOpenFile& openFile = {});

private:
    TdwFileSystem& FFileSystem;
    std::u16string FName;
    std::vector<std::byte> FBody;  // the files and pages as they will be stored
    std::int32_t FFileCount = 0;
    std::int32_t FPageCount = 0;
};

}  // namespace tdb
