// A program the tests start as a child process and talk to through its output: the database
// server program, for one. A sanitizer report in its output fails the test that started it.
#pragma once
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pwtest {

// A program run as a child process, its stdout and stderr read through one pipe; killed with the
// object unless it ended.
struct ChildProcess {
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid = -1;
    int out = -1;
    std::string text;

    ChildProcess(const std::string& program, std::vector<std::string> args) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out = fds[0];
    }
    ~ChildProcess() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) {
            drain();
            close(out);
        }
        const std::string report = sanitizerReport();
        if (!report.empty()) ADD_FAILURE() << "the child process reported:\n" << report;
    }
    // The first sanitizer report in what the child wrote, from its first line on; empty without one.
    std::string sanitizerReport() const {
        size_t at = std::string::npos;
        for (const char* mark :
             {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
              "ERROR: ThreadSanitizer", "ERROR: UndefinedBehaviorSanitizer", "ERROR: MemorySanitizer",
              "runtime error:"})
            at = std::min(at, text.find(mark));
        if (at == std::string::npos) return {};
        const size_t line = text.rfind('\n', at);
        return text.substr(line == std::string::npos ? 0 : line + 1, 8000);
    }
    // What is left in the pipe of a child that ended (a grandchild may hold the pipe open: then
    // until it is quiet).
    void drain() {
        char buf[4096];
        for (pollfd p{out, POLLIN, 0}; poll(&p, 1, 200) > 0;) {
            const ssize_t got = ::read(out, buf, sizeof buf);
            if (got <= 0) return;
            text.append(buf, size_t(got));
        }
    }
    // Reads what the server wrote for up to waitMs; false at its end.
    bool read(int waitMs) {
        pollfd p{out, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return true;
        char buf[4096];
        ssize_t got = ::read(out, buf, sizeof buf);
        if (got <= 0) return false;
        text.append(buf, size_t(got));
        return true;
    }
    // Whether the server wrote what (waiting up to a minute for it).
    bool waitFor(const std::string& what) {
        for (int waited = 0; waited < 60000 && text.find(what) == std::string::npos; waited += 100)
            if (!read(100)) break;
        return text.find(what) != std::string::npos;
    }
    uint16_t port() {
        const std::string line = "listening on port ";
        if (!waitFor(line) || !waitFor("\n")) return 0;
        return uint16_t(std::strtoul(text.c_str() + text.find(line) + line.size(), nullptr, 10));
    }
    // The exit status after a stop signal; -1 when it did not end in time.
    int stop() {
        kill(pid, SIGTERM);
        return wait();
    }
    int wait() {
        int status = 0;
        // Its output is read meanwhile, so it never waits on a full pipe.
        bool ended = pwtest::waitUntil(
            [&] {
                read(0);
                return waitpid(pid, &status, WNOHANG) == pid;
            },
            60000);
        if (!ended) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

} // namespace pwtest
