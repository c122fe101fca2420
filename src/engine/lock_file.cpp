// The lock file works on raw handles of the file system, never through a stream: a stream closes
// its handle after a short read, and closing drops every byte-range lock of the handle, which
// would make this session look dead to everybody else.
#include "engine/lock_file.h"

#include <algorithm>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/random.h"
#include "storage/file_system.h"
#include "types/code_page.h"

namespace tdb {

namespace {

constexpr std::int32_t kOpenMode = platform::kAccessReadWrite | platform::kShareDenyNone;
constexpr std::int64_t kHeaderSize = static_cast<std::int64_t>(TTdbTableLockData::kSize);
constexpr std::int64_t kEntrySize = static_cast<std::int64_t>(TTdbSessionLockData::kSize);
// Everything of an entry but its vital-sign byte, which only its owner's lock speaks for.
constexpr std::size_t kEntryBody = TTdbSessionLockData::kVitalSignOffset;
constexpr std::size_t kNameOffset = 8;
constexpr std::size_t kTableLockOffset = 49;
constexpr std::size_t kDesiredLockOffset = 50;
constexpr std::size_t kEditRecNoOffset = 51;
constexpr std::int64_t kMovePairSize = 8;

// A file that is being created by another process is held exclusively for a moment.
constexpr int kOpenAttempts = 50;
constexpr std::uint32_t kOpenRetryMs = 20;

std::int64_t EntryPos(std::int32_t index) {
    return kHeaderSize + kEntrySize * index;
}

std::int64_t VitalSignPos(std::int32_t index) {
    return EntryPos(index) + static_cast<std::int64_t>(TTdbSessionLockData::kVitalSignOffset);
}

// Station names are stored in the Western ANSI code page whatever the machine's locale, so that
// every station reads the same names.
const TCodePage& StationCodePage() {
    static const TCodePage codePage(1252);
    return codePage;
}

std::string StationNameToAnsi(std::u16string_view name) {
    const TCodePage& codePage = StationCodePage();
    std::string ansi;
    for (std::size_t i = 0; i < name.size() && ansi.size() < TTdbSessionLockData::kMaxName; ++i) {
        const char16_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] <= 0xDFFF) {
            ++i;  // one character, one substitute
            ansi += '?';
            continue;
        }
        char byte = '?';
        if (c < 0x80) {
            byte = static_cast<char>(c);
        } else {
            for (unsigned b = 0x80; b <= 0xFF; ++b) {
                if (codePage.WidenByte(static_cast<unsigned char>(b)) == c) {
                    byte = static_cast<char>(b);
                    break;
                }
            }
        }
        ansi += byte;
    }
    return ansi;
}

std::u16string StationNameToWide(std::string_view ansi) {
    const TCodePage& codePage = StationCodePage();
    std::u16string wide;
    wide.reserve(ansi.size());
    for (char c : ansi)
        wide += codePage.WidenByte(static_cast<unsigned char>(c));
    return wide;
}

// Counts never go below zero, whatever a damaged file says.
void Decrement(std::uint16_t& count) {
    if (count > 0)
        --count;
}

std::u16string DirectoryOf(std::u16string_view fileName) {
    const std::size_t slash = fileName.find_last_of(u"/\\");
    return slash == std::u16string_view::npos ? std::u16string()
                                              : std::u16string(fileName.substr(0, slash));
}

// A count taken from a damaged file may stand at the top of its range: it wraps instead of
// overflowing, and a change is told by a count that differs, so the wrap still shows as one.
std::int64_t NextChangeCount(std::int64_t count) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(count) + 1);
}

// The file system says with exceptions of its own when it cannot tell a size or cut a file; for
// the lock and the move file that is the same failure as a read that comes back short.
std::int64_t FileSizeOf(TdwFileSystem& fileSystem, std::int32_t handle) {
    try {
        return fileSystem.GetFileSize(handle);
    } catch (const ETdbEngine&) {
        throw;
    } catch (const std::exception&) {
        RaiseEngineError(kTdbErrLogin);
    }
}

void CutFile(TdwFileSystem& fileSystem, std::int32_t handle, std::int64_t size) {
    try {
        fileSystem.SetFileSize(handle, size);
    } catch (const ETdbEngine&) {
        throw;
    } catch (const std::exception&) {
        RaiseEngineError(kTdbErrLogin);
    }
}

bool IsMissing(std::int32_t error) {
    return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
}

}  // namespace

// ---- Images ----

void TTdbTableLockData::Load(std::span<const std::byte, kSize> image) {
    const std::byte* p = image.data();
    Tag = LoadLE<std::uint32_t>(p + 0);
    Version = LoadLE<std::uint16_t>(p + 4);
    ChangeCount = LoadLE<std::int64_t>(p + 6);
    IndexCount = LoadLE<std::uint16_t>(p + 14);
    ReadLocks = LoadLE<std::uint16_t>(p + 16);
    UpgradeLocks = LoadLE<std::uint16_t>(p + 18);
    WriteLocks = LoadLE<std::uint16_t>(p + 20);
    LockWaiters = LoadLE<std::uint16_t>(p + 22);
    WriteWaiters = LoadLE<std::uint16_t>(p + 24);
    ItemCount = LoadLE<std::uint16_t>(p + 26);
    SessionCount = LoadLE<std::uint16_t>(p + 28);
}

