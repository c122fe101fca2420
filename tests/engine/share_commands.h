// The commands a user of a shared table understands, one line each, answered with one line,
// "ok ..." or "fail CODE message": the probe process reads them on its standard input, and the
// tests give them to sessions of their own process the same way.
//
//   open DIRECTORY TABLE      open the database shared and the audit table with all rights
//   create DIRECTORY TABLE    the same, making the table first
//   count | refresh           the record count | 1 when another session changed the table
//   read N | codes            the row of record N | every Code in record order
//   append N | replace R N | delete R    write RowFor(N) | over record R | delete record R
//   lock read|upgrade|write wait|nowait  and  unlock read|upgrade|write
//   edit R | endedit R        the record lock for editing record R
//   begin | commit | rollback  a transaction
//   usage | held | audit      users, readers, writers | level held in the lock file | indexes
//   attempts N                how many tries a lock wait makes
//   churn STEPS SEED          random appends, edits, deletes and walks through an accessor,
//                             without explicit locks: "ok APPENDED DELETED", or the first
//                             failure beyond the ones sharing brings (a record edited or gone)
//   limit BYTES               the largest file this process may write (0: no limit)
//   close                     close the database as it is, locks and transaction included
//   sleep MS
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/engine_errors.h"
#include "engine/accessor.h"
#include "engine/lock_file.h"
#include "engine/session.h"
#include "table_audit.h"

namespace tdb::testing {

class TShareCommands {
public:
    explicit TShareCommands(TTdbPageManager* pageManager = nullptr) : session_(pageManager) {
        initialized_ = session_.Initialize(1) == 0;
    }
    ~TShareCommands() { session_.Uninitialize(); }

    bool Initialized() const { return initialized_; }

    std::string Run(const std::string& line) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "open" || verb == "create") {
            std::string directory;
            std::string name;
            in >> directory >> name;
            Catalog().SetLocation(FromUtf8(directory));
            if (session_.OpenDb() != 0)
                return Failure();
            if (verb == "create") {
                TTdbCreateTableArgs args = audit::AuditTableArgs(FromUtf8(name));
                if (Catalog().CreateTable(args) < 0)
                    return Failure();
            }
            const int rltnIdx =
                Catalog().OpenTable(FromUtf8(name), {}, kRightsWrite, false, false, false);
            if (rltnIdx <= 0)
                return Failure();
            table_ = dynamic_cast<TTdbBaseTable*>(Catalog().GetRelation(rltnIdx));
            record_.resize(static_cast<std::size_t>(table_->GetRecordSize()));
            stored_.resize(record_.size());
            return "ok";
        }
        if (table_ == nullptr)
            return "fail 0 no table";
        if (verb == "close") {
            table_ = nullptr;
            return session_.CloseDb() != 0 ? Failure() : "ok";
        }
        if (verb == "count") {
            if (table_->BeginRead(true) < 0)
                return Failure();
            const std::int32_t count = table_->GetRecordCount();
            table_->EndRead();
            return "ok " + std::to_string(count);
        }
        if (verb == "refresh") {
            const std::int16_t changed = table_->CheckUpdate();
            return changed < 0 ? Failure() : "ok " + std::to_string(changed);
        }
        if (verb == "read") {
            std::int32_t recNo = 0;
            in >> recNo;
            if (table_->ReadRecord(recNo, record_) != 0)
                return Failure();
            const audit::TRow row = audit::ReadRow(*table_, record_);
            return "ok " + std::to_string(row.Code);
        }
        if (verb == "codes") {
            std::string codes;
            for (const audit::TRow& row : audit::ReadRows(*table_))
                codes += (codes.empty() ? "" : ",") + std::to_string(row.Code);
            return "ok " + codes;
        }
        if (verb == "append") {
            std::uint32_t n = 0;
            in >> n;
            if (!Fill(audit::RowFor(n), true))
                return Failure();
            const std::int32_t recNo = table_->AppendRecord(record_, blobs_);
            return recNo < 0 ? Failure() : "ok " + std::to_string(recNo);
        }
        if (verb == "replace") {
            std::int32_t recNo = 0;
            std::uint32_t n = 0;
            in >> recNo >> n;
            if (table_->ReadRecord(recNo, stored_) != 0)
                return Failure();
            record_ = stored_;
            if (!Fill(audit::RowFor(n), false) ||
                table_->ReplaceRecord(record_, stored_, recNo, blobs_) != 0)
                return Failure();
            return "ok";
        }
        if (verb == "delete") {
            std::int32_t recNo = 0;
            in >> recNo;
            if (table_->ReadRecord(recNo, stored_) != 0)
                return Failure();
            return table_->DeleteRecord(stored_, recNo) != 0 ? Failure() : "ok";
        }
        if (verb == "lock" || verb == "unlock") {
            std::string level;
            std::string mode;
            in >> level >> mode;
            return verb == "lock" ? Lock(level, mode == "wait") : Unlock(level);
        }
        if (verb == "edit" || verb == "endedit") {
            std::int32_t recNo = 0;
            in >> recNo;
            if (verb == "endedit") {
                table_->EndEdit(recNo);
                return "ok";
            }
            return table_->CheckEdit(recNo, nullptr) != 0 ? Failure() : "ok";
        }
        if (verb == "begin")
            return Catalog().BeginTransaction() != 0 ? Failure() : "ok";
        if (verb == "commit" || verb == "rollback")
            return Catalog().EndTransaction(verb == "commit") != 0 ? Failure() : "ok";
        if (verb == "usage") {
            TTdbTableUsage usage;
            table_->GetUsage(usage);
            return "ok " + std::to_string(usage.UserCount) + " " + std::to_string(usage.ReadCount) +
                   " " + std::to_string(usage.WriteCount);
        }
        if (verb == "held")
            return "ok " + std::to_string(static_cast<int>(table_->HeldLock()));
        if (verb == "audit") {
            for (TTdbIndexNo no = 0; no <= table_->GetLastIndexNo(); ++no) {
                if (table_->GetIndexFile(no) == nullptr)
                    continue;
                if (std::string disagreement = audit::IndexDisagreement(*table_, no);
                    !disagreement.empty())
                    return "fail 0 " + disagreement;
            }
            return "ok";
        }
        if (verb == "churn") {
            int steps = 0;
            std::uint32_t seed = 0;
            in >> steps >> seed;
            return Churn(steps, seed);
        }
        if (verb == "attempts") {
            std::int32_t attempts = 0;
            in >> attempts;
            table_->SetLockWaitAttempts(attempts);
            return "ok";
        }
        if (verb == "limit") {
            // Writes past the limit fail as on a full disk, instead of ending the process.
            rlim_t bytes = 0;
            in >> bytes;
            ::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = bytes == 0 ? limit.rlim_max : bytes;
            return ::setrlimit(RLIMIT_FSIZE, &limit) != 0 ? "fail 0 setrlimit" : "ok";
        }
        if (verb == "sleep") {
            int ms = 0;
            in >> ms;
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return "ok";
        }
        return "fail 0 unknown command " + verb;
    }

