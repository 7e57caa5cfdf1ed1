// Helpers of the table-file tests: a database folder with its buffer and transaction managers,
// the contacts table's dictionary, and tables built and opened through the storage layer.
#pragma once
#include "db/storage/qbsrixhl.h"
#include "db/storage/qbtbdict.h"
#include "db/storage/qbtbindx.h"
#include "db/storage/qbtbverify.h"
#include "platform/Files.h"
#include "tests/db/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace tabletest {

// A count bound for model runs: the given default, or the environment variable PW_MODEL_SCALE
// times it for long runs by hand.
inline uint64_t scaled(uint64_t base) {
    const char* s = std::getenv("PW_MODEL_SCALE");
    const long k = s ? std::strtol(s, nullptr, 10) : 1;
    return base * uint64_t(k > 0 ? k : 1);
}

// The contacts table of the paging client: its fields and "nameIndex".
inline TqbServerDataDict contactsDictionary(uint32_t blockSize = 4096) {
    TqbServerDataDict d(blockSize);
    d.SetTableName("contacts");
    d.AddField("name", "Contact name", qbtShortString, 40, 0, true);
    d.AddField("id", "Pager ID or alias", qbtShortString, 40, 0, false);
    d.AddField("servicenumber", "Paging service", qbtInt32, 2, 0, false);
    d.AddField("password", "Pager PIN", qbtShortString, 20, 0, false);
    for (int i = 1; i <= 10; ++i)
        d.AddField("memberGr" + std::to_string(i), "Group " + std::to_string(i), qbtBoolean, 0, 0, false);
    const int32_t name = 0;
    d.AddIndex("nameIndex", "Contacts by name", 0, 1, &name, nullptr, true, true, true);
    return d;
}

// A database folder ("/db" in memory, or a real temporary one) with its managers.
class Db {
public:
    explicit Db(bool inMemory = true) : folder_(inMemory) {
        bm = std::make_unique<TqbBufferManager>();
        bm->SetMaxRAM(256);
        tm = std::make_unique<TqbSrTransactionMgr>(bm.get(), false, folder_.path(), nullptr);
    }
    ~Db() {
        tm.reset();
        bm.reset();
    }
    const std::string& path() const { return folder_.path(); }
    std::string file(const std::string& name) const { return folder_.file(name); }

    TqbSrTransaction* begin(bool failSafe = false) {
        TqbSrTransaction* t = nullptr;
        tm->StartTransaction(1, failSafe, t);
        return t;
    }
    void commit() {
        bool nested;
        tm->Commit(1, nested);
    }
    void rollback() {
        bool nested;
        tm->Rollback(1, nested);
    }

    std::unique_ptr<TqbBufferManager> bm;
    std::unique_ptr<TqbSrTransactionMgr> tm;

private:
    storetest::Folder folder_;
};

// A table file opened read-write through the buffer manager.
class Table {
public:
    // Builds the file from the dictionary: header, index header with every index of the
    // dictionary (index 0 references only), and the dictionary stream.
    Table(Db& db, const std::string& name, TqbServerDataDict dict) : db_(db), dict_(std::move(dict)) {
        CreateTableFile(db.file(name + ".QB2"), dict_, false);
        open(name);
        TqbSrTransaction* t = db.begin();
        IndexHeaderCreate(*fi, t);
        for (int32_t i = 0; i < dict_.IndexCount(); ++i)
            IndexHeaderAddIndex(*fi, t, i, i == 0, dict_.IndexAllowDups(i),
                                uint32_t(dict_.IndexKeyLength(i)));
        dict_.SaveToTableFile(*fi, t);
        db.commit();
        bindIndexes();
    }
    // Opens an existing file and loads its dictionary.
    Table(Db& db, const std::string& name) : db_(db) {
        open(name);
        dict_.LoadFromTableFile(*fi, nullptr);
        bindIndexes();
    }
    ~Table() {
        db_.bm->RemoveFile(*fi);
        if (IsFileOpen(*fi)) try {
                CloseFile(*fi);
            } catch (...) {
            }
    }
    TqbIndexData index(int32_t i) {
        TqbIndexData d;
        d.FileInfo = fi.get();
        d.IndexNo = i;
        if (i > 0 && !dict_.IsIndexDescUserDefined(i)) {
            d.Compare = [](const uint8_t* a, const uint8_t* b, const void* c) {
                return CompareCompositeKeys(a, b, *static_cast<const TqbCompositeCompareData*>(c));
            };
            d.CompareData = &compare_[size_t(i)];
        }
        return d;
    }
    // Problems the verifier finds, one per line (empty when none). The storage tests fill indexes
    // apart from the records unless they ask for the entries to be held against them.
    std::string verify(TqbSrTransaction* t = nullptr, bool entriesAgainstRecords = false) {
        TqbVerifyOptions o;
        o.EntriesAgainstRecords = entriesAgainstRecords;
        return FormatVerifyProblems(VerifyTableFile(*fi, t, o));
    }
    const TqbServerDataDict& dict() const { return dict_; }
    // A block as the transaction (none: everybody) sees it.
    std::string block(uint32_t n, TqbSrTransaction* t = nullptr) {
        TqbBlockHold h(*fi, t, n, false);
        return std::string(reinterpret_cast<const char*>(h.p()), fi->BlockSize);
    }
    std::unique_ptr<TbtdFileInfo> fi;

private:
    void open(const std::string& name) {
        fi = AllocFileInfo(db_.file(name), "QB2", db_.bm.get());
        OpenFile(*fi, true, 0, false, false);
        DataFileOpen(*fi);
    }
    void bindIndexes() {
        dict_.BindIndexHelpers();
        compare_.clear();
        for (int32_t i = 0; i < dict_.IndexCount(); ++i)
            compare_.push_back(i > 0 && !dict_.IsIndexDescUserDefined(i) ? MakeIndexCompareInfo(dict_, i)
                                                                         : TqbCompositeCompareData{});
    }
    Db& db_;
    TqbServerDataDict dict_;
    std::vector<TqbCompositeCompareData> compare_;
};

inline std::string readFile(const std::string& path) {
    std::string s;
    plat::FileReadAll(path, s);
    return s;
}

inline std::string hex(std::string_view s) {
    static const char* d = "0123456789abcdef";
    std::string r;
    for (unsigned char c : s) {
        r += d[c >> 4];
        r += d[c & 15];
    }
    return r;
}

} // namespace tabletest
