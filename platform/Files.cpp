// Helpers of the file layer over the installed file system: path conversion, whole transfers,
// atomic replace, folder search and the one-process-per-folder lock.
#include "platform/Files.h"

#include "platform/Paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace plat {

namespace {

std::atomic<FileSystem*> installed{nullptr};
std::atomic<unsigned> tempCounter{0};

std::string native(std::string_view path) {
    return ToNativePath(path);
}

// The folder of a native path for DirSync ("" when it has none: the current directory).
std::string folderOf(const std::string& path) {
    return ExtractFileDir(path);
}

} // namespace

std::string FileErrorText(int err) {
    if (err == kErrSharingViolation) return "The file is in use by another open that does not share it";
    char buf[256];
    return std::string(strerror_r(err, buf, sizeof buf));
}

FileSystem& Files() {
    FileSystem* fs = installed.load(std::memory_order_acquire);
    return fs ? *fs : PosixFiles();
}

FileSystem* SetFiles(FileSystem* fs) {
    FileSystem* prev = installed.exchange(fs, std::memory_order_acq_rel);
    return prev ? prev : &PosixFiles();
}

int FileOpen(std::string_view path, uint32_t flags, FileShare share, FileHandle& out, uint32_t mode) {
    std::string p = (flags & kFileAnyCase) ? ResolveCaseInsensitive(path) : native(path);
    return Files().open(p, flags, share, mode, out);
}

int FileClose(FileHandle h) {
    return Files().close(h);
}

int FileReadExact(FileHandle h, uint64_t pos, void* buf, size_t count, size_t* done) {
    size_t got = 0;
    int err = 0;
    while (got < count) {
        size_t n = 0;
        err = Files().read(h, pos + got, static_cast<char*>(buf) + got, count - got, n);
        if (err) break;
        if (n == 0) {
            err = EIO; // the file ends first
            break;
        }
        got += n;
    }
    if (done) *done = got;
    return err;
}

int FileWriteExact(FileHandle h, uint64_t pos, const void* buf, size_t count) {
    size_t put = 0;
    while (put < count) {
        size_t n = 0;
        if (int err = Files().write(h, pos + put, static_cast<const char*>(buf) + put, count - put, n))
            return err;
        if (n == 0) return EIO;
        put += n;
    }
    return 0;
}

int FileSync(FileHandle h, bool dataOnly) {
    return Files().sync(h, dataOnly);
}
int FileSize(FileHandle h, uint64_t& out) {
    return Files().size(h, out);
}
int FileTruncate(FileHandle h, uint64_t size) {
    return Files().truncate(h, size);
}
int FileMap(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) {
    return Files().map(h, offset, length, writable, addr);
}
int FileUnmap(void* addr, size_t length) {
    return Files().unmap(addr, length);
}

int FileStatPath(std::string_view path, FileStat& out) {
    return Files().stat(native(path), out);
}

bool FileExists(std::string_view path) {
    FileStat st;
    return !path.empty() && Files().stat(native(path), st) == 0;
}

bool DirectoryExists(std::string_view path) {
    FileStat st;
    return !path.empty() && Files().stat(native(path), st) == 0 && st.isDir;
}

int FileVolume(std::string_view path, VolumeInfo& out) {
    return Files().volume(native(path.empty() ? "." : path), out);
}
int FileDelete(std::string_view path) {
    return Files().remove(native(path));
}
int FileRename(std::string_view from, std::string_view to, bool replace) {
    return Files().rename(native(from), native(to), replace);
}
int DirCreate(std::string_view path, uint32_t mode) {
    return Files().mkdir(native(path), mode);
}
int DirRemove(std::string_view path) {
    return Files().rmdir(native(path));
}
int DirSync(std::string_view path) {
    return Files().syncDir(native(path));
}
int DirList(std::string_view path, std::vector<DirEntry>& out) {
    return Files().listDir(native(path.empty() ? "." : path), out);
}

