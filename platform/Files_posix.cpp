// The file routines over POSIX: pread/pwrite at 64-bit positions, share modes emulated with
// open-file-description locks, statfs for volume information.
#include "platform/Files.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace plat {

namespace {

// Share modes live as read locks on single bytes far past any real data: presence of a reader,
// of a writer, and a denial of reading or of writing. An open checks the others' bytes and sets
// its own under a whole-file flock, so that two opens cannot pass their checks together. The
// locks belong to the open file description, so two opens in one process see each other too.
constexpr off_t kShareBase = off_t(0x7FFFFFFF00000000LL);
enum ShareByte { kReaderPresent, kWriterPresent, kDenyRead, kDenyWrite };

// One byte's lock: asked about (F_OFD_GETLK) with a write lock, or taken (F_OFD_SETLK) as a read lock.
int byteLock(int fd, int cmd, int byte, struct flock& fl) {
    fl = {};
    fl.l_type = cmd == F_OFD_GETLK ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kShareBase + byte;
    fl.l_len = 1;
    return ::fcntl(fd, cmd, &fl);
}

bool othersHold(int fd, int byte) {
    struct flock fl;
    // No locks on this file system: nothing to honour.
    return byteLock(fd, F_OFD_GETLK, byte, fl) == 0 && fl.l_type != F_UNLCK;
}

void hold(int fd, int byte) {
    struct flock fl;
    byteLock(fd, F_OFD_SETLK, byte, fl);
}

int claimShare(int fd, bool canRead, bool wantRead, bool wantWrite, FileShare share) {
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return 0; // file system without locks: no emulation
    bool shareRead = share != FileShare::None;
    bool shareWrite = share == FileShare::ReadWrite;
    bool conflict = (wantRead && othersHold(fd, kDenyRead)) || (wantWrite && othersHold(fd, kDenyWrite)) ||
                    (!shareRead && othersHold(fd, kReaderPresent)) ||
                    (!shareWrite && othersHold(fd, kWriterPresent));
    if (!conflict && canRead) {
        if (wantRead) hold(fd, kReaderPresent);
        if (wantWrite) hold(fd, kWriterPresent);
        if (!shareRead) hold(fd, kDenyRead);
        if (!shareWrite) hold(fd, kDenyWrite);
    }
    ::flock(fd, LOCK_UN);
    return conflict ? kErrSharingViolation : 0;
}

// An append-only open carries a mark above the descriptor, so that a write needs no extra call
// to learn it.
constexpr FileHandle kAppendMark = FileHandle(1) << 32;

int fdOf(FileHandle h) {
    h &= ~kAppendMark;
    return h >= 0 && h <= INT32_MAX ? int(h) : -1;
}

std::string fsNameOf(long type) {
    switch (static_cast<unsigned long>(type)) {
    case EXT4_SUPER_MAGIC:
        return "ext4";
    case TMPFS_MAGIC:
        return "tmpfs";
    case MSDOS_SUPER_MAGIC:
        return "vfat";
    case ISOFS_SUPER_MAGIC:
        return "iso9660";
    case BTRFS_SUPER_MAGIC:
        return "btrfs";
    case XFS_SUPER_MAGIC:
        return "xfs";
    case NFS_SUPER_MAGIC:
        return "nfs";
    case OVERLAYFS_SUPER_MAGIC:
        return "overlay";
    default:
        return "unknown";
    }
}

class PosixFileSystem final : public FileSystem {
public:
    int open(const std::string& path, uint32_t flags, FileShare share, uint32_t mode,
             FileHandle& out) override {
        out = kNoFile;
        bool wantRead = flags & kFileRead, wantWrite = flags & kFileWrite;
        if (!wantRead && !wantWrite) return EINVAL;
        int extra = O_CLOEXEC;
        if (flags & kFileCreate) extra |= O_CREAT;
        if ((flags & kFileCreate) && (flags & kFileExclusive)) extra |= O_EXCL;
        if (flags & kFileTruncate) extra |= O_TRUNC;
        if (flags & kFileNoFollow) extra |= O_NOFOLLOW;
        if (flags & kFileWriteThrough) extra |= O_DSYNC;
        if (flags & kFileAppendOnly) extra |= O_APPEND;
        // A writer opens for reading too when it may, so that it can hold its share locks.
        bool canRead = true;
        int fd = ::open(path.c_str(), (wantWrite ? O_RDWR : O_RDONLY) | extra, mode);
        if (fd < 0 && wantWrite && !wantRead && errno == EACCES) {
            canRead = false;
            fd = ::open(path.c_str(), O_WRONLY | extra, mode);
        }
        if (fd < 0) return errno;
        if (int err = claimShare(fd, canRead, wantRead, wantWrite, share)) {
            ::close(fd);
            return err;
        }
        out = fd | ((flags & kFileAppendOnly) ? kAppendMark : 0);
        return 0;
    }

    int close(FileHandle h) override {
        int fd = fdOf(h);
        if (fd < 0) return EBADF;
        return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
    }

