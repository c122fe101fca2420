// A directory database opened exclusively through a file system that fails on demand, for the
// tests of what stored tables do when the disk lets them down.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../platform/test_support.h"
#include "../storage/fault_file_system.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "platform/text.h"
#include "storage/page_manager.h"

namespace tdb::testing {

class FaultyDatabaseTest : public ::testing::Test {
protected:
    FaultyDatabaseTest() {
        auto fileSystem = std::make_unique<FaultFileSystem>(dir_.Name());
        fs_ = fileSystem.get();
        pm_.AddFileSystem(dir_.Name(), std::move(fileSystem));
        session_ = std::make_unique<TTdbLocalSession>(&pm_);
        EXPECT_EQ(session_->Initialize(1), 0);
        Catalog().SetLocation(dir_.Name());
        Catalog().SetExclusive(true);
        EXPECT_EQ(session_->OpenDb(), 0);  // takes the registered file system
    }
    ~FaultyDatabaseTest() override { session_->Uninitialize(); }

    TTdbCatalog& Catalog() { return session_->Catalog(); }
    std::string LastError() { return ToUtf8(session_->Services().LastError().LastErrorMsg()); }

    TTdbPageManager pm_;
    TempDir dir_;
    FaultFileSystem* fs_ = nullptr;
    std::unique_ptr<TTdbLocalSession> session_;
};

}  // namespace tdb::testing