void TTdbTableLockData::Store(std::span<std::byte, kSize> image) const {
    std::byte* p = image.data();
    StoreLE(p + 0, Tag);
    StoreLE(p + 4, Version);
    StoreLE(p + 6, ChangeCount);
    StoreLE(p + 14, IndexCount);
    StoreLE(p + 16, ReadLocks);
    StoreLE(p + 18, UpgradeLocks);
    StoreLE(p + 20, WriteLocks);
    StoreLE(p + 22, LockWaiters);
    StoreLE(p + 24, WriteWaiters);
    StoreLE(p + 26, ItemCount);
    StoreLE(p + 28, SessionCount);
}

void TTdbSessionLockData::Load(std::span<const std::byte, kSize> image) {
    const std::byte* p = image.data();
    Id = LoadLE<std::uint64_t>(p);
    const std::size_t length =
        std::min<std::size_t>(std::to_integer<std::size_t>(p[kNameOffset]), kMaxName);
    Name.assign(reinterpret_cast<const char*>(p + kNameOffset + 1), length);
    TableLock = std::to_integer<std::uint8_t>(p[kTableLockOffset]);
    DesiredLock = std::to_integer<std::uint8_t>(p[kDesiredLockOffset]);
    EditRecNo = LoadLE<std::int32_t>(p + kEditRecNoOffset);
    VitalSign = std::to_integer<std::uint8_t>(p[kVitalSignOffset]);
}

void TTdbSessionLockData::Store(std::span<std::byte, kSize> image) const {
    std::byte* p = image.data();
    std::fill(image.begin(), image.end(), std::byte{0});
    StoreLE(p, Id);
    const std::size_t length = std::min(Name.size(), kMaxName);
    p[kNameOffset] = static_cast<std::byte>(length);
    std::copy_n(reinterpret_cast<const std::byte*>(Name.data()), length, p + kNameOffset + 1);
    p[kTableLockOffset] = static_cast<std::byte>(TableLock);
    p[kDesiredLockOffset] = static_cast<std::byte>(DesiredLock);
    StoreLE(p + kEditRecNoOffset, EditRecNo);
    p[kVitalSignOffset] = static_cast<std::byte>(VitalSign);
}

// ---- Names ----

std::u16string TTdbLockFile::LockFileName(std::u16string_view baseFileName, std::int16_t tableLevel,
                                          bool isRelTable) {
    std::u16string name(baseFileName);
    name += tableLevel >= 6 ? u".tdbl" : (isRelTable ? u".rnt" : u".net");
    return name;
}

std::u16string TTdbLockFile::MoveFileName(std::u16string_view baseFileName, std::int16_t tableLevel,
                                          bool isRelTable) {
    // The extension is replaced: only a dot in the last path element starts one.
    std::u16string name(baseFileName);
    const std::size_t dot = name.find_last_of(u'.');
    const std::size_t slash = name.find_last_of(u"/\\");
    if (dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash))
        name.resize(dot);
    name += tableLevel >= 6 ? u".tdbv" : (isRelTable ? u".rmv" : u".mov");
    return name;
}

// ---- Life ----

TTdbLockFile::TTdbLockFile(TdwFileSystem& fileSystem) : FFileSystem(fileSystem) {}

TTdbLockFile::~TTdbLockFile() {
    LogOut();
}

void TTdbLockFile::SleepRandom() const {
    platform::Sleep(2 + platform::Random(5));
}

// ---- The mutex ----

void TTdbLockFile::LockMutex() {
    if (!TdwFileSystem::IsValidHandle(FNetFile))
        RaiseEngineError(kTdbErrLogin);
    for (std::int32_t attempt = 0;; ++attempt) {
        const std::int32_t result = FFileSystem.LockFile(FNetFile, 0, 4, true);
        if (result == 1)
            break;
        if (result < 0)
            RaiseEngineError(kTdbErrLogin);
        if (attempt + 1 >= FWaitAttempts)
            RaiseEngineError(kTdbErrTableLocked);
        SleepRandom();
    }
    FEntered = 1;
}

void TTdbLockFile::Enter() {
    if (FEntered > 0) {
        ++FEntered;
        return;
    }
    LockMutex();
    try {
        ReadHeader();
        if (LoggedIn()) {
            // Others change only the record number of the own entry (a record that moved);
            // the rest stays as this session wrote it.
            std::array<std::byte, TTdbSessionLockData::kSize> image{};
            if (ReadEntryImage(FSessionDataPos, image))
                FSessionLockData.EditRecNo = LoadLE<std::int32_t>(image.data() + kEditRecNoOffset);
        }
    } catch (...) {
        Leave();
        throw;
    }
}

