// Helpers shared by the tests: temporary folders and free loopback ports.
#pragma once
#include <filesystem>
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
void writeFile(const std::string& path, const std::string& bytes);

} // namespace pwtest
