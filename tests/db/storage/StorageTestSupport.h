// Helpers of the storage tests: a database folder on disk or in memory, table-file images, and a
// table opened through the buffer manager.
#pragma once
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrbase.h"
#include "platform/ByteCodec.h"
#include "platform/Files.h"
#include "platform/testing/MemoryFiles.h"
#include "tests/db/DbTestSupport.h"
#include "tests/db/storage/TableImage.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace storetest {

// Equal bytes, or where they first differ (without printing whole files).
inline ::testing::AssertionResult sameBytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    return ::testing::AssertionFailure()
           << "sizes " << got.size() << " and " << want.size() << ", first difference at " << i;
}

// A table as want has it through want's block count, and only whole blocks past it (blocks that a
// commit which never completed had added: nothing counts them).
inline ::testing::AssertionResult sameTableBlocks(const std::string& got, const std::string& want) {
    const auto* h = reinterpret_cast<const uint8_t*>(want.data());
    const uint32_t bs = want.size() > kHdrBlockCount ? BlockWord(h, kHdrBlockSize) : 0;
    if (bs == 0 || got.size() < want.size() || (got.size() - want.size()) % bs != 0)
        return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size();
    return sameBytes(got.substr(0, want.size()), want);
}

inline void putFile(const std::string& path, const std::string& bytes) {
    plat::File f;
    ASSERT_EQ(f.open(path, plat::kFileReadWrite | plat::kFileCreate | plat::kFileTruncate), 0) << path;
    ASSERT_EQ(plat::FileWriteExact(f.handle(), 0, bytes.data(), bytes.size()), 0);
}

inline std::string getFile(const std::string& path) {
    std::string s;
    plat::FileReadAll(path, s);
    return s;
}

// A database folder: a real temporary folder, or "/db" on an in-memory file system.
class Folder {
public:
    explicit Folder(bool inMemory) {
        if (inMemory) {
            mem_ = std::make_unique<plat::MemoryFiles>();
            scoped_.emplace(*mem_);
            plat::DirCreate("/db");
            path_ = "/db";
        } else {
            dir_ = std::make_unique<pwtest::TempDir>();
            path_ = dir_->str();
        }
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    plat::MemoryFiles* memory() { return mem_.get(); }

private:
    std::unique_ptr<pwtest::TempDir> dir_;
    std::unique_ptr<plat::MemoryFiles> mem_;
    std::optional<plat::ScopedFiles> scoped_;
    std::string path_;
};

// A table file opened read-write and known to the buffer manager.
class Table {
public:
    Table(TqbBufferManager& bm, const std::string& path, int shareMode = 3) : bm_(bm) {
        fi = AllocFileInfo(path, "QB2", &bm);
        OpenFile(*fi, true, shareMode, false, false);
        TqbBlockRelease r;
        bm.AddFile(*fi, nullptr, r, false);
        r();
    }
    ~Table() {
        bm_.RemoveFile(*fi);
        if (IsFileOpen(*fi)) try {
                CloseFile(*fi);
            } catch (...) {
            }
    }
    // The block as the transaction (or, without one, everybody) sees it.
    std::string read(uint32_t block, TqbSrTransaction* t = nullptr) {
        TqbBlockRelease r;
        uint8_t* b = bm_.GetBlock(*fi, block, r, false, t);
        std::string s(reinterpret_cast<char*>(b), fi->BlockSize);
        r();
        return s;
    }
    // Fills the block's bytes from offset from (past the header's fields for block 0) with c in
    // the transaction.
    void write(uint32_t block, TqbSrTransaction* t, char c) {
        TqbBlockRelease r;
        uint8_t* b = bm_.GetBlock(*fi, block, r, true, t);
        uint32_t from = block == 0 ? 1036 : 16;
        std::memset(b + from, c, fi->BlockSize - from);
        r();
    }
    std::unique_ptr<TbtdFileInfo> fi;

private:
    TqbBufferManager& bm_;
};

// A buffer manager, the transaction manager of the folder and one table of it.
struct Store {
    Store(const std::string& folder, const std::string& table)
        : tm(&bm, false, folder, nullptr), tab(bm, table) {}
    TqbBufferManager bm;
    TqbSrTransactionMgr tm;
    Table tab;
};

} // namespace storetest
