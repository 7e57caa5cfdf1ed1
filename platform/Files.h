// The program's one file layer: a table of file routines behind a swappable pointer (POSIX files by
// default; tests install an in-memory file system or fault-injecting wrappers), and helpers on top.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// Every routine returns 0 or an errno-style code; FileErrorText gives the system's text for it.
// Codes of our own lie above the errno range.
inline constexpr int kErrSharingViolation = 1000; // another open's share mode forbids this one

std::string FileErrorText(int err);

using FileHandle = int64_t;
inline constexpr FileHandle kNoFile = -1;

// Open flags.
enum : uint32_t {
    kFileRead = 0x1,
    kFileWrite = 0x2,
    kFileReadWrite = kFileRead | kFileWrite,
    kFileCreate = 0x4,        // create when missing (O_CREAT)
    kFileExclusive = 0x8,     // with kFileCreate: fail with EEXIST when it exists (O_EXCL)
    kFileTruncate = 0x10,     // empty an existing file (O_TRUNC)
    kFileNoFollow = 0x20,     // refuse a symbolic link as the last component (O_NOFOLLOW)
    kFileWriteThrough = 0x40, // every write reaches the disk before it returns (O_DSYNC)
    kFileAnyCase = 0x80,      // the last component is matched without regard to ASCII case
    kFileAppendOnly = 0x100,  // every write goes to the end of the file, whatever its position (O_APPEND)
};

// Share modes: which accesses other opens of the same file may have while this one is open. Two
// opens conflict when either one's access is one the other does not share; the later open then
// fails with kErrSharingViolation. Holds between processes too (emulated with advisory locks).
enum class FileShare : int { None = 0, Read = 2, ReadWrite = 3 };

struct FileStat {
    uint64_t size = 0;
    bool isDir = false;
    bool readOnly = false; // the caller may not write it (no write permission)
    int64_t mtimeNs = 0;   // last change, nanoseconds since the Unix epoch
    uint32_t mode = 0;     // permission bits
};

struct VolumeInfo {
    std::string fsName;     // "ext4", "tmpfs", "vfat", ... ("memory" for the in-memory system)
    uint64_t freeBytes = 0; // available to this user
    uint64_t totalBytes = 0;
    uint64_t maxFileSize = 0; // largest size one file may have on it
};

struct DirEntry {
    std::string name;
    bool isDir = false;
};

// The routines. Paths reach them in native form ('/' separators); the helpers below convert.
// Positions are 64-bit; Read and Write may transfer less than asked (ReadExact/WriteExact loop).
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // mode: permission bits of a created file (before the umask).
    virtual int open(const std::string& path, uint32_t flags, FileShare share, uint32_t mode,
                     FileHandle& out) = 0;
    // The handle is released even when an error is returned.
    virtual int close(FileHandle h) = 0;
    virtual int read(FileHandle h, uint64_t pos, void* buf, size_t count, size_t& done) = 0;
    virtual int write(FileHandle h, uint64_t pos, const void* buf, size_t count, size_t& done) = 0;
    // dataOnly: fdatasync (the data and the size), else fsync (all metadata too).
    virtual int sync(FileHandle h, bool dataOnly) = 0;
    virtual int size(FileHandle h, uint64_t& out) = 0;
    virtual int truncate(FileHandle h, uint64_t size) = 0;
    // A shared mapping of [offset, offset + length) of the file; offset a multiple of the page size.
    virtual int map(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) = 0;
    virtual int unmap(void* addr, size_t length) = 0;

    virtual int stat(const std::string& path, FileStat& out) = 0;
    virtual int volume(const std::string& path, VolumeInfo& out) = 0;
    // The entries of a folder except "." and "..", in no particular order.
    virtual int listDir(const std::string& path, std::vector<DirEntry>& out) = 0;
    virtual int remove(const std::string& path) = 0;
    // replace = false: fails with EEXIST when the target exists (the check and the rename are one step).
    virtual int rename(const std::string& from, const std::string& to, bool replace) = 0;
    virtual int mkdir(const std::string& path, uint32_t mode) = 0;
    virtual int rmdir(const std::string& path) = 0;
    virtual int chmod(const std::string& path, uint32_t mode) = 0;
    // Makes the folder's entries (creations, removals, renames) durable.
    virtual int syncDir(const std::string& path) = 0;
};

// The installed file system; the POSIX one unless a test installed another.
FileSystem& Files();
FileSystem& PosixFiles();
// Installs fs (nullptr: the POSIX one) and returns the one installed before. Not for use while
// another thread is inside a file routine.
FileSystem* SetFiles(FileSystem* fs);

// Installs a file system for the lifetime of the object.
class ScopedFiles {
public:
    explicit ScopedFiles(FileSystem& fs) : prev_(SetFiles(&fs)) {}
    ~ScopedFiles() { SetFiles(prev_); }
    ScopedFiles(const ScopedFiles&) = delete;
    ScopedFiles& operator=(const ScopedFiles&) = delete;

private:
    FileSystem* prev_;
};

