// Scratch directories and the probe child process for the file tests.
#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/text.h"

extern char** environ;

namespace tdb::testing {

ProgramAnswer RunProgram(const std::vector<std::string>& arguments) {
    std::string command;
    for (const std::string& argument : arguments)
        command += (command.empty() ? "'" : " '") + argument + "'";
    ProgramAnswer answer;
    FILE* program = ::popen(command.c_str(), "r");
    if (program == nullptr)
        return answer;
    char line[256] = {};
    if (std::fgets(line, sizeof line, program) != nullptr)
        answer.firstLine = line;
    answer.status = ::pclose(program);
    return answer;
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        const auto candidate =
            base / ("zenkalo-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) +
                    "-" + std::to_string(random() % 1000000));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::u16string TempDir::Name(const std::string& relative) const {
    return FromUtf8((relative.empty() ? path_ : path_ / relative).string());
}

void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

ProbeProcess::ProbeProcess(const std::vector<std::string>& commands) {
    int to_child[2];
    int from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);

    std::vector<std::string> args{ZENKALO_FILE_PROBE};
    args.insert(args.end(), commands.begin(), commands.end());
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const int spawned =
        ::posix_spawn(&pid_, ZENKALO_FILE_PROBE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    if (spawned != 0) {
        ::close(to_child[1]);
        ::close(from_child[0]);
        throw std::runtime_error("cannot start the file probe");
    }
    to_child_ = to_child[1];

    FILE* in = ::fdopen(from_child[0], "r");
    char line[256];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (text == "ready") {
            break;
        }
        answers_.push_back(text);
    }
    std::fclose(in);
}

ProbeProcess::~ProbeProcess() {
    Finish();
}

void ProbeProcess::Kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        Finish();
    }
}

void ProbeProcess::Finish() {
    if (to_child_ >= 0) {
        ::close(to_child_);
        to_child_ = -1;
    }
    if (pid_ > 0) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) == -1 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

}  // namespace tdb::testing
