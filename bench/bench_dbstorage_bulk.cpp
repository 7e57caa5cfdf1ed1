// One transaction far larger than the buffer manager's RAM limit: the cost per row of inserting
// 1,000,000 contacts-shaped rows with their name index, with the default limit beside a 1 GB limit
// that holds the whole transaction, in one run. The two should cost about the same per row.
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrixhl.h"
#include "db/storage/qbtbdict.h"
#include "db/storage/qbtbindx.h"

#include "bench/BenchSupport.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string g_folder;
int g_rows = 0;

// A contacts table with index 0 and the name index in its own folder, with a RAM limit of
// maxRAM MB.
struct Bulk {
    TqbBufferManager bm;
    std::unique_ptr<TqbSrTransactionMgr> tm;
    std::unique_ptr<TbtdFileInfo> fi;
    TqbServerDataDict dict;
    TqbCompositeCompareData cmp;

    Bulk(const std::string& folder, uint32_t maxRAM) {
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
        CreateTableFile(folder + "/contacts.QB2", dict, false);
        fi = AllocFileInfo(folder + "/contacts", "QB2", &bm);
        OpenFile(*fi, true, 0, false, false);
        DataFileOpen(*fi);
        TqbSrTransaction* t = begin();
        IndexHeaderCreate(*fi, t);
        IndexHeaderAddIndex(*fi, t, 0, true, false, 8);
        IndexHeaderAddIndex(*fi, t, 1, false, true, uint32_t(dict.IndexKeyLength(1)));
        dict.SaveToTableFile(*fi, t);
        commit();
        dict.BindIndexHelpers();
        cmp = MakeIndexCompareInfo(dict, 1);
    }
    ~Bulk() {
        bm.RemoveFile(*fi);
        CloseFile(*fi);
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
    TqbIndexData index(int32_t i) {
        TqbIndexData d;
        d.FileInfo = fi.get();
        d.IndexNo = i;
        if (i == 1) {
            d.Compare = [](const uint8_t* a, const uint8_t* b, const void* c) {
                return CompareCompositeKeys(a, b, *static_cast<const TqbCompositeCompareData*>(c));
            };
            d.CompareData = &cmp;
        }
        return d;
    }
    void setString(std::vector<uint8_t>& rec, int field, const std::string& s) {
        uint8_t v[41] = {uint8_t(s.size())};
        std::memcpy(v + 1, s.data(), s.size());
        dict.SetRecordField(field, rec.data(), v);
    }
    // Every row with its two index entries in one transaction; the names come in a scattered
    // order (a permutation of the numbers below the row count).
    void insertAll() {
        std::vector<uint8_t> rec(size_t(dict.RecordLength())), key(size_t(dict.IndexKeyLength(1)));
        TqbSrTransaction* t = begin();
        TqbIndexData refs = index(0), names = index(1);
        for (int i = 0; i < g_rows; ++i) {
            dict.InitRecord(rec.data());
            setString(rec, 0, "Contact " + std::to_string(int64_t(i) * 48271 % g_rows + g_rows));
            setString(rec, 1, "ID" + std::to_string(i));
            const int32_t service = i % 12 + 1;
            dict.SetRecordField(2, rec.data(), &service);
            uint64_t ref;
            DataFileAddRecord(*fi, t, ref, rec.data());
            uint8_t refKey[8];
            plat::StoreLE64(refKey, ref);
            BuildCompositeKey(dict, 1, rec.data(), key.data());
            if (!IndexInsertKey(refs, t, refKey, ref) || !IndexInsertKey(names, t, key.data(), ref))
                throw std::runtime_error("key already present");
        }
        commit();
    }
};

// One transaction of all rows in a fresh folder with a RAM limit of range(0) MB.
void BM_StorageBulkInsert(benchmark::State& state) {
    const uint32_t maxRAM = uint32_t(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        const std::string folder = g_folder + "/bulk" + std::to_string(maxRAM);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        auto b = std::make_unique<Bulk>(folder, maxRAM);
        state.ResumeTiming();
        b->insertAll();
        state.PauseTiming();
        b.reset();
        std::filesystem::remove_all(folder);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * g_rows);
}

} // namespace

BENCHMARK(BM_StorageBulkInsert)
    ->Arg(TqbBufferManager::kDefaultMaxRAM)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

int main(int argc, char** argv) {
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-bulk-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    g_rows = int(pwbench::size(1000000, 20000));
    benchmark::Initialize(&argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        const double small =
            reporter.rate("BM_StorageBulkInsert/" + std::to_string(TqbBufferManager::kDefaultMaxRAM));
        const double large = reporter.rate("BM_StorageBulkInsert/1024");
        std::printf("Bulk %d rows in one transaction: %.2f us/row with the default %u MB limit, %.2f us/row "
                    "with 1 GB, ratio %.2f (target <= 1.20)\n",
                    g_rows, 1e6 / small, TqbBufferManager::kDefaultMaxRAM, 1e6 / large, large / small);
    });
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
