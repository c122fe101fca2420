// A second process for the page cache tests: it opens one file through its own page manager and
// answers one line per command read from its input, so a test can see what another process sees.
//
//   open PATH PAGESIZE        -> "ok" | "error MESSAGE"
//   read PAGE OFFSET          -> the int32 there, through the cache
//   write PAGE OFFSET VALUE   -> "ok"
//   flush | invalidate        -> "ok"
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"

using namespace tdb;

int main() {
    TTdbPageManager pageManager;
    pageManager.RegisterClient(1, 1024);
    TdwOSFileSystem fileSystem;
    std::unique_ptr<TTdbClientStorage> storage;
    std::unique_ptr<TTdbStoragePageSite> site;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        std::string answer = "ok";
        try {
            if (command == "open") {
                std::string path;
                int32_t pageSize = 0;
                in >> path >> pageSize;
                storage = std::make_unique<TTdbClientStorage>(pageManager, fileSystem, 1, nullptr);
                storage->SetName(FromUtf8(path));
                storage->SetPageSize(pageSize);
                storage->Open(false, false);
                site = storage->CreatePageSite();
            } else if (command == "read") {
                int32_t page = 0;
                int32_t offset = 0;
                in >> page >> offset;
                site->LoadPage(page);
                answer = std::to_string(site->ReadInt32(offset));
            } else if (command == "write") {
                int32_t page = 0;
                int32_t offset = 0;
                int32_t value = 0;
                in >> page >> offset >> value;
                site->InitPage(page);
                site->WriteInt32(offset, value);
            } else if (command == "flush") {
                storage->Flush();
            } else if (command == "invalidate") {
                storage->Invalidate();
            } else {
                answer = "error unknown command";
            }
        } catch (const std::exception& e) {
            answer = std::string("error ") + e.what();
        }
        std::cout << answer << std::endl;
    }
    return 0;
}
