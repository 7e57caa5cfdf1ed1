// Helpers of the file layer over the installed file system: path conversion, whole transfers,
// atomic replace, folder search and the one-process-per-folder lock.
#include "platform/Files.h"

#include "platform/Paths.h"
#include "platform/Text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <signal.h>
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

namespace {

// The hidden name a replace writes beside its target before the rename: "." + name + ".tmp" +
// the writer's process number + "_" + a count.
std::string tempPrefix(std::string_view name) {
    return "." + std::string(name) + ".tmp";
}

// The writer's process number of a temporary name (of name, or of any target when name is
// empty); 0 when the entry is not one.
pid_t tempWriter(std::string_view entry, std::string_view name) {
    size_t at;
    if (name.empty()) {
        at = entry.rfind(".tmp");
        if (entry.size() < 2 || entry[0] != '.' || at == std::string_view::npos || at < 2) return 0;
        at += 4;
    } else {
        const std::string prefix = tempPrefix(name);
        if (entry.size() <= prefix.size() || AsciiUpper(entry.substr(0, prefix.size())) != AsciiUpper(prefix))
            return 0;
        at = prefix.size();
    }
    const std::string_view rest = entry.substr(at);
    const size_t sep = rest.find('_');
    if (sep == 0 || sep == std::string_view::npos || sep + 1 == rest.size() || sep > 9) return 0;
    auto digits = [](std::string_view d) {
        return std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(rest.substr(0, sep)) || !digits(rest.substr(sep + 1))) return 0;
    return pid_t(std::stol(std::string(rest.substr(0, sep))));
}

bool processAlive(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

int RemoveReplaceLeftovers(std::string_view folder, std::string_view name) {
    std::vector<DirEntry> entries;
    if (int err = DirList(folder, entries)) return err;
    bool removed = false;
    for (const DirEntry& e : entries) {
        const pid_t writer = tempWriter(e.name, name);
        // A writer of this machine that still runs may yet rename its file.
        if (e.isDir || writer <= 0 || processAlive(writer)) continue;
        // One of another machine or process space holds its file unshared until the rename.
        const std::string path = native(JoinPath(folder, e.name));
        File f;
        if (f.open(path, kFileRead | kFileNoFollow, FileShare::None) != 0) continue;
        f.close();
        removed = Files().remove(path) == 0 || removed;
    }
    return removed ? Files().syncDir(native(folder.empty() ? "." : folder)) : 0;
}

int FileReplaceAtomic(std::string_view path, std::string_view data, uint32_t mode) {
    std::string target = native(path);
    FileStat st;
    bool replacing = false;
    if (int err = Files().stat(target, st); err == 0) {
        // Made no more open than the file it replaces while it is written.
        mode = st.mode & 0777;
        replacing = true;
    } else if (err != ENOENT) {
        return err;
    }
    // What writers of this file that died before their rename left beside it.
    const std::string folder = ExtractFilePath(target), name = ExtractFileName(target);
    if (int err = RemoveReplaceLeftovers(folder, name); err && err != ENOENT) return err;
    // A new hidden name beside the target, never one that exists (another writer's). The file
    // stays open, unshared, until it has its name: a cleaner of leftovers leaves it alone.
    std::string temp;
    File f;
    int err = EEXIST;
    for (int i = 0; (err == EEXIST || err == kErrSharingViolation) && i < 100; ++i) {
        temp = folder + tempPrefix(name) + std::to_string(::getpid()) + "_" +
               std::to_string(tempCounter.fetch_add(1));
        err = f.open(temp, kFileWrite | kFileCreate | kFileExclusive | kFileNoFollow, FileShare::None, mode);
        // Made, but a cleaner had it open for a moment: the name is spent.
        if (err == kErrSharingViolation) Files().remove(temp);
    }
    if (err) return err;
    err = FileWriteExact(f.handle(), 0, data.data(), data.size());
    // A replaced file keeps its own mode, which the umask may have narrowed; a new one has what
    // the umask leaves of `mode`.
    if (!err && replacing) err = Files().chmod(temp, st.mode);
    if (!err) err = FileSync(f.handle(), false);
    if (!err) err = Files().rename(temp, target, true);
    int closeErr = f.close();
    if (err) {
        Files().remove(temp);
        return err;
    }
    if (closeErr) return closeErr;
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
