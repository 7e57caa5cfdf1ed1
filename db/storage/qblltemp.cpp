// Temporary storage on a memory-mapped file: bitmap allocation, block views, the private file.
#include "db/storage/qblltemp.h"

#include "db/base/qbllexcp.h"
#include "db/base/qbsrmgr.h"
#include "platform/Paths.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

std::atomic<uint32_t> nextNumber{1};

[[noreturn]] void raiseCreate(int32_t code, const std::string& name, int64_t size, int err) {
    RaiseResourceErrorFmt<EqbException>(GeneralStrings(), code,
                                        {name, size, err, err, plat::FileErrorText(err)});
}

} // namespace

TqbTempStorageMM::~TqbTempStorageMM() {
    file_.close();
}

void TqbTempStorageMM::Create(const std::string& Path, int32_t BlockSize, int64_t Size) {
    std::lock_guard lock(padlock_);
    if (BlockSize <= 0 || Size <= 0 || Size > int64_t(INT32_MAX) * BlockSize) {
        RaiseResourceErrorFmt<EqbException>(GeneralStrings(), 256,
                                            {Size, EINVAL, EINVAL, plat::FileErrorText(EINVAL)});
    }
    file_.close();
    blockSize_ = BlockSize;
    size_ = (Size + kSizeUnit - 1) / kSizeUnit * kSizeUnit;
    blockCount_ = int32_t(size_ / BlockSize);
    // Whole bytes, with the bits past the last block marked used so that they are never handed out.
    bitmap_.assign((size_t(blockCount_) + 7) / 8, 0);
    for (int32_t b = blockCount_; b < int32_t(bitmap_.size() * 8); ++b)
        bitmap_[size_t(b) / 8] |= uint8_t(1u << (b % 8));
    searchPos_ = 0;
    inUse_ = 0;
    fileName_.clear();
    folder_ = Path;
    if (folder_.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        folder_ = tmp && *tmp ? tmp : "/tmp";
    }
    if (folder_.size() > 219) folder_.resize(219);
    folder_ = plat::IncludeTrailingPathDelimiter(folder_);
}

void TqbTempStorageMM::openFile() {
    if (file_.isOpen()) return;
    int err = EEXIST;
    std::string name;
    // A name that exists belongs to someone else: take the next number, never that file.
    for (int attempt = 0; err == EEXIST && attempt < 1000; ++attempt) {
        name = folder_ + std::to_string(nextNumber.fetch_add(1)) + ".TMP";
        err = file_.open(
            name, plat::kFileReadWrite | plat::kFileCreate | plat::kFileExclusive | plat::kFileNoFollow,
            plat::FileShare::None, 0600);
    }
    if (err) raiseCreate(258, name, size_, err);
    err = plat::FileTruncate(file_.handle(), uint64_t(size_));
    if (err) {
        file_.close();
        plat::FileDelete(name);
        raiseCreate(259, name, size_, err);
    }
    // The open handle keeps the file; its name is not needed any more.
    plat::FileDelete(name);
    fileName_ = name;
}

template <class Op> void TqbTempStorageMM::withView(const char* opName, int32_t block, Op op) {
    const uint64_t page = uint64_t(::sysconf(_SC_PAGESIZE));
    uint64_t at = uint64_t(block) * uint64_t(blockSize_);
    uint64_t start = at / page * page;
    size_t length = size_t(at - start) + size_t(blockSize_);
    void* view = nullptr;
    if (int err = plat::FileMap(file_.handle(), start, length, true, view)) {
        RaiseResourceErrorFmt<EqbException>(GeneralStrings(), 260,
                                            {opName, block, fileName_, err, err, plat::FileErrorText(err)});
    }
    op(static_cast<uint8_t*>(view) + (at - start));
    plat::FileUnmap(view, length);
}

void TqbTempStorageMM::checkBlock(const char* opName, int32_t block) {
    // A free or unknown block holds nothing to give back.
    if (block < 0 || block >= blockCount_ || !(bitmap_[size_t(block) / 8] & (1u << (block % 8)))) {
        RaiseResourceErrorFmt<EqbException>(
            GeneralStrings(), 260, {opName, block, fileName_, EINVAL, EINVAL, plat::FileErrorText(EINVAL)});
    }
}

void TqbTempStorageMM::release(int32_t block) {
    bitmap_[size_t(block) / 8] &= uint8_t(~(1u << (block % 8)));
    --inUse_;
    searchPos_ = size_t(block) / 8;
}

bool TqbTempStorageMM::IsFull() {
    std::lock_guard lock(padlock_);
    return inUse_ >= blockCount_;
}

bool TqbTempStorageMM::HasSpaceFor(int32_t Count) {
    std::lock_guard lock(padlock_);
    return blockCount_ - inUse_ >= Count;
}

int32_t TqbTempStorageMM::WriteBlock(const void* Buffer) {
    std::lock_guard lock(padlock_);
    int32_t block = -1;
    for (size_t i = 0; i < bitmap_.size() && block < 0; ++i) {
        size_t byte = (searchPos_ + i) % bitmap_.size();
        if (bitmap_[byte] == 0xFF) continue;
        int bit = 0;
        while (bitmap_[byte] & (1u << bit))
            ++bit;
        block = int32_t(byte * 8 + size_t(bit));
        searchPos_ = byte;
    }
    if (block < 0) RaiseResourceErrorFmt<EqbException>(GeneralStrings(), 257, {size_ / (1024 * 1024)});
    openFile();
    withView("WriteBlock", block, [&](uint8_t* p) { std::memcpy(p, Buffer, size_t(blockSize_)); });
    bitmap_[size_t(block) / 8] |= uint8_t(1u << (block % 8));
    ++inUse_;
    return block;
}

void TqbTempStorageMM::ReadBlock(int32_t BlockNumber, void* Buffer) {
    std::lock_guard lock(padlock_);
    checkBlock("ReadBlock", BlockNumber);
    withView("ReadBlock", BlockNumber, [&](uint8_t* p) {
        std::memcpy(Buffer, p, size_t(blockSize_));
        std::memset(p, 0, size_t(blockSize_));
    });
    release(BlockNumber);
}

void TqbTempStorageMM::ReleaseBlock(int32_t BlockNumber) {
    std::lock_guard lock(padlock_);
    checkBlock("ReleaseBlock", BlockNumber);
    release(BlockNumber);
}
