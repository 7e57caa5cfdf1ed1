// The in-memory file system: one tree of nodes keyed by normalised path under a single mutex.
#include "platform/testing/MemoryFiles.h"

#include "platform/Paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace plat {

struct MemoryFiles::Node {
    bool dir = false;
    std::string data;
    uint32_t mode = 0666;
    int64_t mtimeNs = 0;
    int readers = 0, writers = 0, denyRead = 0, denyWrite = 0;
};

struct MemoryFiles::Open {
    std::shared_ptr<Node> node;
    bool read = false, write = false, append = false;
    FileShare share = FileShare::ReadWrite;
};

struct MemoryFiles::Mapping {
    std::shared_ptr<Node> node;
    uint64_t offset = 0;
    size_t length = 0;
    bool writable = false;
};

namespace {

constexpr size_t kPage = 4096;

int64_t tick() {
    static std::atomic<int64_t> t{0};
    return ++t; // only the order of changes matters
}

std::string parentOf(const std::string& p) {
    size_t s = p.rfind('/');
    return s == 0 ? "/" : p.substr(0, s);
}

bool isBelow(const std::string& p, const std::string& dir) {
    return p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 &&
           (dir == "/" || p[dir.size()] == '/');
}

} // namespace

MemoryFiles::MemoryFiles() {
    auto root = std::make_shared<Node>();
    root->dir = true;
    root->mode = 0777;
    nodes_["/"] = root;
}

MemoryFiles::~MemoryFiles() {
    for (auto& [addr, m] : maps_)
        std::free(addr);
}

std::string MemoryFiles::normalise(const std::string& path) {
    std::string p = ToNativePath(path);
    if (p.empty() || p[0] != '/') p = "/" + p;
    std::string n = std::filesystem::path(p).lexically_normal().string();
    while (n.size() > 1 && n.back() == '/')
        n.pop_back();
    return n;
}

std::shared_ptr<MemoryFiles::Node> MemoryFiles::find(const std::string& p) const {
    auto it = nodes_.find(p);
    return it == nodes_.end() ? nullptr : it->second;
}

int MemoryFiles::parentOk(const std::string& p) const {
    auto parent = find(parentOf(p));
    if (!parent) return ENOENT;
    return parent->dir ? 0 : ENOTDIR;
}

uint64_t MemoryFiles::used() const {
    uint64_t n = 0;
    for (auto& [p, node] : nodes_)
        n += node->data.size();
    return n;
}

int MemoryFiles::open(const std::string& path, uint32_t flags, FileShare share, uint32_t mode,
                      FileHandle& out) {
    std::lock_guard lock(mu_);
    out = kNoFile;
    Open o;
    o.read = flags & kFileRead;
    o.write = flags & kFileWrite;
    o.append = flags & kFileAppendOnly;
    o.share = share;
    if (!o.read && !o.write) return EINVAL;
    std::string p = normalise(path);
    auto node = find(p);
    if (node) {
        if ((flags & kFileCreate) && (flags & kFileExclusive)) return EEXIST;
        if (node->dir && o.write) return EISDIR;
        if (o.write && (node->mode & 0222) == 0) return EACCES;
        if (o.read && (node->mode & 0444) == 0) return EACCES;
        bool shareRead = share != FileShare::None, shareWrite = share == FileShare::ReadWrite;
        if ((o.read && node->denyRead) || (o.write && node->denyWrite) || (!shareRead && node->readers) ||
            (!shareWrite && node->writers))
            return kErrSharingViolation;
        if ((flags & kFileTruncate) && o.write) {
            node->data.clear();
            node->mtimeNs = tick();
        }
    } else {
        if (!(flags & kFileCreate)) return ENOENT;
        if (int err = parentOk(p)) return err;
        node = std::make_shared<Node>();
        node->mode = mode & 07777;
        node->mtimeNs = tick();
        nodes_[p] = node;
    }
    o.node = node;
    node->readers += o.read;
    node->writers += o.write;
    node->denyRead += share == FileShare::None;
    node->denyWrite += share != FileShare::ReadWrite;
    out = nextHandle_++;
    opens_[out] = std::move(o);
    return 0;
}

int MemoryFiles::close(FileHandle h) {
    std::lock_guard lock(mu_);
    auto it = opens_.find(h);
    if (it == opens_.end()) return EBADF;
    Open& o = it->second;
    o.node->readers -= o.read;
    o.node->writers -= o.write;
    o.node->denyRead -= o.share == FileShare::None;
    o.node->denyWrite -= o.share != FileShare::ReadWrite;
    opens_.erase(it);
    return 0;
}

