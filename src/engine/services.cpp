// The services object: last error, the session log with its generations, the private directory,
// the file systems of the open database and the stand-in for a missing expression compiler.
#include "engine/services.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <span>
#include <utility>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/text.h"
#include "storage/file_system.h"
#include "storage/log_file.h"

namespace tdb {

// The open session log. Lines go straight to the file, so every line is on disk once written.
class TTdbSessionLogFile {
public:
    TTdbSessionLogFile(std::u16string fileName, platform::FileHandle handle)
        : FFileName(std::move(fileName)), FHandle(handle) {}
    ~TTdbSessionLogFile() { platform::CloseFile(FHandle); }
    TTdbSessionLogFile(const TTdbSessionLogFile&) = delete;
    TTdbSessionLogFile& operator=(const TTdbSessionLogFile&) = delete;

    const std::u16string& FileName() const noexcept { return FFileName; }

    // A failed write is dropped: the log must never fail the operation it reports.
    void WriteLine(const std::string& line) {
        const auto written = platform::WriteFile(
            FHandle, FPosition, std::as_bytes(std::span(line.data(), line.size())));
        if (written > 0) {
            FPosition += written;
        }
    }

private:
    const std::u16string FFileName;
    const platform::FileHandle FHandle;
    std::int64_t FPosition = 0;
};

namespace {

constexpr std::u16string_view kServicesSubSystem = u"Services";
constexpr std::u16string_view kLogOpened = u"TableDB log file opened";
constexpr std::u16string_view kLogClosed = u"TableDB log file closed";
constexpr std::u16string_view kExpressionsFeature = u"expressions";

constexpr std::size_t kDateTimeWidth = 12;
constexpr std::size_t kSubSystemWidth = 20;

// Day of the month and time to the second ("dd hh:nn:ss", 11 characters): it fits the
// 12-character column and still tells the days of a session that runs past midnight apart.
std::string DateTimeText() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d %02d:%02d:%02d", local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    return text;
}

std::string RightAligned(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.insert(0, width - text.size(), ' ');
    }
    return text;
}

std::string LogLine(int level, std::u16string_view subSystem, std::u16string_view msgText) {
    char levelText[16];
    std::snprintf(levelText, sizeof levelText, "%2d", level);
    std::string line = RightAligned(DateTimeText(), kDateTimeWidth);
    line += levelText;
    line += RightAligned(OneLine(subSystem), kSubSystemWidth);
    line += ' ';
    line += OneLine(msgText);
    line += '\n';
    return line;
}

[[noreturn]] void RaiseNotSupported() {
    RaiseEngineError(kTdbErrNotSupported, {kExpressionsFeature});
}

// What a session without a compiler hands out: the source is kept, so a table definition that
// holds it can still be read, listed and written back, but nothing can be computed from it.
class TUncompiledCalculation final : public TTdbCalculation {
public:
    TUncompiledCalculation(std::u16string_view source, TTdbExpressionSyntax kind)
        : TTdbCalculation(std::u16string(source)), FKind(kind) {}

    TTdbExpressionSyntax GetKind() const override { return FKind; }
    std::unique_ptr<TTdbCalculation> Clone() const override {
        return std::make_unique<TUncompiledCalculation>(*this);
    }
    void Prepare(TTdbRltnIdx, std::uint32_t) override { RaiseNotSupported(); }
    void Unprepare() override {}
    bool IsSame(const TTdbCalculation& other) const override {
        return other.GetKind() == FKind && other.GetSource() == FSource;
    }
    void Calculate(TTdbDataValue&) override { RaiseNotSupported(); }
    void Calculate(TTdbRltnIdx, std::span<const std::byte>, TTdbDataValue&) override {
        RaiseNotSupported();
    }

    TUncompiledCalculation(const TUncompiledCalculation&) = default;

private:
    TTdbExpressionSyntax FKind;
};

class TUncompiledCondition final : public TTdbCondition {
public:
    TUncompiledCondition(std::u16string_view source, TTdbExpressionSyntax kind)
        : TTdbCondition(std::u16string(source)), FKind(kind) {}

    TTdbExpressionSyntax GetKind() const override { return FKind; }
    std::unique_ptr<TTdbCondition> Clone() const override {
        return std::make_unique<TUncompiledCondition>(*this);
    }
    void Prepare(const TTdbRltnIdxSet&, TTdbRltnIdx, std::uint32_t) override {
        RaiseNotSupported();
    }
    void Unprepare() override {}
    TTdbTruthValue Evaluate(TTdbRltnIdxSet&) override { RaiseNotSupported(); }
    TTdbTruthValue Evaluate(TTdbRltnIdx, std::span<const std::byte>) override {
        RaiseNotSupported();
    }
    // No index can serve a condition nobody understands.
    int FindBestIndexAndBounds(TTdbRltnIdx, std::vector<std::byte>&,
                               std::vector<std::byte>&) override {
        return -1;
    }