// ---------------------------------------------------------------------------------------------
// Helpers over the installed file system. Paths may use '\' or '/'.

int FileOpen(std::string_view path, uint32_t flags, FileShare share, FileHandle& out, uint32_t mode = 0666);
int FileClose(FileHandle h);
// Whole transfers: a short read (end of file) gives EIO with done telling how much arrived; a
// write that makes no progress gives EIO.
int FileReadExact(FileHandle h, uint64_t pos, void* buf, size_t count, size_t* done = nullptr);
int FileWriteExact(FileHandle h, uint64_t pos, const void* buf, size_t count);
int FileSync(FileHandle h, bool dataOnly = true);
int FileSize(FileHandle h, uint64_t& out);
int FileTruncate(FileHandle h, uint64_t size);
int FileMap(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr);
int FileUnmap(void* addr, size_t length);

int FileStatPath(std::string_view path, FileStat& out);
bool FileExists(std::string_view path);      // a file or a folder
bool DirectoryExists(std::string_view path); // a folder
int FileVolume(std::string_view path, VolumeInfo& out);
int FileDelete(std::string_view path);
int FileRename(std::string_view from, std::string_view to, bool replace = false);
int DirCreate(std::string_view path, uint32_t mode = 0777);
int DirRemove(std::string_view path);
int DirSync(std::string_view path);
int DirList(std::string_view path, std::vector<DirEntry>& out);

// The whole content of a file.
int FileReadAll(std::string_view path, std::string& out);
// Replaces the file's content so that a crash leaves the old or the new file, never half of one:
// a new file beside it, synced, renamed over the old one, and the folder synced. An existing
// file keeps its permission bits; a new one gets what the umask leaves of `mode`. What writers
// of the same file that died before their rename left beside it goes first.
int FileReplaceAtomic(std::string_view path, std::string_view data, uint32_t mode = 0666);
// Removes the hidden files that replaces of `name` in folder (of any file there, when name is
// empty) left when their process died before the rename. A file whose writer may still run (its
// process exists, or it holds the file) stays. 0, or the error of listing the folder.
int RemoveReplaceLeftovers(std::string_view folder, std::string_view name = {});

// An open file that closes itself.
class File {
public:
    File() = default;
    File(File&& o) noexcept : h_(o.h_) { o.h_ = kNoFile; }
    File& operator=(File&& o) noexcept;
    ~File() { close(); }
    int open(std::string_view path, uint32_t flags, FileShare share = FileShare::ReadWrite,
             uint32_t mode = 0666);
    int close();
    bool isOpen() const { return h_ != kNoFile; }
    FileHandle handle() const { return h_; }
    FileHandle release() {
        FileHandle h = h_;
        h_ = kNoFile;
        return h;
    }

private:
    FileHandle h_ = kNoFile;
};

// Find-first/next over one folder: names matching a pattern with '*' and '?' (ASCII case ignored;
// "*.*" matches every name), in byte order.
class FileFind {
public:
    // pattern: folder + name pattern ("data\*.QB$"); a pattern without a folder searches the
    // current directory. Returns 0, ENOENT when nothing matches, or the listing's error.
    int first(std::string_view pattern);
    // Moves to the next match; false at the end.
    bool next();
    const DirEntry& entry() const { return entries_[at_]; }
    // The entry's full path (the search's folder as given + name, native form).
    std::string path() const;

private:
    std::string folder_;
    std::vector<DirEntry> entries_;
    size_t at_ = 0;
};

// Whether name matches a pattern with '*' and '?' without regard to ASCII case.
bool FileNameMatches(std::string_view pattern, std::string_view name);

// Thrown by users of the layer that report failures as exceptions.
class FileError : public std::runtime_error {
public:
    FileError(int err, std::string path, const std::string& what)
        : std::runtime_error(what), err_(err), path_(std::move(path)) {}
    int code() const { return err_; }
    const std::string& path() const { return path_; }

private:
    int err_;
    std::string path_;
};

// One process per folder: an exclusive hold on the lock file "name" in folder, refused while
// another process (or another holder in this one) has it. The file stays; the hold ends with the
// object or the process.
class FolderLock {
public:
    FolderLock() = default;
    FolderLock(FolderLock&&) = default;
    FolderLock& operator=(FolderLock&&) = default;
    // 0, kErrSharingViolation when another holder has it, or the error of creating the file.
    int acquire(std::string_view folder, std::string_view name);
    void release() { file_.close(); }
    // What a failed acquire means, for the user.
    static std::string ErrorText(std::string_view folder, int err);
    bool held() const { return file_.isOpen(); }

private:
    File file_;
};

} // namespace plat