void TTdbLockFile::Leave() noexcept {
    if (FEntered <= 0)
        return;
    if (--FEntered == 0)
        FFileSystem.UnlockFile(FNetFile, 0, 4, true);
}

// Leaves on every way out of a scope that entered.
class TTdbLockFile::TEnteredScope {
public:
    explicit TEnteredScope(TTdbLockFile& lockFile) : FLockFile(lockFile) { FLockFile.Enter(); }
    ~TEnteredScope() { FLockFile.Leave(); }
    TEnteredScope(const TEnteredScope&) = delete;
    TEnteredScope& operator=(const TEnteredScope&) = delete;

private:
    TTdbLockFile& FLockFile;
};

// ---- Header and entries ----

void TTdbLockFile::ReadHeader() {
    std::array<std::byte, TTdbTableLockData::kSize> image{};
    if (FileSizeOf(FFileSystem, FNetFile) < kHeaderSize ||
        FFileSystem.FileRead(FNetFile, 0, image) != static_cast<std::int32_t>(image.size()))
        RaiseEngineError(kTdbErrLogin);
    FTableLockData.Load(image);
}

void TTdbLockFile::WriteHeader() {
    std::array<std::byte, TTdbTableLockData::kSize> image{};
    FTableLockData.Store(image);
    if (FFileSystem.FileWrite(FNetFile, 0, image) != static_cast<std::int32_t>(image.size()))
        RaiseEngineError(kTdbErrLogin);
}

bool TTdbLockFile::ReadEntryImage(std::int32_t index,
                                  std::array<std::byte, TTdbSessionLockData::kSize>& image) {
    image.fill(std::byte{0});
    // Nothing is read past the end of the file while locks are held.
    if (FileSizeOf(FFileSystem, FNetFile) < EntryPos(index) + static_cast<std::int64_t>(kEntryBody))
        return false;
    // The vital-sign byte is never read: it may be locked, and only the lock says anything.
    const std::span<std::byte> body(image.data(), kEntryBody);
    return FFileSystem.FileRead(FNetFile, EntryPos(index), body) ==
           static_cast<std::int32_t>(kEntryBody);
}

void TTdbLockFile::ReadEntry(std::int32_t index, TTdbSessionLockData& entry) {
    std::array<std::byte, TTdbSessionLockData::kSize> image{};
    // An entry the file no longer holds keeps what is known of it; the session check cuts
    // such files back to their whole entries.
    if (ReadEntryImage(index, image)) {
        const std::uint8_t vitalSign = entry.VitalSign;  // not read: only its lock counts
        entry.Load(image);
        entry.VitalSign = vitalSign;
    }
}

void TTdbLockFile::WriteEntry(std::int32_t index, const TTdbSessionLockData& entry,
                              bool withVitalSign) {
    std::array<std::byte, TTdbSessionLockData::kSize> image{};
    entry.Store(image);
    const std::size_t length = withVitalSign ? image.size() : kEntryBody;
    const std::span<const std::byte> data(image.data(), length);
    if (FFileSystem.FileWrite(FNetFile, EntryPos(index), data) != static_cast<std::int32_t>(length))
        RaiseEngineError(kTdbErrLogin);
}

void TTdbLockFile::WriteOwnEntry() {
    WriteEntry(FSessionDataPos, FSessionLockData, false);
}

// ---- Session check ----

bool TTdbLockFile::IsEntryAlive(std::int32_t index) {
    // Our own handle never probes its own byte: the platform refuses overlaps on one handle,
    // and elsewhere a try-and-unlock through the owner would drop the owner's lock.
    if (index == FSessionDataPos)
        return true;
    const std::int64_t pos = VitalSignPos(index);
    const std::int32_t result = FFileSystem.LockFile(FNetFile, pos, pos + 1, true);
    if (result == 1) {
        FFileSystem.UnlockFile(FNetFile, pos, pos + 1, true);
        return false;
    }
    // Refused, or the probe failed: an entry is only wiped when its death is certain.
    return true;
}