int FileReadAll(std::string_view path, std::string& out) {
    out.clear();
    File f;
    if (int err = f.open(path, kFileRead)) return err;
    uint64_t size = 0;
    if (int err = FileSize(f.handle(), size)) return err;
    if (size > out.max_size() / 2) return EFBIG;
    // Read to the real end, which may differ from the size seen a moment ago.
    std::string data(size_t(size) + 1, '\0');
    size_t got = 0;
    for (;;) {
        if (got == data.size()) data.resize(data.size() * 2);
        size_t n = 0;
        if (int err = Files().read(f.handle(), got, data.data() + got, data.size() - got, n)) return err;
        if (n == 0) break;
        got += n;
    }
    data.resize(got);
    out = std::move(data);
    return f.close();
}

int FileReplaceAtomic(std::string_view path, std::string_view data, uint32_t mode) {
    std::string target = native(path);
    FileStat st;
    if (int err = Files().stat(target, st); err == 0)
        mode = st.mode;
    else if (err != ENOENT)
        return err;
    // A new hidden name beside the target, never one that exists (a leftover of a crash, or
    // another writer's).
    std::string temp;
    File f;
    int err = EEXIST;
    for (int i = 0; err == EEXIST && i < 100; ++i) {
        temp = ExtractFilePath(target) + "." + ExtractFileName(target) + ".tmp" + std::to_string(::getpid()) +
               "_" + std::to_string(tempCounter.fetch_add(1));
        err = f.open(temp, kFileWrite | kFileCreate | kFileExclusive | kFileNoFollow, FileShare::None, mode);
    }
    if (err) return err;
    err = FileWriteExact(f.handle(), 0, data.data(), data.size());
    // The umask may have narrowed a kept mode.
    if (!err) err = Files().chmod(temp, mode);
    if (!err) err = FileSync(f.handle(), false);
    int closeErr = f.close();
    if (!err) err = closeErr;
    if (!err) err = Files().rename(temp, target, true);
    if (err) {
        Files().remove(temp);
        return err;
    }
    // The new name is durable only once the folder is.
    return Files().syncDir(folderOf(target));
}

File& File::operator=(File&& o) noexcept {
    if (this != &o) {
        close();
        h_ = o.h_;
        o.h_ = kNoFile;
    }
    return *this;
}

int File::open(std::string_view path, uint32_t flags, FileShare share, uint32_t mode) {
    close();
    return FileOpen(path, flags, share, h_, mode);
}

int File::close() {
    if (h_ == kNoFile) return 0;
    FileHandle h = h_;
    h_ = kNoFile;
    return FileClose(h);
}

bool FileNameMatches(std::string_view pat, std::string_view name) {
    if (pat == "*.*" || pat == "*") return true;
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
    while (n < name.size()) {
        if (p < pat.size() && (pat[p] == '?' || up(pat[p]) == up(name[n]))) {
            ++p;
            ++n;
        } else if (p < pat.size() && pat[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    // A pattern ending in "." also matches a name without an extension.
    while (p < pat.size() && (pat[p] == '*' || (pat[p] == '.' && p + 1 == pat.size())))
        ++p;
    return p == pat.size();
}

int FileFind::first(std::string_view pattern) {
    entries_.clear();
    at_ = 0;
    folder_ = ExtractFilePath(pattern);
    std::string_view pat = pattern.substr(folder_.size());
    std::vector<DirEntry> all;
    if (int err = DirList(folder_, all)) return err;
    for (auto& e : all)
        if (FileNameMatches(pat, e.name)) entries_.push_back(std::move(e));
    std::sort(entries_.begin(), entries_.end(), [](auto& a, auto& b) { return a.name < b.name; });
    return entries_.empty() ? ENOENT : 0;
}

bool FileFind::next() {
    if (at_ < entries_.size()) ++at_;
    return at_ < entries_.size();
}

std::string FileFind::path() const {
    return native(folder_ + entries_[at_].name);
}

int FolderLock::acquire(std::string_view folder, std::string_view name) {
    release();
    return file_.open(JoinPath(folder, name), kFileReadWrite | kFileCreate | kFileNoFollow, FileShare::None,
                      0644);
}

std::string FolderLock::ErrorText(std::string_view folder, int err) {
    if (err == kErrSharingViolation)
        return "The folder " + std::string(folder) + " is in use by another process";
    return "Cannot lock the folder " + std::string(folder) + ": " + FileErrorText(err);
}

} // namespace plat