int MemoryFiles::read(FileHandle h, uint64_t pos, void* buf, size_t count, size_t& done) {
    std::lock_guard lock(mu_);
    done = 0;
    auto it = opens_.find(h);
    if (it == opens_.end()) return EBADF;
    if (!it->second.read) return EBADF;
    const Node& n = *it->second.node;
    if (n.dir) return EISDIR;
    if (pos >= n.data.size()) return 0;
    done = std::min<uint64_t>(count, n.data.size() - pos);
    std::memcpy(buf, n.data.data() + pos, done);
    return 0;
}

int MemoryFiles::write(FileHandle h, uint64_t pos, const void* buf, size_t count, size_t& done) {
    std::lock_guard lock(mu_);
    done = 0;
    auto it = opens_.find(h);
    if (it == opens_.end() || !it->second.write) return EBADF;
    Node& n = *it->second.node;
    if (it->second.append) pos = n.data.size();
    if (pos > maxFileSize_ || count > maxFileSize_ - pos) return EFBIG;
    uint64_t end = pos + count;
    if (end > n.data.size() && end - n.data.size() > capacity_ - std::min(capacity_, used())) return ENOSPC;
    if (end > n.data.size()) n.data.resize(size_t(end), '\0');
    if (count) std::memcpy(n.data.data() + pos, buf, count);
    n.mtimeNs = tick();
    done = count;
    return 0;
}

int MemoryFiles::sync(FileHandle h, bool) {
    std::lock_guard lock(mu_);
    return opens_.count(h) ? 0 : EBADF;
}

int MemoryFiles::size(FileHandle h, uint64_t& out) {
    std::lock_guard lock(mu_);
    auto it = opens_.find(h);
    if (it == opens_.end()) return EBADF;
    out = it->second.node->data.size();
    return 0;
}

int MemoryFiles::truncate(FileHandle h, uint64_t size) {
    std::lock_guard lock(mu_);
    auto it = opens_.find(h);
    if (it == opens_.end() || !it->second.write) return EBADF;
    Node& n = *it->second.node;
    if (size > maxFileSize_) return EFBIG;
    if (size > n.data.size() && size - n.data.size() > capacity_ - std::min(capacity_, used())) return ENOSPC;
    n.data.resize(size_t(size), '\0');
    n.mtimeNs = tick();
    return 0;
}

int MemoryFiles::map(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) {
    std::lock_guard lock(mu_);
    addr = nullptr;
    auto it = opens_.find(h);
    if (it == opens_.end() || (writable && !it->second.write)) return EBADF;
    if (length == 0 || offset % kPage) return EINVAL;
    Node& n = *it->second.node;
    // Touching a mapped page past the end of a real file kills the process; refuse it here.
    if (offset > n.data.size() || length > n.data.size() - offset) return ENXIO;
    void* p = std::aligned_alloc(kPage, (length + kPage - 1) / kPage * kPage);
    if (!p) return ENOMEM;
    std::memcpy(p, n.data.data() + offset, length);
    maps_[p] = Mapping{it->second.node, offset, length, writable};
    addr = p;
    return 0;
}

int MemoryFiles::unmap(void* addr, size_t length) {
    std::lock_guard lock(mu_);
    auto it = maps_.find(addr);
    if (it == maps_.end() || it->second.length != length) return EINVAL;
    Mapping& m = it->second;
    // A file cut shorter while mapped keeps only what still fits.
    if (m.writable && m.offset < m.node->data.size())
        std::memcpy(m.node->data.data() + m.offset, addr,
                    std::min<uint64_t>(m.length, m.node->data.size() - m.offset));
    std::free(addr);
    maps_.erase(it);
    return 0;
}

int MemoryFiles::stat(const std::string& path, FileStat& out) {
    std::lock_guard lock(mu_);
    auto n = find(normalise(path));
    if (!n) return ENOENT;
    out.size = n->dir ? 0 : n->data.size();
    out.isDir = n->dir;
    out.mode = n->mode;
    out.readOnly = (n->mode & 0222) == 0;
    out.mtimeNs = n->mtimeNs;
    return 0;
}

int MemoryFiles::volume(const std::string& path, VolumeInfo& out) {
    std::lock_guard lock(mu_);
    if (!find(normalise(path))) return ENOENT;
    out.fsName = fsName_;
    out.totalBytes = capacity_;
    out.freeBytes = capacity_ - std::min(capacity_, used());
    out.maxFileSize = maxFileSize_;
    return 0;
}

