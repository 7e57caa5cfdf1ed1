// Helpers shared by the tests: temporary folders, free loopback ports, waits on other threads.
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

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

// Whole file as bytes; empty when missing.
std::string readFile(const std::string& path);
// The source tree this test binary was built from.
std::string sourceDir();
void writeFile(const std::string& path, const std::string& bytes);

// Polls pred every millisecond for up to ms of real time; the bound only guards against a hang.
bool waitUntil(const std::function<bool()>& pred, int ms = 60000);

} // namespace pwtest