bool TTdbLockFile::CheckSessions() {
    const std::int64_t fileSize = FileSizeOf(FFileSystem, FNetFile);
    TTdbTableLockData counted = FTableLockData;
    counted.ReadLocks = 0;
    counted.UpgradeLocks = 0;
    counted.WriteLocks = 0;
    counted.LockWaiters = 0;
    counted.WriteWaiters = 0;
    counted.SessionCount = 0;
    bool deadFound = false;
    bool writerGone = false;
    bool corrected = false;
    std::array<std::byte, TTdbSessionLockData::kSize> image{};
    for (std::int32_t i = 0; i < counted.ItemCount; ++i) {
        if (fileSize < EntryPos(i + 1)) {
            // A file cut short (or a count that is simply wrong) ends at its last whole entry.
            const std::int64_t whole =
                std::max<std::int64_t>(fileSize - kHeaderSize, 0) / kEntrySize;
            counted.ItemCount = static_cast<std::uint16_t>(whole);
            CutFile(FFileSystem, FNetFile, EntryPos(counted.ItemCount));
            break;
        }
        if (!ReadEntryImage(i, image))
            RaiseEngineError(kTdbErrLogin);
        if (LoadLE<std::uint64_t>(image.data()) == 0)
            continue;
        const auto tableLock = std::to_integer<std::uint8_t>(image[kTableLockOffset]);
        const auto desiredLock = std::to_integer<std::uint8_t>(image[kDesiredLockOffset]);
        if (!IsEntryAlive(i)) {
            if (tableLock == tltUpgrade || tableLock == tltWrite)
                writerGone = true;
            std::array<std::byte, TTdbSessionLockData::kSize> zeros{};
            if (FFileSystem.FileWrite(FNetFile, EntryPos(i),
                                      std::span<const std::byte>(zeros.data(), kEntryBody)) !=
                static_cast<std::int32_t>(kEntryBody))
                RaiseEngineError(kTdbErrLogin);
            deadFound = true;
            continue;
        }
        ++counted.SessionCount;
        if (desiredLock != tltNone)
            ++counted.LockWaiters;
        if (desiredLock == tltWrite)
            ++counted.WriteWaiters;
        switch (tableLock) {
            case tltNone:
                break;
            case tltRead:
                if (counted.WriteLocks > 0)
                    RaiseEngineError(kTdbErrNetwork, {u"net file contains read and write locks"});
                ++counted.ReadLocks;
                break;
            case tltUpgrade:
                if (counted.UpgradeLocks > 0 || counted.WriteLocks > 0)
                    RaiseEngineError(kTdbErrNetwork,
                                     {u"net file contains upgrade and write locks"});
                ++counted.UpgradeLocks;
                break;
            case tltWrite:
                if (counted.ReadLocks > 0)
                    RaiseEngineError(kTdbErrNetwork, {u"net file contains read and write locks"});
                if (counted.UpgradeLocks > 0 || counted.WriteLocks > 0)
                    RaiseEngineError(kTdbErrNetwork,
                                     {u"net file contains upgrade and write locks"});
                ++counted.WriteLocks;
                break;
            default:
                // No session ever writes another level: the file was written by something else.
                RaiseEngineError(kTdbErrNetwork, {u"net file contains an unknown lock level"});
        }
    }
    // What a dead writer left in the table must be re-read by everybody, and so must what a
    // writer changed whose release reached its entry but not the header.
    if (writerGone || counted.UpgradeLocks < FTableLockData.UpgradeLocks ||
        counted.WriteLocks < FTableLockData.WriteLocks)
        counted.ChangeCount = NextChangeCount(counted.ChangeCount);
    if (counted.ReadLocks != FTableLockData.ReadLocks ||
        counted.UpgradeLocks != FTableLockData.UpgradeLocks ||
        counted.WriteLocks != FTableLockData.WriteLocks ||
        counted.LockWaiters != FTableLockData.LockWaiters ||
        counted.WriteWaiters != FTableLockData.WriteWaiters ||
        counted.SessionCount != FTableLockData.SessionCount ||
        counted.ItemCount != FTableLockData.ItemCount ||
        counted.ChangeCount != FTableLockData.ChangeCount) {
        FTableLockData = counted;
        WriteHeader();
        corrected = true;
    }
    if (deadFound && FOnHijack)
        FOnHijack();
    return deadFound || corrected;
}

// ---- Login and logout ----

std::int32_t TTdbLockFile::OpenOrCreateLockFile() {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (attempt > 0)
            platform::Sleep(kOpenRetryMs);
        const std::int32_t handle = FFileSystem.OpenFile(FFileName, kOpenMode);
        if (TdwFileSystem::IsValidHandle(handle))
            return handle;
        const std::int32_t openError = FFileSystem.GetLastError();
        if (openError == platform::kErrorSharingViolation)
            continue;  // being created elsewhere: it is let in as soon as its header stands
        if (!IsMissing(openError))
            RaiseEngineError(kTdbErrLogin);
        const std::u16string directory = DirectoryOf(FFileName);
        if (!directory.empty() && !FFileSystem.ForcePath(directory))
            RaiseEngineError(kTdbErrNoWriteAccess, {FFileName});
        const std::int32_t created = FFileSystem.CreateFile(FFileName);
        if (!TdwFileSystem::IsValidHandle(created)) {
            if (FFileSystem.GetLastError() == platform::kErrorSharingViolation)
                continue;  // somebody else created it just now
            RaiseEngineError(kTdbErrNoWriteAccess, {FFileName});
        }
        std::array<std::byte, TTdbTableLockData::kSize> image{};
        TTdbTableLockData().Store(image);
        // Others are let in only once the header stands, so nobody ever sees an empty file.
        if (FFileSystem.FileWrite(created, 0, image) != static_cast<std::int32_t>(image.size())) {
            FFileSystem.CloseFile(created);
            FFileSystem.DeleteFile(FFileName);
            RaiseEngineError(kTdbErrNoWriteAccess, {FFileName});
        }
        if (!FFileSystem.RelaxShareMode(created, kOpenMode)) {
            FFileSystem.CloseFile(created);
            RaiseEngineError(kTdbErrLogin);
        }
        return created;
    }
    RaiseEngineError(kTdbErrLogin);
}