int MemoryFiles::listDir(const std::string& path, std::vector<DirEntry>& out) {
    std::lock_guard lock(mu_);
    out.clear();
    std::string p = normalise(path);
    auto d = find(p);
    if (!d) return ENOENT;
    if (!d->dir) return ENOTDIR;
    for (auto it = nodes_.upper_bound(p); it != nodes_.end() && isBelow(it->first, p); ++it)
        if (parentOf(it->first) == p)
            out.push_back({it->first.substr(p == "/" ? 1 : p.size() + 1), it->second->dir});
    return 0;
}

int MemoryFiles::remove(const std::string& path) {
    std::lock_guard lock(mu_);
    std::string p = normalise(path);
    auto n = find(p);
    if (!n) return ENOENT;
    if (n->dir) return EISDIR;
    nodes_.erase(p); // open handles and mappings keep the node alive, as with an unlinked file
    return 0;
}

int MemoryFiles::rename(const std::string& from, const std::string& to, bool replace) {
    std::lock_guard lock(mu_);
    std::string a = normalise(from), b = normalise(to);
    auto n = find(a);
    if (!n) return ENOENT;
    if (int err = parentOk(b)) return err;
    if (a == b) return 0;
    if (auto old = find(b)) {
        if (!replace) return EEXIST;
        if (old->dir != n->dir) return old->dir ? EISDIR : ENOTDIR;
        auto below = nodes_.upper_bound(b);
        if (old->dir && below != nodes_.end() && isBelow(below->first, b)) return ENOTEMPTY;
    }
    if (n->dir && isBelow(b, a)) return EINVAL;
    std::vector<std::pair<std::string, std::shared_ptr<Node>>> moved;
    for (auto it = nodes_.upper_bound(a); it != nodes_.end() && isBelow(it->first, a);) {
        moved.emplace_back(b + it->first.substr(a.size()), it->second);
        it = nodes_.erase(it);
    }
    nodes_.erase(a);
    nodes_[b] = n;
    for (auto& [p, node] : moved)
        nodes_[p] = node;
    return 0;
}

int MemoryFiles::mkdir(const std::string& path, uint32_t mode) {
    std::lock_guard lock(mu_);
    std::string p = normalise(path);
    if (find(p)) return EEXIST;
    if (int err = parentOk(p)) return err;
    auto n = std::make_shared<Node>();
    n->dir = true;
    n->mode = mode & 07777;
    nodes_[p] = n;
    return 0;
}

int MemoryFiles::rmdir(const std::string& path) {
    std::lock_guard lock(mu_);
    std::string p = normalise(path);
    auto n = find(p);
    if (!n) return ENOENT;
    if (!n->dir) return ENOTDIR;
    if (p == "/") return EBUSY;
    auto it = nodes_.upper_bound(p);
    if (it != nodes_.end() && isBelow(it->first, p)) return ENOTEMPTY;
    nodes_.erase(p);
    return 0;
}

int MemoryFiles::chmod(const std::string& path, uint32_t mode) {
    std::lock_guard lock(mu_);
    auto n = find(normalise(path));
    if (!n) return ENOENT;
    n->mode = mode & 07777;
    return 0;
}

int MemoryFiles::syncDir(const std::string& path) {
    std::lock_guard lock(mu_);
    auto n = find(normalise(path));
    if (!n) return ENOENT;
    return n->dir ? 0 : ENOTDIR;
}

void MemoryFiles::setCapacity(uint64_t bytes) {
    std::lock_guard lock(mu_);
    capacity_ = bytes;
}

void MemoryFiles::setVolumeName(std::string name, uint64_t maxFileSize) {
    std::lock_guard lock(mu_);
    fsName_ = std::move(name);
    maxFileSize_ = maxFileSize;
}

size_t MemoryFiles::openCount() const {
    std::lock_guard lock(mu_);
    return opens_.size();
}

size_t MemoryFiles::mapCount() const {
    std::lock_guard lock(mu_);
    return maps_.size();
}

std::map<std::string, std::string> MemoryFiles::files() const {
    std::lock_guard lock(mu_);
    std::map<std::string, std::string> out;
    for (auto& [p, n] : nodes_)
        if (!n->dir) out[p] = n->data;
    return out;
}

void MemoryFiles::put(const std::string& path, const std::string& content) {
    std::lock_guard lock(mu_);
    std::string p = normalise(path);
    for (size_t s = p.find('/', 1); s != std::string::npos; s = p.find('/', s + 1)) {
        auto& d = nodes_[p.substr(0, s)];
        if (!d) {
            d = std::make_shared<Node>();
            d->dir = true;
            d->mode = 0777;
        }
    }
    auto& n = nodes_[p];
    if (!n) n = std::make_shared<Node>();
    n->data = content;
    n->mtimeNs = tick();
}

} // namespace plat