    int read(FileHandle h, uint64_t pos, void* buf, size_t count, size_t& done) override {
        done = 0;
        if (pos > uint64_t(INT64_MAX)) return EINVAL;
        for (;;) {
            ssize_t n = ::pread(fdOf(h), buf, count, off_t(pos));
            if (n >= 0) {
                done = size_t(n);
                return 0;
            }
            if (errno != EINTR) return errno;
        }
    }

    int write(FileHandle h, uint64_t pos, const void* buf, size_t count, size_t& done) override {
        done = 0;
        if (pos > uint64_t(INT64_MAX)) return EINVAL;
        int fd = fdOf(h);
        for (;;) {
            // An append-only file writes at its end whatever the position.
            ssize_t n = (h & kAppendMark) ? ::write(fd, buf, count) : ::pwrite(fd, buf, count, off_t(pos));
            if (n >= 0) {
                done = size_t(n);
                return 0;
            }
            if (errno != EINTR) return errno;
        }
    }

    int sync(FileHandle h, bool dataOnly) override {
        int fd = fdOf(h);
        return (dataOnly ? ::fdatasync(fd) : ::fsync(fd)) == 0 ? 0 : errno;
    }

    int size(FileHandle h, uint64_t& out) override {
        struct stat st {};
        if (::fstat(fdOf(h), &st) != 0) return errno;
        out = uint64_t(st.st_size);
        return 0;
    }

    int truncate(FileHandle h, uint64_t size) override {
        if (size > uint64_t(INT64_MAX)) return EINVAL;
        return ::ftruncate(fdOf(h), off_t(size)) == 0 ? 0 : errno;
    }

    int map(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) override {
        addr = nullptr;
        if (length == 0 || offset > uint64_t(INT64_MAX)) return EINVAL;
        void* p = ::mmap(nullptr, length, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fdOf(h),
                         off_t(offset));
        if (p == MAP_FAILED) return errno;
        addr = p;
        return 0;
    }

    int unmap(void* addr, size_t length) override { return ::munmap(addr, length) == 0 ? 0 : errno; }

    int stat(const std::string& path, FileStat& out) override {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return errno;
        out.size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
        out.isDir = S_ISDIR(st.st_mode);
        out.mode = st.st_mode & 07777;
        // The permission bits count even for a user whom access() would let through.
        out.readOnly = (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
        out.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        return 0;
    }

    int volume(const std::string& path, VolumeInfo& out) override {
        struct statfs fs {};
        if (::statfs(path.c_str(), &fs) != 0) return errno;
        out.fsName = fsNameOf(long(fs.f_type));
        // Block counts are in fragments where the file system has them.
        uint64_t unit = uint64_t(fs.f_frsize ? fs.f_frsize : fs.f_bsize);
        out.freeBytes = uint64_t(fs.f_bavail) * unit;
        out.totalBytes = uint64_t(fs.f_blocks) * unit;
        if (fs.f_type == MSDOS_SUPER_MAGIC) {
            out.maxFileSize = 4294967294ULL;
        } else if (fs.f_type == ISOFS_SUPER_MAGIC) {
            out.maxFileSize = 0; // read-only medium
        } else {
            long bits = ::pathconf(path.c_str(), _PC_FILESIZEBITS);
            out.maxFileSize = bits <= 0 || bits >= 64 ? uint64_t(INT64_MAX) : (uint64_t(1) << (bits - 1)) - 1;
        }
        return 0;
    }

    int listDir(const std::string& path, std::vector<DirEntry>& out) override {
        out.clear();
        DIR* d = ::opendir(path.empty() ? "." : path.c_str());
        if (!d) return errno;
        while (const dirent* e = ::readdir(d)) {
            std::string_view n = e->d_name;
            if (n == "." || n == "..") continue;
            bool dir = e->d_type == DT_DIR;
            if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
                struct stat st {};
                dir = ::fstatat(::dirfd(d), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
            }
            out.push_back({std::string(n), dir});
        }
        ::closedir(d);
        return 0;
    }

    int remove(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

    int rename(const std::string& from, const std::string& to, bool replace) override {
        if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // A file system without the flag: check first.
        struct stat st {};
        if (::lstat(to.c_str(), &st) == 0) return EEXIST;
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    }

    int mkdir(const std::string& path, uint32_t mode) override {
        return ::mkdir(path.c_str(), mode_t(mode)) == 0 ? 0 : errno;
    }
    int rmdir(const std::string& path) override { return ::rmdir(path.c_str()) == 0 ? 0 : errno; }
    int chmod(const std::string& path, uint32_t mode) override {
        return ::chmod(path.c_str(), mode_t(mode)) == 0 ? 0 : errno;
    }

    int syncDir(const std::string& path) override {
        int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return errno;
        int err = ::fsync(fd) == 0 ? 0 : errno;
        ::close(fd);
        return err;
    }
};

} // namespace

FileSystem& PosixFiles() {
    static PosixFileSystem fs;
    return fs;
}

} // namespace plat