std::int32_t TTdbLockFile::OpenOrCreateMoveFile() {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (attempt > 0)
            platform::Sleep(kOpenRetryMs);
        const std::int32_t handle = FFileSystem.OpenFile(FMoveFileName, kOpenMode);
        if (TdwFileSystem::IsValidHandle(handle))
            return handle;
        if (!IsMissing(FFileSystem.GetLastError()))
            continue;
        // Emptying a file nobody has open loses nothing: every session that could still read
        // pairs from it keeps it open.
        const std::int32_t created = FFileSystem.CreateFile(FMoveFileName);
        if (!TdwFileSystem::IsValidHandle(created))
            continue;
        if (FFileSystem.RelaxShareMode(created, kOpenMode))
            return created;
        FFileSystem.CloseFile(created);
    }
    RaiseEngineError(kTdbErrLogin);
}

void TTdbLockFile::CloseFiles() noexcept {
    if (TdwFileSystem::IsValidHandle(FMovFile))
        FFileSystem.CloseFile(FMovFile);
    if (TdwFileSystem::IsValidHandle(FNetFile))
        FFileSystem.CloseFile(FNetFile);
    FMovFile = -1;
    FNetFile = -1;
    FEntered = 0;
    FExclusiveHeld = false;
    FSessionDataPos = -1;
    FOwnMoves.clear();
}

void TTdbLockFile::LogIn(std::u16string_view baseFileName, std::int16_t tableLevel,
                         bool isRelTable) {
    if (LoggedIn() || TdwFileSystem::IsValidHandle(FNetFile))
        LogOut();
    FFileName = LockFileName(baseFileName, tableLevel, isRelTable);
    FMoveFileName = MoveFileName(baseFileName, tableLevel, isRelTable);
    if (FSessionId == 0) {
        // An entry with id 0 is a free one: a session without a station number would be
        // overwritten by the next login.
        while (FSessionId == 0)
            FSessionId = (std::uint64_t{platform::Random(0xFFFFFFFFu)} << 32) |
                         platform::Random(0xFFFFFFFFu);
    }
    FNetFile = OpenOrCreateLockFile();
    try {
        LockMutex();
        if (FileSizeOf(FFileSystem, FNetFile) == 0) {
            // Its creator died before writing the header; nobody can have used it.
            FTableLockData = TTdbTableLockData();
            WriteHeader();
        }
        ReadHeader();
        if (FTableLockData.Tag != TTdbTableLockData::kTag ||
            FTableLockData.Version != TTdbTableLockData::kVersion) {
            CloseFiles();
            RaiseEngineError(kTdbErrInvalidLockFile, {FFileName});
        }
        CheckSessions();

        TTdbSessionLockData entry;
        entry.Id = FSessionId;
        entry.Name = StationNameToAnsi(FSessionName);
        entry.VitalSign = 255;
        std::int32_t index = -1;
        std::array<std::byte, TTdbSessionLockData::kSize> image{};
        for (std::int32_t i = 0; i < FTableLockData.ItemCount && index < 0; ++i) {
            if (!ReadEntryImage(i, image) || LoadLE<std::uint64_t>(image.data()) != 0)
                continue;
            const std::int64_t pos = VitalSignPos(i);
            if (FFileSystem.LockFile(FNetFile, pos, pos + 1, true) == 1)
                index = i;
        }
        bool appended = false;
        if (index < 0) {
            if (FTableLockData.ItemCount >= 0xFFFF)
                RaiseEngineError(kTdbErrLogin);
            index = FTableLockData.ItemCount;
            const std::int64_t pos = VitalSignPos(index);
            if (FFileSystem.LockFile(FNetFile, pos, pos + 1, true) != 1)
                RaiseEngineError(kTdbErrLogin);
            appended = true;
        }
        try {
            WriteEntry(index, entry, true);
            if (appended)
                ++FTableLockData.ItemCount;
            ++FTableLockData.SessionCount;
            WriteHeader();
        } catch (...) {
            const std::int64_t pos = VitalSignPos(index);
            FFileSystem.UnlockFile(FNetFile, pos, pos + 1, true);
            throw;
        }
        FSessionDataPos = index;
        FSessionLockData = entry;
        FTableLock = tltNone;
        FChangeCount = 0;
        Leave();
    } catch (...) {
        CloseFiles();
        throw;
    }
    try {
        FMovFile = OpenOrCreateMoveFile();
        // Pairs stand at multiples of 8; one still being written at this moment is read
        // once complete.
        const std::int64_t end = FileSizeOf(FFileSystem, FMovFile);
        FMovePos = end - end % kMovePairSize;
    } catch (...) {
        LogOut();
        throw;
    }
}

