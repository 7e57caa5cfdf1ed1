// A file system held in memory for tests and fuzz targets: folders, files, share modes, mappings
// and a volume of bounded size, behind the same routines as the real one.
#pragma once
#include "platform/Files.h"

#include <map>
#include <memory>
#include <mutex>

namespace plat {

class MemoryFiles final : public FileSystem {
public:
    MemoryFiles();
    ~MemoryFiles() override;

    int open(const std::string& path, uint32_t flags, FileShare share, uint32_t mode,
             FileHandle& out) override;
    int close(FileHandle h) override;
    int read(FileHandle h, uint64_t pos, void* buf, size_t count, size_t& done) override;
    int write(FileHandle h, uint64_t pos, const void* buf, size_t count, size_t& done) override;
    int sync(FileHandle h, bool dataOnly) override;
    int size(FileHandle h, uint64_t& out) override;
    int truncate(FileHandle h, uint64_t size) override;
    int map(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) override;
    int unmap(void* addr, size_t length) override;
    int stat(const std::string& path, FileStat& out) override;
    int volume(const std::string& path, VolumeInfo& out) override;
    int listDir(const std::string& path, std::vector<DirEntry>& out) override;
    int remove(const std::string& path) override;
    int rename(const std::string& from, const std::string& to, bool replace) override;
    int mkdir(const std::string& path, uint32_t mode) override;
    int rmdir(const std::string& path) override;
    int chmod(const std::string& path, uint32_t mode) override;
    int syncDir(const std::string& path) override;

    // Total bytes the files may hold (writes past it fail with ENOSPC), the file-system name and
    // the largest file size that volume() reports.
    void setCapacity(uint64_t bytes);
    void setVolumeName(std::string name, uint64_t maxFileSize);

    size_t openCount() const;
    size_t mapCount() const;
    // Every file (not folder) by its full path, and its content.
    std::map<std::string, std::string> files() const;
    // A file with its content and any missing folder above it, outside the routines.
    void put(const std::string& path, const std::string& content);

    // Paths relative to no folder are taken from "/", the only current directory here.
    static std::string normalise(const std::string& path);

private:
    struct Node;
    struct Open;
    struct Mapping;
    std::shared_ptr<Node> find(const std::string& p) const;
    int parentOk(const std::string& p) const;
    uint64_t used() const;

    mutable std::mutex mu_;
    std::map<std::string, std::shared_ptr<Node>> nodes_;
    std::map<FileHandle, Open> opens_;
    std::map<void*, Mapping> maps_;
    FileHandle nextHandle_ = 1000;
    uint64_t capacity_ = uint64_t(1) << 40;
    std::string fsName_ = "memory";
    uint64_t maxFileSize_ = uint64_t(INT64_MAX);
};

} // namespace plat
