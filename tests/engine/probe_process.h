// A probe program run as a separate process that the tests talk to line by line: a command on
// its standard input, one line of answer on its standard output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace tdb::testing {

class TProbeProcess {
public:
    explicit TProbeProcess(const std::string& program, std::vector<std::string> args = {}) {
        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int spawned =
            ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        if (spawned != 0) {
            pid_ = -1;
            ::close(toChild[1]);
            ::close(fromChild[0]);
            return;
        }
        in_ = ::fdopen(toChild[1], "w");
        out_ = ::fdopen(fromChild[0], "r");
    }

    ~TProbeProcess() {
        if (in_ != nullptr) {
            std::fputs("exit\n", in_);
            std::fclose(in_);
        }
        Wait();
        if (out_ != nullptr)
            std::fclose(out_);
    }

    TProbeProcess(const TProbeProcess&) = delete;
    TProbeProcess& operator=(const TProbeProcess&) = delete;

    bool Started() const { return pid_ > 0; }

    // The answer to the command; empty when the process is gone.
    std::string Ask(const std::string& command) {
        Send(command);
        return Answer();
    }

    // Sends without waiting, for a command that blocks; Answer collects its line later.
    void Send(const std::string& command) {
        if (in_ == nullptr)
            return;
        std::fputs((command + "\n").c_str(), in_);
        std::fflush(in_);
    }

    // The answer if it comes within the time, otherwise empty: a process stuck in a wait shows
    // as a failure instead of a test that never ends. Only for a single outstanding command.
    std::string AnswerWithin(int ms) {
        if (out_ == nullptr)
            return {};
        pollfd ready{::fileno(out_), POLLIN, 0};
        if (::poll(&ready, 1, ms) <= 0)
            return {};
        return Answer();
    }

    std::string Answer() {
        char line[16384];
        if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr)
            return {};
        std::string text(line);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

    // Dies at once, as a crash or a power cut would end it: nothing is flushed or closed.
    void Kill() {
        if (pid_ > 0)
            ::kill(pid_, SIGKILL);
        Wait();
        if (in_ != nullptr) {
            std::fclose(in_);
            in_ = nullptr;
        }
    }

private:
    void Wait() {
        if (pid_ <= 0)
            return;
        int status = 0;
        while (::waitpid(pid_, &status, 0) == -1 && errno == EINTR) {
        }
        pid_ = -1;
    }

    pid_t pid_ = -1;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

}  // namespace tdb::testing