void TTdbLockFile::LogOut() noexcept {
    if (!LoggedIn()) {
        CloseFiles();
        return;
    }
    bool last = false;
    try {
        Enter();
        try {
            const std::int64_t pos = VitalSignPos(FSessionDataPos);
            FFileSystem.UnlockFile(FNetFile, pos, pos + 1, true);
            if (FSessionLockData.TableLock == tltUpgrade || FSessionLockData.TableLock == tltWrite)
                // as if released first
                FTableLockData.ChangeCount = NextChangeCount(FTableLockData.ChangeCount);
            TTdbSessionLockData cleared;
            WriteEntry(FSessionDataPos, cleared, false);
            Decrement(FTableLockData.SessionCount);
            WriteHeader();
            FSessionDataPos = -1;
            CheckSessions();
            last = FTableLockData.SessionCount == 0;
        } catch (...) {
        }
    } catch (...) {
        // Not entered: the entry stays, and the vital sign that goes with the handle marks it
        // dead for the next session check.
    }
    CloseFiles();
    FTableLock = tltNone;
    FSessionLockData = TTdbSessionLockData();
    if (last) {
        // Refused when somebody opened them meanwhile: they are theirs then.
        FFileSystem.DeleteFile(FFileName);
        FFileSystem.DeleteFile(FMoveFileName);
    }
}

// ---- Table locks ----

void TTdbLockFile::CountChange() {
    // The own release is not a foreign change; a foreign change not yet seen stays visible.
    if (FChangeCount == FTableLockData.ChangeCount)
        FChangeCount = NextChangeCount(FTableLockData.ChangeCount);
    FTableLockData.ChangeCount = NextChangeCount(FTableLockData.ChangeCount);
}

// A lock change alters only the level in the own entry, never its name.
struct TTdbLockFile::TLevelState {
    TTdbTableLockData Header;
    std::uint8_t EntryLock;
    TTdbTableLockType Lock;
    std::int64_t ChangeCount;
};

TTdbLockFile::TLevelState TTdbLockFile::SaveLevel() const {
    return {FTableLockData, FSessionLockData.TableLock, FTableLock, FChangeCount};
}

void TTdbLockFile::RestoreLevel(const TLevelState& state) {
    FTableLockData = state.Header;
    FSessionLockData.TableLock = state.EntryLock;
    FTableLock = state.Lock;
    FChangeCount = state.ChangeCount;
}

// The session check counts the levels from the entries, so the entry goes first. When the
// header cannot follow, a lock is given back, since the header is what keeps others out; a
// release stands as the entry tells it, and the next session check recounts the header and
// counts the change it missed.
void TTdbLockFile::WriteLevel(const TLevelState& before, bool releasing) {
    try {
        WriteOwnEntry();
    } catch (...) {
        RestoreLevel(before);
        throw;
    }
    try {
        WriteHeader();
    } catch (...) {
        if (!releasing) {
            RestoreLevel(before);
            try {
                WriteOwnEntry();
            } catch (...) {
                // The entry claims a lock nobody uses until this session logs out.
            }
        }
        throw;
    }
}

bool TTdbLockFile::TryLockTable(TTdbTableLockType fromLock, TTdbTableLockType toLock) {
    TTdbTableLockData& h = FTableLockData;
    if (fromLock == toLock)
        return true;
    const TLevelState before = SaveLevel();
    switch (toLock) {
        case tltRead:
            if (fromLock != tltNone || h.WriteLocks > 0 || h.WriteWaiters > 0)
                return false;
            BeforeFirstLock(fromLock);
            ++h.ReadLocks;
            break;
        case tltUpgrade:
            if (fromLock > tltRead || h.UpgradeLocks > 0 || h.WriteLocks > 0)
                return false;
            BeforeFirstLock(fromLock);
            if (fromLock == tltRead)
                Decrement(h.ReadLocks);
            h.UpgradeLocks = 1;
            break;
        case tltWrite: {
            const int held = h.ReadLocks + h.UpgradeLocks + h.WriteLocks;
            if (held > (fromLock == tltNone ? 0 : 1) || fromLock > tltUpgrade)
                return false;
            BeforeFirstLock(fromLock);
            if (fromLock == tltRead)
                Decrement(h.ReadLocks);
            if (fromLock == tltUpgrade) {
                h.UpgradeLocks = 0;
                CountChange();
            }
            h.WriteLocks = 1;
            break;
        }
        default:
            return false;
    }
    FSessionLockData.TableLock = toLock;
    FTableLock = toLock;
    WriteLevel(before, false);
    return true;
}

// Nobody holds the table for writing at this point, and nobody can take it while the mutex is
// held: what a writer left half done may be repaired before this session reads a byte.
void TTdbLockFile::BeforeFirstLock(TTdbTableLockType fromLock) {
    if (fromLock == tltNone && FOnFirstLock)
        FOnFirstLock();
}

void TTdbLockFile::SetWaiting(TTdbTableLockType toLock, bool waiting) {
    FSessionLockData.DesiredLock = waiting ? toLock : tltNone;
    if (waiting) {
        ++FTableLockData.LockWaiters;
        if (toLock == tltWrite)
            ++FTableLockData.WriteWaiters;
    } else {
        Decrement(FTableLockData.LockWaiters);
        if (toLock == tltWrite)
            Decrement(FTableLockData.WriteWaiters);
    }
    WriteOwnEntry();
    WriteHeader();
}

