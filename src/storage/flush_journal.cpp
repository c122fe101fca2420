#include "storage/flush_journal.h"

#include <array>
#include <exception>
#include <limits>
#include <utility>

#include "base/byte_image.h"
#include "platform/file.h"
#include "storage/file_errors.h"
#include "storage/file_system.h"

namespace tdb {
namespace {

// Layout: "TDBJ", version (4 bytes); then records, each a kind byte:
//   'F' name length in UTF-16 units (4), the name (UTF-16LE), old length (8)
//   'P' file number (4), offset (8), length (4), the original bytes
// and last the trailer: "JEND", the length of everything before it (8), its checksum (8).
constexpr std::uint32_t kMagic = 0x4A424454;    // "TDBJ"
constexpr std::uint32_t kTrailer = 0x444E454A;  // "JEND"
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 20;
constexpr std::byte kFileRecord{'F'};
constexpr std::byte kPageRecord{'P'};
// A journal holds what one flush overwrites, which the page cache bounds far below this; a
// larger file is no journal of ours and is not read into memory.
constexpr std::int64_t kMaxJournalSize = std::int64_t{1} << 31;

constexpr std::int32_t kReadShared = platform::kAccessRead | platform::kShareDenyNone;
constexpr std::int32_t kWriteShared = platform::kAccessReadWrite | platform::kShareDenyNone;

// A checksum of the body in four lanes of eight bytes: a journal torn anywhere (zeros, or older
// bytes where the write did not reach) fails it, and it costs little beside the flush it guards.
constexpr std::uint64_t kMultiplier = 0xFF51AFD7ED558CCDULL;

constexpr std::uint64_t Mix(std::uint64_t hash, std::uint64_t word) {
    hash = (hash ^ word) * kMultiplier;
    return hash ^ (hash >> 29);
}

std::uint64_t Checksum(std::span<const std::byte> bytes) {
    std::uint64_t lanes[4] = {0x9E3779B97F4A7C15ULL ^ bytes.size(), 1, 2, 3};
    const std::byte* at = bytes.data();
    std::size_t left = bytes.size();
    for (; left >= 32; left -= 32, at += 32) {
        for (int lane = 0; lane < 4; ++lane)
            lanes[lane] = Mix(lanes[lane], LoadLE<std::uint64_t>(at + 8 * lane));
    }
    for (; left >= 8; left -= 8, at += 8)
        lanes[0] = Mix(lanes[0], LoadLE<std::uint64_t>(at));
    std::uint64_t last = 0;
    for (std::size_t i = 0; i < left; ++i)
        last |= std::uint64_t{static_cast<std::uint8_t>(at[i])} << (8 * i);
    std::uint64_t hash = Mix(lanes[0], last);
    for (int lane = 1; lane < 4; ++lane)
        hash = Mix(hash, lanes[lane]);
    return Mix(hash, bytes.size());
}

template <typename T>
void Append(std::vector<std::byte>& out, T value) {
    const std::size_t at = out.size();
    out.resize(at + sizeof(T));
    StoreLE<T>(out.data() + at, value);
}

[[noreturn]] void RaiseInOut(TdwFileSystem& fileSystem, std::u16string_view what,
                             std::u16string_view name) {
    std::u16string message(what);
    message += u" \"";
    message += name;
    message += u"\"";
    throw EdwInOutError(std::move(message), fileSystem.GetLastError());
}

// Reads the records of a journal without trusting them: nothing is applied unless all of
// them are sound.
class TReader {
public:
    explicit TReader(std::span<const std::byte> body) : FBody(body) {}

