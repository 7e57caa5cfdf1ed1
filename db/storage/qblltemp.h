// Temporary storage: a file-backed area of fixed size cut into equal blocks, allocated by a
// bitmap, where the buffer manager parks pages that must leave RAM.
#pragma once
#include "db/base/qbllbase.h"
#include "platform/Files.h"

#include <cstdint>
#include <string>
#include <vector>

class TqbBaseTempStorage {
public:
    virtual ~TqbBaseTempStorage() = default;
    virtual int32_t BlockCount() const = 0;
    // Bytes.
    virtual int64_t Size() const = 0;
    virtual void Create(const std::string& Path, int32_t BlockSize, int64_t Size) = 0;
    virtual bool IsFull() = 0;
    virtual bool HasSpaceFor(int32_t Count) = 0;
    // Copies a stored block back and frees it.
    virtual void ReadBlock(int32_t BlockNumber, void* Buffer) = 0;
    // Frees a block without reading it.
    virtual void ReleaseBlock(int32_t BlockNumber) = 0;
    // Stores one block in the first free block.
    virtual int32_t WriteBlock(const void* Buffer) = 0;
};

// On a file mapped one block at a time. The file is made on the first write, private to this
// process (created anew, never through a link, readable by its owner only) and removed from its
// folder at once, so that nothing outlives the storage, not even after a crash.
class TqbTempStorageMM : public TqbBaseTempStorage {
public:
    static constexpr int64_t kSizeUnit = 524288;

    TqbTempStorageMM() = default;
    ~TqbTempStorageMM() override;
    TqbTempStorageMM(const TqbTempStorageMM&) = delete;
    TqbTempStorageMM& operator=(const TqbTempStorageMM&) = delete;

    int32_t BlockCount() const override { return blockCount_; }
    int64_t Size() const override { return size_; }
    // Path: the folder for the file (empty: $TMPDIR or /tmp); Size is rounded up to a multiple
    // of 512 KB.
    void Create(const std::string& Path, int32_t BlockSize, int64_t Size) override;
    bool IsFull() override;
    bool HasSpaceFor(int32_t Count) override;
    void ReadBlock(int32_t BlockNumber, void* Buffer) override;
    void ReleaseBlock(int32_t BlockNumber) override;
    int32_t WriteBlock(const void* Buffer) override;

    // The name the file had in its folder (empty before the first write) and the open file.
    const std::string& FileName() const { return fileName_; }
    const plat::File& MapFile() const { return file_; }
    int32_t BlocksInUse() const { return inUse_; }

private:
    void openFile();
    // Runs op on a view of one block; raises the view error with opName.
    template <class Op> void withView(const char* opName, int32_t block, Op op);
    void checkBlock(const char* opName, int32_t block);
    void release(int32_t block);

    int32_t blockSize_ = 0;
    int32_t blockCount_ = 0;
    int64_t size_ = 0;
    std::vector<uint8_t> bitmap_;
    plat::File file_;
    std::string folder_;
    std::string fileName_;
    size_t searchPos_ = 0;
    TqbPadlock padlock_;
    int32_t inUse_ = 0;
};
