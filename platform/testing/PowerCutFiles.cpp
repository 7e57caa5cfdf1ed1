// The power-cut wrapper: a record of changes by file identity, replayed with or without the
// changes no sync made durable.
#include "platform/testing/PowerCutFiles.h"

#include "platform/testing/MemoryFiles.h"

#include <algorithm>
#include <cerrno>
#include <set>

namespace plat {

namespace {

constexpr uint64_t kPage = 4096;

std::string parentOf(const std::string& p) {
    size_t s = p.rfind('/');
    return s == std::string::npos ? "/" : s == 0 ? "/" : p.substr(0, s);
}

std::string norm(const std::string& p) {
    return MemoryFiles::normalise(p);
}

// Reads the whole file through fs.
int slurp(FileSystem& fs, const std::string& path, std::string& out) {
    FileHandle h = kNoFile;
    if (int err = fs.open(path, kFileRead, FileShare::ReadWrite, 0, h)) return err;
    out.clear();
    char buf[65536];
    int err = 0;
    for (;;) {
        size_t n = 0;
        if ((err = fs.read(h, out.size(), buf, sizeof buf, n)) || n == 0) break;
        out.append(buf, n);
    }
    fs.close(h);
    return err;
}

} // namespace

std::vector<FileEvent> PowerCutFiles::events() const {
    std::lock_guard lock(mu_);
    return events_;
}

size_t PowerCutFiles::eventCount() const {
    std::lock_guard lock(mu_);
    return events_.size();
}

int PowerCutFiles::learn(const std::string& p) {
    auto it = names_.find(p);
    if (it != names_.end()) return it->second;
    FileStat st;
    if (inner_.stat(p, st) != 0 || st.isDir) return -1;
    std::string content;
    if (slurp(inner_, p, content) != 0) return -1;
    int id = nextFile_++;
    initial_[id] = std::move(content);
    initialNames_[p] = id;
    names_[p] = id;
    return id;
}

PowerCutFiles::Handle* PowerCutFiles::live(FileHandle h) {
    auto it = handles_.find(h);
    return it == handles_.end() || it->second.inner == kNoFile ? nullptr : &it->second;
}

std::vector<bool> PowerCutFiles::durable(size_t count) const {
    // The last sync of each file and of each folder inside the prefix.
    std::map<int, size_t> fileSync;
    std::map<std::string, size_t> dirSync;
    for (size_t i = 0; i < count; ++i) {
        if (events_[i].kind == FileEvent::Sync) fileSync[events_[i].file] = i + 1;
        if (events_[i].kind == FileEvent::SyncDir) dirSync[events_[i].path] = i + 1;
    }
    auto fileKept = [&](size_t i, int file) {
        auto it = fileSync.find(file);
        return it != fileSync.end() && i < it->second;
    };
    auto dirKept = [&](size_t i, const std::string& path) {
        auto it = dirSync.find(parentOf(path));
        return it != dirSync.end() && i < it->second;
    };
    std::vector<bool> d(count, true);
    for (size_t i = 0; i < count; ++i) {
        const FileEvent& e = events_[i];
        switch (e.kind) {
        case FileEvent::Write:
        case FileEvent::Truncate:
            d[i] = fileKept(i, e.file);
            break;
        case FileEvent::Create:
        case FileEvent::Remove:
            d[i] = dirKept(i, e.path);
            break;
        case FileEvent::Rename:
            d[i] = dirKept(i, e.path) && dirKept(i, e.path2);
            break;
        case FileEvent::Sync:
        case FileEvent::SyncDir:
            break;
        }
    }
    return d;
}

std::map<std::string, std::string> PowerCutFiles::replay(size_t count, const std::vector<bool>& kept) const {
    std::map<int, std::string> content = initial_; // a created file starts empty
    std::map<std::string, int> names = initialNames_;
    for (size_t i = 0; i < count; ++i) {
        const FileEvent& e = events_[i];
        if (!kept[i]) continue;
        switch (e.kind) {
        case FileEvent::Create:
            names[e.path] = e.file;
            break;
        case FileEvent::Write: {
            std::string& c = content[e.file];
            if (c.size() < e.pos + e.data.size()) c.resize(size_t(e.pos + e.data.size()), '\0');
            c.replace(size_t(e.pos), e.data.size(), e.data);
            break;
        }
        case FileEvent::Truncate:
            content[e.file].resize(size_t(e.pos), '\0');
            break;
        case FileEvent::Remove:
            names.erase(e.path);
            break;
        case FileEvent::Rename:
            names.erase(e.path);
            names[e.path2] = e.file;
            break;
        case FileEvent::Sync:
        case FileEvent::SyncDir:
            break;
        }
    }
    std::map<std::string, std::string> disk;
    for (auto& [path, file] : names)
        disk[path] = content[file];
    return disk;
}

std::map<std::string, std::string> PowerCutFiles::diskAfter(size_t count, bool dropUnsynced) const {
    std::lock_guard lock(mu_);
    count = std::min(count, events_.size());
    return replay(count, dropUnsynced ? durable(count) : std::vector<bool>(count, true));
}

std::vector<size_t> PowerCutFiles::unsynced(size_t count) const {
    std::lock_guard lock(mu_);
    count = std::min(count, events_.size());
    const std::vector<bool> d = durable(count);
    std::vector<size_t> out;
    for (size_t i = 0; i < count; ++i)
        if (!d[i]) out.push_back(i);
    return out;
}

std::map<std::string, std::string> PowerCutFiles::diskAfter(size_t count,
                                                            const std::vector<size_t>& keptUnsynced) const {
    std::lock_guard lock(mu_);
    count = std::min(count, events_.size());
    std::vector<bool> kept = durable(count);
    for (size_t i : keptUnsynced)
        if (i < count) kept[i] = true;
    return replay(count, kept);
}

void PowerCutFiles::cutPower() {
    std::lock_guard lock(mu_);
    auto disk = diskAfter(events_.size(), true);
    for (auto& [h, hd] : handles_)
        if (hd.inner != kNoFile) {
            inner_.close(hd.inner);
            hd.inner = kNoFile;
        }
    std::set<std::string> paths;
    for (auto& [p, f] : names_)
        paths.insert(p);
    for (auto& [p, f] : initialNames_)
        paths.insert(p);
    for (auto& p : paths)
        if (!disk.count(p)) inner_.remove(p);
    Restore(inner_, disk);
    initial_.clear();
    initialNames_.clear();
    events_.clear();
    for (auto& [p, c] : disk) {
        initialNames_[p] = nextFile_;
        initial_[nextFile_++] = c;
    }
    names_ = initialNames_;
}

int PowerCutFiles::Restore(FileSystem& fs, const std::map<std::string, std::string>& disk) {
    for (auto& [path, content] : disk) {
        for (size_t s = path.find('/', 1); s != std::string::npos; s = path.find('/', s + 1))
            fs.mkdir(path.substr(0, s), 0777);
        FileHandle h = kNoFile;
        int err = fs.open(path, kFileWrite | kFileCreate | kFileTruncate, FileShare::ReadWrite, 0666, h);
        size_t done = 0;
        for (size_t put = 0; !err && put < content.size(); put += done) {
            err = fs.write(h, put, content.data() + put, content.size() - put, done);
            if (!err && done == 0) err = EIO;
        }
        if (h != kNoFile) fs.close(h);
        if (err) return err;
    }
    return 0;
}

int PowerCutFiles::open(const std::string& path, uint32_t flags, FileShare share, uint32_t mode,
                        FileHandle& out) {
    std::lock_guard lock(mu_);
    out = kNoFile;
    std::string p = norm(path);
    int file = learn(p);
    FileHandle ih = kNoFile;
    if (int err = inner_.open(path, flags, share, mode, ih)) return err;
    if (file < 0) {
        file = nextFile_++;
        events_.push_back({FileEvent::Create, file, p, {}, 0, {}});
        names_[p] = file;
    } else if ((flags & kFileTruncate) && (flags & kFileWrite)) {
        events_.push_back({FileEvent::Truncate, file, {}, {}, 0, {}});
    }
    out = nextHandle_++;
    handles_[out] = Handle{ih, file, bool(flags & kFileWriteThrough), bool(flags & kFileAppendOnly)};
    return 0;
}

int PowerCutFiles::close(FileHandle h) {
    std::lock_guard lock(mu_);
    auto it = handles_.find(h);
    if (it == handles_.end()) return EBADF;
    FileHandle ih = it->second.inner;
    handles_.erase(it);
    return ih == kNoFile ? 0 : inner_.close(ih);
}

int PowerCutFiles::read(FileHandle h, uint64_t pos, void* buf, size_t count, size_t& done) {
    std::lock_guard lock(mu_);
    done = 0;
    Handle* hd = live(h);
    return hd ? inner_.read(hd->inner, pos, buf, count, done) : EIO;
}

int PowerCutFiles::write(FileHandle h, uint64_t pos, const void* buf, size_t count, size_t& done) {
    std::lock_guard lock(mu_);
    done = 0;
    Handle* hd = live(h);
    if (!hd) return EIO;
    if (hd->append) {
        if (int err = inner_.size(hd->inner, pos)) return err;
    }
    int err = inner_.write(hd->inner, pos, buf, count, done);
    if (done) {
        // A disk writes pages: of a long write it may keep any of them.
        const auto* bytes = static_cast<const char*>(buf);
        for (size_t at = 0; at < done;) {
            const size_t n = std::min<size_t>(done - at, kPage - (pos + at) % kPage);
            events_.push_back(
                {FileEvent::Write, hd->file, {}, {}, pos + at, std::string(bytes + at, n), at + n < done});
            at += n;
        }
        if (hd->writeThrough) events_.push_back({FileEvent::Sync, hd->file, {}, {}, 0, {}});
    }
    return err;
}

int PowerCutFiles::sync(FileHandle h, bool dataOnly) {
    std::lock_guard lock(mu_);
    Handle* hd = live(h);
    if (!hd) return EIO;
    int err = inner_.sync(hd->inner, dataOnly);
    if (!err) events_.push_back({FileEvent::Sync, hd->file, {}, {}, 0, {}});
    return err;
}

int PowerCutFiles::size(FileHandle h, uint64_t& out) {
    std::lock_guard lock(mu_);
    Handle* hd = live(h);
    return hd ? inner_.size(hd->inner, out) : EIO;
}

int PowerCutFiles::truncate(FileHandle h, uint64_t size) {
    std::lock_guard lock(mu_);
    Handle* hd = live(h);
    if (!hd) return EIO;
    int err = inner_.truncate(hd->inner, size);
    if (!err) events_.push_back({FileEvent::Truncate, hd->file, {}, {}, size, {}});
    return err;
}

int PowerCutFiles::map(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) {
    std::lock_guard lock(mu_);
    addr = nullptr;
    Handle* hd = live(h);
    return hd ? inner_.map(hd->inner, offset, length, writable, addr) : EIO;
}

int PowerCutFiles::remove(const std::string& path) {
    std::lock_guard lock(mu_);
    std::string p = norm(path);
    int file = learn(p);
    int err = inner_.remove(path);
    if (!err && file >= 0) {
        events_.push_back({FileEvent::Remove, file, p, {}, 0, {}});
        names_.erase(p);
    }
    return err;
}

int PowerCutFiles::rename(const std::string& from, const std::string& to, bool replace) {
    std::lock_guard lock(mu_);
    std::string a = norm(from), b = norm(to);
    int file = learn(a);
    learn(b);
    int err = inner_.rename(from, to, replace);
    if (!err && file >= 0 && a != b) {
        events_.push_back({FileEvent::Rename, file, a, b, 0, {}});
        names_.erase(a);
        names_[b] = file;
    }
    return err;
}

int PowerCutFiles::syncDir(const std::string& path) {
    std::lock_guard lock(mu_);
    int err = inner_.syncDir(path);
    if (!err) events_.push_back({FileEvent::SyncDir, -1, norm(path), {}, 0, {}});
    return err;
}

} // namespace plat