private:
    TTdbCatalog& Catalog() { return session_.Catalog(); }

    std::string Failure() {
        const TTdbLastError& last = session_.Services().LastError();
        return "fail " + std::to_string(last.LastErrorCode()) + " " + ToUtf8(last.LastErrorMsg());
    }

    bool Fill(const audit::TRow& row, bool fresh) {
        if (fresh && table_->InitRecord(record_, true) != 0)
            return false;
        audit::SetRow(*table_, record_, row);
        return true;
    }

    std::string Churn(int steps, std::uint32_t seed) {
        std::mt19937 rng(seed);
        const auto draw = [&rng](std::uint32_t n) {
            return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng);
        };
        const TTdbIndexNo byName = table_->FindIndexByName(u"ByName");
        TTdbAccessor accessor(*table_);
        int appended = 0;
        int deleted = 0;
        for (int step = 0; step < steps; ++step) {
            const std::uint32_t action = draw(20);
            std::int32_t result = 0;
            if (action < 7) {
                result = accessor.Append();
                if (result == 0) {
                    audit::SetRow(*table_, accessor.RecordPtr(), audit::RowFor(seed + step));
                    result = accessor.Post();
                    appended += result == 0;
                }
            } else if (action < 16) {
                // A record number another session may just have deleted, or be editing.
                accessor.SetAccess(kTdbAccessRecordNo, false);
                result = accessor.GotoRecord(1 + static_cast<std::int32_t>(draw(64)));
                if (result == 0 && action < 12) {
                    result = accessor.Edit();
                    if (result == 0) {
                        audit::SetRow(*table_, accessor.RecordPtr(),
                                      audit::RowFor(seed + step + 7));
                        result = accessor.Post();
                        if (result != 0)
                            accessor.Cancel();
                    }
                } else if (result == 0) {
                    result = accessor.DeleteRecord();
                    deleted += result == 0;
                }
                if (result == -kTdbErrRecordNotFound || result == -kTdbErrRecordBeingEdited)
                    result = 0;
            } else if (std::string walk = Walk(accessor, byName, draw(2) == 0); !walk.empty()) {
                return "fail 0 " + walk;
            }
            if (result < 0)
                return "fail " + std::to_string(-result) + " step " + std::to_string(step) +
                       " action " + std::to_string(action) + "; last error " + Failure();
        }
        return "ok " + std::to_string(appended) + " " + std::to_string(deleted);
    }

    // Steps through the name order under one read lock, where nobody can change the table:
    // the steps must give the index's own order.
    std::string Walk(TTdbAccessor& accessor, TTdbIndexNo byName, bool backwards) {
        if (table_->BeginRead(true) < 0)
            return "no read lock: " + Failure();
        std::vector<std::int32_t> order = audit::IndexOrder(*table_, byName);
        if (backwards)
            std::reverse(order.begin(), order.end());
        accessor.SetAccess(byName, backwards);
        std::vector<std::int32_t> walked;
        std::int16_t r = accessor.First();
        for (; r == 0 && walked.size() < 12; r = accessor.Next())
            walked.push_back(accessor.RecordNo());
        table_->EndRead();
        if (r != 0 && r != kTdbNoRecord)
            return "walk step: " + Failure();
        if (r == 0)  // stopped early: what was walked so far
            order.resize(std::min(order.size(), walked.size()));
        return walked == order ? "" : "the walk left the index order";
    }

    std::string Lock(const std::string& level, bool wait) {
        std::int16_t result = -1;
        if (level == "read")
            result = table_->BeginRead(wait);
        else if (level == "upgrade")
            result = table_->BeginUpgrade(wait);
        else if (level == "write")
            result = table_->BeginWrite(wait);
        return result < 0 ? Failure() : "ok";
    }

    std::string Unlock(const std::string& level) {
        if (level == "read")
            table_->EndRead();
        else if (level == "upgrade")
            table_->EndUpgrade();
        else if (level == "write")
            table_->EndWrite();
        return "ok";
    }

    TTdbLocalSession session_;
    bool initialized_ = false;
    TTdbBaseTable* table_ = nullptr;
    std::vector<std::byte> record_;
    std::vector<std::byte> stored_;  // the record as stored, before a replace or delete
    TTdbBlobDataList blobs_;
};

}  // namespace tdb::testing
