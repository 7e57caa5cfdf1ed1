// The paging client's contacts table for the storage benchmarks: a folder's buffer and transaction
// managers with the contacts dictionary, and a table file with index 0 (the record references) and
// the name index, filled through the storage layer as the engine will fill it.
#pragma once
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrixhl.h"
#include "db/storage/qbtbdict.h"
#include "db/storage/qbtbindx.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace pwbench {

// A folder's managers with a RAM limit of maxRAM MB, and the contacts dictionary.
struct ContactsStore {
    TqbBufferManager bm;
    std::unique_ptr<TqbSrTransactionMgr> tm;
    TqbServerDataDict dict;
    TqbCompositeCompareData cmp;

    ContactsStore(const std::string& folder, uint32_t maxRAM) {
        bm.SetMaxRAM(maxRAM);
        tm = std::make_unique<TqbSrTransactionMgr>(&bm, false, folder, nullptr);
        dict.SetTableName("contacts");
        dict.AddField("name", "", qbtShortString, 40, 0, true);
        dict.AddField("id", "", qbtShortString, 40, 0, false);
        dict.AddField("servicenumber", "", qbtInt32, 2, 0, false);
        dict.AddField("password", "", qbtShortString, 20, 0, false);
        for (int i = 1; i <= 10; ++i)
            dict.AddField("memberGr" + std::to_string(i), "", qbtBoolean, 0, 0, false);
        const int32_t name = 0;
        dict.AddIndex("nameIndex", "", 0, 1, &name, nullptr, true, true, true);
        dict.BindIndexHelpers();
        cmp = MakeIndexCompareInfo(dict, 1);
    }
    TqbSrTransaction* begin() {
        TqbSrTransaction* t = nullptr;
        tm->StartTransaction(1, false, t);
        return t;
    }
    void commit() {
        bool nested;
        tm->Commit(1, nested);
    }
    void setString(std::vector<uint8_t>& rec, int field, const std::string& s) {
        uint8_t v[41] = {uint8_t(s.size())};
        std::memcpy(v + 1, s.data(), s.size());
        dict.SetRecordField(field, rec.data(), v);
    }
};

// One contacts table file of a store, with index 0 and the name index; removed with the object.
struct ContactsTable {
    ContactsStore& store;
    std::string path;
    std::unique_ptr<TbtdFileInfo> fi;

    ContactsTable(ContactsStore& s, const std::string& path) : store(s), path(path) {
        CreateTableFile(path, s.dict, false);
        fi = AllocFileInfo(path, "QB2", &s.bm);
        OpenFile(*fi, true, 0, false, false);
        DataFileOpen(*fi);
        TqbSrTransaction* t = s.begin();
        IndexHeaderCreate(*fi, t);
        IndexHeaderAddIndex(*fi, t, 0, true, false, 8);
        IndexHeaderAddIndex(*fi, t, 1, false, true, uint32_t(s.dict.IndexKeyLength(1)));
        s.dict.SaveToTableFile(*fi, t);
        s.commit();
    }
    ~ContactsTable() {
        store.bm.RemoveFile(*fi);
        CloseFile(*fi);
        std::filesystem::remove(path);
    }
    TqbIndexData index(int32_t i) {
        TqbIndexData d;
        d.FileInfo = fi.get();
        d.IndexNo = i;
        if (i == 1) {
            d.Compare = [](const uint8_t* a, const uint8_t* b, const void* c) {
                return CompareCompositeKeys(a, b, *static_cast<const TqbCompositeCompareData*>(c));
            };
            d.CompareData = &store.cmp;
        }
        return d;
    }
    // Row i named Name (ID "ID<i>", service number i % 12 + 1) with its two index entries, in T.
    void insert(TqbSrTransaction* t, int i, const std::string& name) {
        ContactsStore& s = store;
        rec_.resize(size_t(s.dict.RecordLength()));
        key_.resize(size_t(s.dict.IndexKeyLength(1)));
        s.dict.InitRecord(rec_.data());
        s.setString(rec_, 0, name);
        s.setString(rec_, 1, "ID" + std::to_string(i));
        const int32_t service = i % 12 + 1;
        s.dict.SetRecordField(2, rec_.data(), &service);
        uint64_t ref;
        DataFileAddRecord(*fi, t, ref, rec_.data());
        uint8_t refKey[8];
        plat::StoreLE64(refKey, ref);
        BuildCompositeKey(s.dict, 1, rec_.data(), key_.data());
        TqbIndexData refs = index(0), names = index(1);
        if (!IndexInsertKey(refs, t, refKey, ref) || !IndexInsertKey(names, t, key_.data(), ref))
            throw std::runtime_error("key already present");
    }
    // count records named nameOf(i) in one transaction.
    template <class NameOf> void fill(int count, NameOf&& nameOf) {
        TqbSrTransaction* t = store.begin();
        for (int i = 0; i < count; ++i)
            insert(t, i, nameOf(i));
        store.commit();
    }

private:
    std::vector<uint8_t> rec_, key_;
};

} // namespace pwbench