bool TTdbLockFile::LockTable(TTdbTableLockType fromLock, TTdbTableLockType toLock, bool immediate) {
    TEnteredScope entered(*this);
    if (TryLockTable(fromLock, toLock))
        return true;
    if (immediate)
        return false;
    SetWaiting(toLock, true);
    bool locked = false;
    try {
        for (std::int32_t attempt = 0; attempt < FWaitAttempts && !locked; ++attempt) {
            Leave();
            SleepRandom();
            Enter();
            locked = TryLockTable(fromLock, toLock);
            // A holder that died keeps its lock counted until a session check clears it:
            // looking now and then spares the waiter the whole time-out.
            if (!locked && (attempt + 1) % kDeadCheckAttempts == 0 && CheckSessions())
                locked = TryLockTable(fromLock, toLock);
        }
        if (!locked && CheckSessions())
            locked = TryLockTable(fromLock, toLock);
    } catch (...) {
        // Take the announcement back if the file can still be entered at all; otherwise the
        // entry keeps it until this session logs out.
        try {
            if (FEntered == 0)
                Enter();
            SetWaiting(toLock, false);
        } catch (...) {
        }
        throw;
    }
    SetWaiting(toLock, false);
    return locked;
}

void TTdbLockFile::UnlockTable(TTdbTableLockType fromLock, TTdbTableLockType toLock) {
    TEnteredScope entered(*this);
    TTdbTableLockData& h = FTableLockData;
    const TLevelState before = SaveLevel();
    switch (fromLock) {
        case tltRead:
            Decrement(h.ReadLocks);
            break;
        case tltUpgrade:
            h.UpgradeLocks = 0;
            CountChange();
            break;
        case tltWrite:
            h.WriteLocks = 0;
            CountChange();
            break;
        default:
            break;
    }
    switch (toLock) {
        case tltRead:
            ++h.ReadLocks;
            break;
        case tltUpgrade:
            h.UpgradeLocks = 1;
            break;
        case tltWrite:
            h.WriteLocks = 1;
            break;
        default:
            break;
    }
    FSessionLockData.TableLock = toLock <= tltWrite ? toLock : tltNone;
    FTableLock = static_cast<TTdbTableLockType>(FSessionLockData.TableLock);
    WriteLevel(before, true);
}

bool TTdbLockFile::LockExclusive() {
    if (FExclusiveHeld)
        return true;
    Enter();
    try {
        CheckSessions();
        if (FTableLockData.SessionCount != 1) {
            Leave();
            return false;
        }
        BeforeFirstLock(tltNone);
    } catch (...) {
        Leave();
        throw;
    }
    FExclusiveHeld = true;
    return true;
}

void TTdbLockFile::UnlockExclusive() {
    if (!FExclusiveHeld)
        return;
    FExclusiveHeld = false;
    Leave();
}

bool TTdbLockFile::CheckUpdate() {
    TEnteredScope entered(*this);
    // Nobody ever sees more changes than the file counts: any other count is news.
    return FChangeCount != FTableLockData.ChangeCount;
}

// ---- Record locks ----

bool TTdbLockFile::TryLockRecord(std::int32_t recNo) {
    if (FTableLockData.WriteLocks > 0 && FTableLock != tltWrite)
        return false;
    const std::int64_t fileSize = FileSizeOf(FFileSystem, FNetFile);
    std::array<std::byte, TTdbSessionLockData::kSize> image{};
    for (std::int32_t i = 0; i < FTableLockData.ItemCount && EntryPos(i + 1) <= fileSize; ++i) {
        if (i == FSessionDataPos || !ReadEntryImage(i, image))
            continue;
        if (LoadLE<std::int32_t>(image.data() + kEditRecNoOffset) == recNo)
            return false;
    }
    FSessionLockData.EditRecNo = recNo;
    WriteOwnEntry();
    return true;
}

bool TTdbLockFile::LockRecord(std::int32_t recNo) {
    // 0 marks "no record" in every entry: it can never be locked.
    if (recNo <= 0)
        return false;
    TEnteredScope entered(*this);
    if (TryLockRecord(recNo))
        return true;
    Leave();
    SleepRandom();
    Enter();
    if (TryLockRecord(recNo))
        return true;
    return CheckSessions() && TryLockRecord(recNo);
}

void TTdbLockFile::UnlockRecord(std::int32_t recNo) {
    TEnteredScope entered(*this);
    if (FSessionLockData.EditRecNo == 0)
        return;
    (void)recNo;  // a session holds one record lock per table: whichever it is goes
    FSessionLockData.EditRecNo = 0;
    WriteOwnEntry();
}

