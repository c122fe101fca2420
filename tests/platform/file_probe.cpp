// A small program the file tests start as a second process: it opens files and takes locks
// through the platform layer and holds them until its input closes or it is killed.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/text.h"

using namespace tdb;

int main(int argc, char** argv) {
    platform::FileHandle handle = platform::kInvalidFileHandle;
    for (int i = 1; i < argc; ++i) {
        const std::string_view command = argv[i];
        if (command == "open" && i + 2 < argc) {
            handle = platform::OpenFile(FromUtf8(argv[i + 1]),
                                        static_cast<int32_t>(std::strtol(argv[i + 2], nullptr, 0)));
            i += 2;
        } else if (command == "create" && i + 1 < argc) {
            handle = platform::CreateFile(FromUtf8(argv[i + 1]));
            i += 1;
        } else if (command == "lock" && i + 2 < argc) {
            const int result = platform::LockRange(handle, std::strtoull(argv[i + 1], nullptr, 0),
                                                   std::strtoull(argv[i + 2], nullptr, 0));
            std::printf("lock %d %d\n", result, platform::GetLastError());
            i += 2;
            continue;
        } else {
            std::printf("bad command %s\n", argv[i]);
            return 2;
        }
        const std::string name(command);
        if (handle >= 0) {
            std::printf("%s ok\n", name.c_str());
        } else {
            std::printf("%s error %d\n", name.c_str(), platform::GetLastError());
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    // Hold everything until the test closes our input.
    char buffer[64];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
    return 0;
}