    bool AtEnd() const noexcept { return FAt == FBody.size(); }
    bool Take(std::size_t count, std::span<const std::byte>& bytes) {
        if (count > FBody.size() - FAt) {
            return false;
        }
        bytes = FBody.subspan(FAt, count);
        FAt += count;
        return true;
    }
    template <typename T>
    bool Take(T& value) {
        std::span<const std::byte> bytes;
        if (!Take(sizeof(T), bytes)) {
            return false;
        }
        value = LoadLE<T>(bytes.data());
        return true;
    }

private:
    std::span<const std::byte> FBody;
    std::size_t FAt = 0;
};

struct TJournalFile {
    std::u16string Name;
    std::int64_t OldLength = 0;
    std::int32_t Handle = -1;
};

struct TJournalPage {
    std::uint32_t FileNo = 0;
    std::int64_t Offset = 0;
    std::span<const std::byte> Bytes;
};

bool Parse(std::span<const std::byte> body, std::vector<TJournalFile>& files,
           std::vector<TJournalPage>& pages) {
    TReader reader(body);
    std::uint32_t magic = 0;
    std::uint32_t version = 0;
    if (!reader.Take(magic) || !reader.Take(version) || magic != kMagic || version != kVersion) {
        return false;
    }
    while (!reader.AtEnd()) {
        std::uint8_t kind = 0;
        if (!reader.Take(kind)) {
            return false;
        }
        if (std::byte{kind} == kFileRecord) {
            std::uint32_t length = 0;
            std::span<const std::byte> name;
            TJournalFile file;
            if (!reader.Take(length) || length == 0 ||
                !reader.Take(std::size_t{length} * 2, name) || !reader.Take(file.OldLength) ||
                file.OldLength < 0) {
                return false;
            }
            for (std::size_t i = 0; i < length; ++i) {
                file.Name += static_cast<char16_t>(LoadLE<std::uint16_t>(name.data() + 2 * i));
            }
            files.push_back(std::move(file));
        } else if (std::byte{kind} == kPageRecord) {
            TJournalPage page;
            std::uint32_t length = 0;
            if (!reader.Take(page.FileNo) || !reader.Take(page.Offset) || !reader.Take(length) ||
                page.FileNo >= files.size() || page.Offset < 0 ||
                page.Offset > std::numeric_limits<std::int64_t>::max() - length ||
                !reader.Take(length, page.Bytes)) {
                return false;
            }
            pages.push_back(page);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

TTdbFlushJournal::TTdbFlushJournal(TdwFileSystem& fileSystem, std::u16string journalName)
    : FFileSystem(fileSystem), FName(std::move(journalName)) {
    Append<std::uint32_t>(FBody, kMagic);
    Append<std::uint32_t>(FBody, kVersion);
}

std::int32_t TTdbFlushJournal::AddFile(std::u16string fileName, std::int64_t oldLength) {
    FBody.push_back(kFileRecord);
    Append<std::uint32_t>(FBody, static_cast<std::uint32_t>(fileName.size()));
    for (char16_t c : fileName) {
        Append<std::uint16_t>(FBody, c);
    }
    Append<std::int64_t>(FBody, oldLength);
    return FFileCount++;
}

void TTdbFlushJournal::AddPage(std::int32_t fileNo, std::int64_t offset,
                               std::span<const std::byte> original) {
    FBody.push_back(kPageRecord);
    Append<std::uint32_t>(FBody, static_cast<std::uint32_t>(fileNo));
    Append<std::int64_t>(FBody, offset);
    Append<std::uint32_t>(FBody, static_cast<std::uint32_t>(original.size()));
    FBody.insert(FBody.end(), original.begin(), original.end());
    ++FPageCount;
}

void TTdbFlushJournal::Write(bool durable) {
    std::array<std::byte, kTrailerSize> trailer{};
    StoreLE<std::uint32_t>(trailer.data(), kTrailer);
    StoreLE<std::uint64_t>(trailer.data() + 4, FBody.size());
    StoreLE<std::uint64_t>(trailer.data() + 12, Checksum(FBody));

    const std::int32_t handle = FFileSystem.CreateFile(FName);
    if (handle < 0) {
        throw EdwFileCreateError(u"Cannot create the flush journal \"" + FName + u"\": " +
                                 FFileSystem.GetErrorMessage(FFileSystem.GetLastError()));
    }
    // The body first and the trailer after it: a journal cut short anywhere lacks a sound
    // trailer and is ignored.
    const auto bodySize = static_cast<std::int64_t>(FBody.size());
    bool written = FFileSystem.FileWrite(handle, 0, FBody) == static_cast<std::int32_t>(bodySize);
    written = written && FFileSystem.FileWrite(handle, bodySize, trailer) ==
                             static_cast<std::int32_t>(trailer.size());
    written = written && (!durable || FFileSystem.SyncFile(handle, FName));
    FFileSystem.CloseFile(handle);
    if (!written) {
        FFileSystem.DeleteFile(FName);
        RaiseInOut(FFileSystem, u"Cannot write the flush journal", FName);
    }
}

bool TTdbFlushJournal::Erase() {
    return FFileSystem.DeleteFile(FName);
}

namespace {

// Writes the originals back and gives every file its old length. The files the caller holds
// open are written through its handles; the others are opened here, all before anything is
// written, so that a file that cannot be reached leaves every file untouched.
void PutBack(TdwFileSystem& fileSystem, std::vector<TJournalFile>& files,
             const std::vector<TJournalPage>& pages, bool durable,
             const TTdbFlushJournal::TOpenFile& openFile) {
    std::vector<bool> opened(files.size(), false);
    std::u16string failed;
    bool restored = true;
    for (std::size_t no = 0; no < files.size() && restored; ++no) {
        TJournalFile& file = files[no];
        file.Handle = openFile ? openFile(file.Name) : -1;
        if (file.Handle >= 0)
            continue;
        file.Handle = fileSystem.OpenFile(file.Name, kWriteShared);
        opened[no] = file.Handle >= 0;
        // A file the flush made is gone again: nothing of it needs putting back.
        if (file.Handle < 0 && (file.OldLength > 0 || fileSystem.FileExists(file.Name))) {
            restored = false;
            failed = file.Name;
        }
    }
    for (std::size_t at = 0; at < pages.size() && restored; ++at) {
        const TJournalPage& page = pages[at];
        const TJournalFile& file = files[page.FileNo];
        if (file.Handle >= 0 && fileSystem.FileWrite(file.Handle, page.Offset, page.Bytes) !=
                                    static_cast<std::int32_t>(page.Bytes.size())) {
            restored = false;
            failed = file.Name;
        }
    }
    for (std::size_t no = 0; no < files.size(); ++no) {
        const TJournalFile& file = files[no];
        if (file.Handle < 0)
            continue;
        if (restored) {
            try {
                fileSystem.SetFileSize(file.Handle, file.OldLength);
            } catch (const std::exception&) {
                restored = false;
                failed = file.Name;
            }
        }
        if (restored && durable && !fileSystem.SyncData(file.Handle)) {
            restored = false;
            failed = file.Name;
        }
        if (opened[no])
            fileSystem.CloseFile(file.Handle);
    }
    if (!restored)
        RaiseInOut(fileSystem, u"Cannot roll back the flush journal into", failed);
}

}  // namespace

void TTdbFlushJournal::Restore(std::span<const std::int32_t> handles, bool durable) const {
    std::vector<TJournalFile> files;
    std::vector<TJournalPage> pages;
    Parse(FBody, files, pages);
    PutBack(FFileSystem, files, pages, durable, [&](std::u16string_view name) {
        for (std::size_t no = 0; no < files.size() && no < handles.size(); ++no)
            if (files[no].Name == name)
                return handles[no];
        return std::int32_t{-1};
    });
}

namespace {

enum class TFound { kNone, kUnsound, kSound };

// Reads a journal and checks it whole; Bytes keep what Files and Pages point into.
TFound ReadJournal(TdwFileSystem& fileSystem, std::u16string_view journalName,
                   std::vector<std::byte>& bytes, std::vector<TJournalFile>& files,
                   std::vector<TJournalPage>& pages) {
    const std::int32_t handle = fileSystem.OpenFile(journalName, kReadShared);
    if (handle < 0) {
        return TFound::kNone;
    }
    std::int64_t size = -1;
    try {
        size = fileSystem.GetFileSize(handle);
    } catch (const std::exception&) {
        fileSystem.CloseFile(handle);
        throw;
    }
    bool read =
        size >= static_cast<std::int64_t>(kHeaderSize + kTrailerSize) && size <= kMaxJournalSize;
    if (read) {
        bytes.resize(static_cast<std::size_t>(size));
        read = fileSystem.FileRead(handle, 0, bytes) == static_cast<std::int32_t>(size);
    }
    fileSystem.CloseFile(handle);
    if (!read) {
        return TFound::kUnsound;
    }
    const std::size_t bodySize = bytes.size() - kTrailerSize;
    const std::byte* trailer = bytes.data() + bodySize;
    const std::span<const std::byte> body(bytes.data(), bodySize);
    const bool sound = LoadLE<std::uint32_t>(trailer) == kTrailer &&
                       LoadLE<std::uint64_t>(trailer + 4) == bodySize &&
                       LoadLE<std::uint64_t>(trailer + 12) == Checksum(body) &&
                       Parse(body, files, pages);
    return sound ? TFound::kSound : TFound::kUnsound;
}

}  // namespace

bool TTdbFlushJournal::IsComplete(TdwFileSystem& fileSystem, std::u16string_view journalName) {
    std::vector<std::byte> bytes;
    std::vector<TJournalFile> files;
    std::vector<TJournalPage> pages;
    return ReadJournal(fileSystem, journalName, bytes, files, pages) == TFound::kSound;
}

TTdbFlushJournal::TRollBack TTdbFlushJournal::RollBack(TdwFileSystem& fileSystem,
                                                       std::u16string_view journalName,
                                                       bool durable, const TOpenFile& openFile) {
    std::vector<std::byte> bytes;
    std::vector<TJournalFile> files;
    std::vector<TJournalPage> pages;
    switch (ReadJournal(fileSystem, journalName, bytes, files, pages)) {
        case TFound::kNone:
            return TRollBack::kNone;
        case TFound::kUnsound:
            // Torn while it was written: its flush had not overwritten anything yet.
            fileSystem.DeleteFile(journalName);
            return TRollBack::kIgnored;
        case TFound::kSound:
            break;
    }
    PutBack(fileSystem, files, pages, durable, openFile);
    if (!fileSystem.DeleteFile(journalName))
        RaiseInOut(fileSystem, u"Cannot delete the flush journal", journalName);
    return TRollBack::kRolledBack;
}

}  // namespace tdb