void TTdbLockFile::SwitchRecordLock(std::int32_t fromRecNo, std::int32_t toRecNo) {
    if (fromRecNo <= 0 || fromRecNo == toRecNo)
        return;
    TEnteredScope entered(*this);
    const std::int64_t fileSize = FileSizeOf(FFileSystem, FNetFile);
    std::array<std::byte, TTdbSessionLockData::kSize> image{};
    for (std::int32_t i = 0; i < FTableLockData.ItemCount && EntryPos(i + 1) <= fileSize; ++i) {
        if (i == FSessionDataPos) {
            if (FSessionLockData.EditRecNo == fromRecNo) {
                FSessionLockData.EditRecNo = toRecNo;
                WriteOwnEntry();
            }
            continue;
        }
        if (!ReadEntryImage(i, image) ||
            LoadLE<std::int32_t>(image.data() + kEditRecNoOffset) != fromRecNo)
            continue;
        StoreLE(image.data() + kEditRecNoOffset, toRecNo);
        if (FFileSystem.FileWrite(FNetFile, EntryPos(i),
                                  std::span<const std::byte>(image.data(), kEntryBody)) !=
            static_cast<std::int32_t>(kEntryBody))
            RaiseEngineError(kTdbErrLogin);
    }
}

// ---- Move file ----

void TTdbLockFile::AddRecordMove(std::int32_t fromRecNo, std::int32_t toRecNo) {
    if (!TdwFileSystem::IsValidHandle(FMovFile))
        RaiseEngineError(kTdbErrLogin);
    // Appends of all sessions go one after the other under the mutex, so pairs never mix.
    TEnteredScope entered(*this);
    const std::int64_t end = FileSizeOf(FFileSystem, FMovFile);
    // A pair cut short by a writer that died is overwritten, so the pairs stay aligned.
    const std::int64_t pos = end - end % kMovePairSize;
    std::array<std::byte, kMovePairSize> pair{};
    StoreLE(pair.data(), toRecNo);
    StoreLE(pair.data() + 4, fromRecNo);
    if (FFileSystem.FileWrite(FMovFile, pos, pair) != static_cast<std::int32_t>(pair.size()))
        RaiseEngineError(kTdbErrLogin);
    if (FMovePos >= pos) {
        FMovePos = pos + kMovePairSize;
    } else {
        // Pairs of others before this one are still unread: only the own one is skipped.
        FOwnMoves.push_back(pos);
    }
}

bool TTdbLockFile::ReadRecordMove(std::int32_t& fromRecNo, std::int32_t& toRecNo) {
    if (!TdwFileSystem::IsValidHandle(FMovFile))
        return false;
    for (;;) {
        const std::int64_t end = FileSizeOf(FFileSystem, FMovFile);
        if (end - FMovePos < kMovePairSize)
            return false;
        const std::int64_t pos = FMovePos;
        std::array<std::byte, kMovePairSize> pair{};
        if (FFileSystem.FileRead(FMovFile, pos, pair) != static_cast<std::int32_t>(pair.size()))
            return false;
        FMovePos = pos + kMovePairSize;
        const auto own = std::find(FOwnMoves.begin(), FOwnMoves.end(), pos);
        if (own != FOwnMoves.end()) {
            FOwnMoves.erase(own);
            continue;
        }
        toRecNo = LoadLE<std::int32_t>(pair.data());
        fromRecNo = LoadLE<std::int32_t>(pair.data() + 4);
        return true;
    }
}

// ---- Header fields and usage ----

void TTdbLockFile::WriteIndexCount(std::int16_t indexCount) {
    TEnteredScope entered(*this);
    FTableLockData.IndexCount = static_cast<std::uint16_t>(indexCount);
    WriteHeader();
}

void TTdbLockFile::GetLockInfo(TTdbTableUsage& usage) {
    usage = TTdbTableUsage();
    if (!LoggedIn()) {
        usage.UserCount = 1;
        return;
    }
    TEnteredScope entered(*this);
    const TTdbTableLockData& h = FTableLockData;
    usage.ItemCount = h.ItemCount;
    usage.UserCount = h.SessionCount;
    usage.ReadCount = h.ReadLocks;
    usage.UpgradeCount = h.UpgradeLocks;
    usage.WriteCount = h.WriteLocks;
    usage.WaitCount = h.LockWaiters;
    usage.WaitWriteCount = h.WriteWaiters;
    usage.UpdateCount = static_cast<std::uint32_t>(h.ChangeCount);
    const std::int64_t fileSize = FileSizeOf(FFileSystem, FNetFile);
    std::array<std::byte, TTdbSessionLockData::kSize> image{};
    for (std::int32_t i = 0; i < h.ItemCount && EntryPos(i + 1) <= fileSize; ++i) {
        if (!ReadEntryImage(i, image))
            break;
        TTdbSessionLockData entry;
        entry.Load(image);
        TTdbTableUsage::TEntry& out = usage.Entries.emplace_back();
        out.StationName = StationNameToWide(entry.Name);
        out.StationNo = entry.Id;
        out.InUse = entry.Id != 0;
        out.Lock = entry.TableLock == tltWrite ? std::int8_t{-1}
                                               : static_cast<std::int8_t>(entry.TableLock);
        out.RecNo = entry.EditRecNo;
    }
    usage.ItemCount = static_cast<std::int32_t>(usage.Entries.size());
}

}  // namespace tdb
