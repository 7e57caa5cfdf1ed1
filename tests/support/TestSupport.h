// Helpers shared by the tests: temporary folders, loopback ports held for a test, waits on other
// threads.
#pragma once
#include <filesystem>
#include <functional>
#include <string>

namespace pwtest {

// A fresh folder under the system's temporary directory, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A TCP port on 127.0.0.1 taken from the system (port 0) and held bound as long as the object
// lives, so nothing else can take it: a connect to it is refused until Listen().
class LoopbackPort {
public:
    LoopbackPort();
    ~LoopbackPort();
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;
    int port() const { return port_; }
    int fd() const { return fd_; }
    // Starts accepting connections on the port; false when listen() fails.
    bool Listen(int backlog = 5);

private:
    int fd_ = -1;
    int port_ = 0;
};

// Whole file as bytes; empty when missing.
std::string readFile(const std::string& path);
// The source tree this test binary was built from.
std::string sourceDir();
void writeFile(const std::string& path, const std::string& bytes);

// Polls pred every millisecond for up to ms of real time; the bound only guards against a hang.
bool waitUntil(const std::function<bool()>& pred, int ms = 60000);

// The threads of a process (0: this one) as the system counts them; -1 when it cannot be read.
int threadCount(int pid = 0);

} // namespace pwtest
