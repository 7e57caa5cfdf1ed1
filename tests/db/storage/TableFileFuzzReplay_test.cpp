// Replays the table-file fuzz harnesses over real table files and dictionary streams and changed
// variants of them, so that CI runs them under the sanitizers without clang. With
// PW_WRITE_FUZZ_CORPUS set, the seeds are also written to the fuzz targets' corpus folders.
#include "TableFileSupport.h"

#include "db/storage/qbsrblob.h"
#include "tests/fuzz/FuzzReplay.h"
#include "tests/fuzz/TableFileFuzz.h"

using namespace tabletest;

namespace {

// A contacts table with records, its name index and a BLOB; the file's bytes.
std::string contactsFile(int records) {
    std::string bytes;
    {
        Db db;
        TqbServerDataDict d = contactsDictionary();
        d.AddField("memo", "", qbtBLOB, 0, 0, false);
        Table t(db, "seed", d);
        TqbSrTransaction* tr = db.begin();
        const TqbDataDictionary& dd = t.dict();
        std::vector<uint8_t> rec(size_t(dd.RecordLength())), key(size_t(dd.IndexKeyLength(1)));
        for (int i = 0; i < records; ++i) {
            dd.InitRecord(rec.data());
            const std::string name = "name " + std::to_string(i * 31 % records);
            uint8_t v[41] = {uint8_t(name.size())};
            std::memcpy(v + 1, name.data(), name.size());
            dd.SetRecordField(0, rec.data(), v);
            uint64_t ref;
            DataFileAddRecord(*t.fi, tr, ref, rec.data());
            BuildCompositeKey(dd, 1, rec.data(), key.data());
            IndexInsertKey(t.index(1), tr, key.data(), ref);
        }
        uint64_t blob;
        TableBLOBCreate(*t.fi, tr, blob);
        const std::string memo(5000, 'm');
        TableBLOBWrite(*t.fi, tr, blob, 0, uint32_t(memo.size()), memo.data());
        db.commit();
        db.bm->RemoveFile(*t.fi);
        CloseFile(*t.fi);
        bytes = readFile(db.file("seed.QB2"));
    }
    return bytes;
}

} // namespace

TEST(TableFileFuzzReplay, WalkAndStreamChainOfChangedFilesRunClean) {
    const std::vector<std::string> seeds = {contactsFile(0), contactsFile(60)};
    ASSERT_GT(seeds[1].size(), 5 * 4096u);
    EXPECT_TRUE(pwfuzz::WriteCorpus("table_walk", seeds));
    EXPECT_TRUE(pwfuzz::WriteCorpus("stream_chain", seeds));
    pwfuzz::Replay(seeds, pwfuzz::RunTableFileWalk);
    pwfuzz::Replay(seeds, pwfuzz::RunStreamChain);
}

TEST(TableFileFuzzReplay, DictionaryDecodingOfChangedStreamsRunsClean) {
    std::string contacts, wide;
    contactsDictionary().WriteToStream(contacts);
    TqbDataDictionary w;
    TqbValidityCheck v;
    v.HasMinimum = v.HasDefault = true;
    v.Minimum = "min";
    v.Default = "def";
    w.AddField("text", "", qbtWideString, 20, 0, false, &v);
    w.AddField("n", "", qbtShortString, 5, 0, true);
    const int32_t f[2] = {1, 0};
    const std::string h[2] = {"NumbersOnly", ""};
    w.AddIndex("i", "", 0, 2, f, h, true, false, true);
    w.AddUserIndex("u", "", 0, 30, false, true, false);
    w.WriteToStream(wide);
    const std::vector<std::string> seeds = {contacts, wide};
    EXPECT_TRUE(pwfuzz::WriteCorpus("dict_decode", seeds));
    pwfuzz::Replay(seeds, pwfuzz::RunDictDecode);
    // The saved inputs too, among them those the fuzzer found.
    const std::vector<std::string> saved = pwfuzz::Corpus("dict_decode");
    ASSERT_GT(saved.size(), seeds.size());
    pwfuzz::Replay(saved, pwfuzz::RunDictDecode);
}