    TUncompiledCondition(const TUncompiledCondition&) = default;

private:
    TTdbExpressionSyntax FKind;
};

bool IsPathDelimiter(char16_t c) {
    return c == u'/' || c == u'\\';
}

}  // namespace

TTdbServices::TTdbServices(std::int16_t sessionHdl, TTdbPageManager& pageManager)
    : FSessionHdl(sessionHdl), FPageManager(pageManager), FLastError(this) {
    SetPrivateDir(u"");
}

TTdbServices::~TTdbServices() {
    std::lock_guard lock(FLogSync);
    if (FLogFile) {
        FLogFile->WriteLine(LogLine(1, kServicesSubSystem, kLogClosed));
    }
    if (FLockFileSystem) {
        FLockFileSystem->Close();
    }
}

std::u16string TTdbServices::LogGenerationName(int generation) const {
    char name[64];
    std::snprintf(name, sizeof name, "TdbLog%u_%.2d.txt", static_cast<unsigned>(FStation),
                  generation);
    return FPrivateDir + FromUtf8(name);
}

std::u16string TTdbServices::LogFileName() const {
    std::lock_guard lock(FLogSync);
    return FLogFile ? FLogFile->FileName() : std::u16string();
}

void TTdbServices::SetLogLevel(int level) {
    level = std::clamp(level, 0, kMaxLogLevel);
    std::lock_guard lock(FLogSync);
    if (level == 0) {
        if (FLogFile) {
            LogMessage(1, kServicesSubSystem, kLogClosed);
            FLogFile.reset();
        }
        FLogLevel = 0;
        return;
    }
    if (!FLogFile) {
        // The oldest generation goes, every other moves one up; failures leave a generation
        // where it was, which the next open moves on.
        platform::DeleteFile(LogGenerationName(kLogGenerations));
        for (int generation = kLogGenerations - 1; generation >= 1; --generation) {
            platform::RenameFile(LogGenerationName(generation), LogGenerationName(generation + 1));
        }
        std::u16string fileName = LogGenerationName(1);
        const platform::FileHandle handle = platform::CreateFile(fileName);
        if (handle == platform::kInvalidFileHandle) {
            RaiseEngineError(kTdbErrWriteFile, {fileName});
        }
        // The created file is opened exclusively; others may read the log while it grows.
        platform::RelaxShareMode(handle, platform::kAccessReadWrite | platform::kShareDenyWrite);
        FLogFile = std::make_unique<TTdbSessionLogFile>(std::move(fileName), handle);
        FLogLevel = level;
        LogMessage(1, kServicesSubSystem, kLogOpened);
        return;
    }
    FLogLevel = level;
}

void TTdbServices::LogMessage(int level, std::u16string_view subSystem,
                              std::u16string_view msgText) {
    const int logLevel = FLogLevel.load(std::memory_order_relaxed);
    if (logLevel <= 0 || logLevel < level) {
        return;
    }
    std::lock_guard lock(FLogSync);
    if (!FLogFile) {
        return;
    }
    try {
        FLogFile->WriteLine(LogLine(level, subSystem, msgText));
    } catch (...) {
        // Out of memory while formatting: the line is lost, the caller's work is not.
    }
}

void TTdbServices::SetPrivateDir(std::u16string_view dir) {
    FPrivateDir = dir.empty() ? platform::TempDirectory() : std::u16string(dir);
    if (FPrivateDir.empty() || !IsPathDelimiter(FPrivateDir.back())) {
        FPrivateDir += u'/';
    }
}

TdwFileSystem* TTdbServices::DetermineFileSystem(std::u16string_view directory) const {
    if (!directory.empty() && IsPathDelimiter(directory.back())) {
        directory.remove_suffix(1);
    }
    return directory.empty() ? FDataFileSystem : FOSFileSystem;
}

void TTdbServices::SetLockFileSystem(std::unique_ptr<TdwFileSystem> fileSystem) {
    if (FLockFileSystem) {
        FLockFileSystem->Close();
    }
    FLockFileSystem = std::move(fileSystem);
}

std::unique_ptr<TTdbCalculation> TTdbServices::CreateCalculation(std::u16string_view source,
                                                                 TTdbExpressionSyntax kind,
                                                                 std::int16_t tableLevel) {
    if (FFactory != nullptr) {
        return FFactory->CreateCalculation(source, kind, tableLevel);
    }
    return std::make_unique<TUncompiledCalculation>(source, kind);
}

std::unique_ptr<TTdbCondition> TTdbServices::CreateCondition(std::u16string_view source,
                                                             TTdbExpressionSyntax kind,
                                                             std::int16_t tableLevel) {
    if (FFactory != nullptr) {
        return FFactory->CreateCondition(source, kind, tableLevel);
    }
    return std::make_unique<TUncompiledCondition>(source, kind);
}

}  // namespace tdb
