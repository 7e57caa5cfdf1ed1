// Harness of the engine interface's fuzz target: the input is read as a sequence of operations with
// their arguments (handles live, stale or random; counts, lengths, names and buffers from the input)
// run against one in-process engine over a temporary folder. Each input runs with a client of its
// own, which it removes at the end with everything it made. The unit tests run seeded inputs.
#pragma once
#include "db/engine/qbsrengn.h"
#include "tests/db/engine/ContactRecords.h"
#include "tests/db/engine/EngineOps.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pwfuzz {

struct EngineWorld {
    std::string dir;
    TqbOwned<TqbServerEngine> engine{new TqbServerEngine()};
    TqbServerDataDict dict = engineapi::contactsDictionary();

    EngineWorld() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "pw-engine-fuzz-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        dir = tmpl;
        engine->SetConfigDir(dir + "/");
        engine->Startup();
    }
    ~EngineWorld() {
        engine.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

inline std::unique_ptr<EngineWorld>& worldSlot() {
    static std::unique_ptr<EngineWorld> w;
    return w;
}

inline EngineWorld& World() {
    auto& w = worldSlot();
    if (!w) w = std::make_unique<EngineWorld>();
    return *w;
}

// Stops the engine and its jobs while everything they use is still there (not at exit).
inline void EndWorld() {
    worldSlot().reset();
}

// Reads the input front to back; past its end every read gives zeros.
class InputReader {
public:
    InputReader(const uint8_t* Data, size_t Size) : data_(Data), size_(Size) {}
    bool AtEnd() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(Byte()) << (8 * i);
        return v;
    }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> out;
        while (n-- && pos_ < size_)
            out.push_back(data_[pos_++]);
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A client of the run's own with its session, a database on the folder and a cursor on the
// contacts table (built again when an earlier run deleted or renamed it).
struct RunHandles {
    TqbHandle client = 0, session = 0, db = 0, cursor = 0;
};

// Timeout: how long its waits may last (a rebuild job of an earlier run may still hold the table).
inline RunHandles OpenRun(EngineWorld& w, uint32_t Timeout = 200) {
    RunHandles h;
    uint32_t hash = 0;
    TqbServerEngine& e = *w.engine;
    if (e.ClientAdd(h.client, "fuzz", "", Timeout, hash) != 0) return h;
    e.SessionAdd(h.client, Timeout, h.session);
    e.DatabaseOpenPath(h.client, w.dir, qbomReadWrite, qbsmShared, Timeout, h.db);
    if (e.TableOpen(h.db, "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared, Timeout, h.cursor,
                    nullptr)) {
        e.TableBuild(h.db, true, "contacts", false, w.dict);
        e.TableOpen(h.db, "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared, Timeout, h.cursor,
                    nullptr);
    }
    return h;
}

inline void RunEngineApi(const uint8_t* Data, size_t Size) {
    EngineWorld& w = World();
    TqbServerEngine& e = *w.engine;
    InputReader in(Data, Size);
    const RunHandles run = OpenRun(w);
    std::vector<TqbHandle> pool = {run.client, run.session, run.db, run.cursor};
    std::vector<TqbHandle> clients = {run.client};
    const std::vector<std::string> names = {
        "contacts", "other",           "nameIndex",          "", "x.QB2", "../up", "QBSUSER",
        w.dir,      "/no/such/folder", std::string(300, 'n')};
    const auto& ops = engineops::AllOps();
    const size_t recLen = size_t(w.dict.RecordLength());
    uint64_t blob = 0;
    for (int steps = 0; !in.AtEnd() && steps < 64; ++steps) {
        const auto& op = ops[in.Byte() % ops.size()];
        engineops::Args a;
        for (TqbHandle& h : a.H) {
            const uint8_t pick = in.Byte();
            h = pick < 200 ? pool[pick % pool.size()] : (pick < 230 ? 0 : in.U32());
        }
        for (int32_t& i : a.I) {
            const uint8_t form = in.Byte();
            i = form < 160 ? int32_t(form % 8) - 2 : int32_t(in.U32());
        }
        a.U = 1 + in.Byte() % 200; // time-outs stay short: every wait here ends
        a.B[0] = in.Byte() & 1;
        a.B[1] = in.Byte() & 1;
        a.S[0] = names[in.Byte() % names.size()];
        a.S[1] = names[in.Byte() % names.size()];
        const size_t sizes[] = {0, 1, 8, recLen - 1, recLen, recLen * 3, 4096};
        a.OutSize = sizes[in.Byte() % 7];
        const uint8_t inForm = in.Byte();
        if (inForm < 100) {
            engineapi::Contact c;
            c.name = "n" + std::to_string(inForm % 13);
            c.groups[inForm % 10] = true;
            for (int k = 0; k < 1 + inForm % 3; ++k) {
                auto r = engineapi::contactRecord(w.dict, c);
                a.In.insert(a.In.end(), r.begin(), r.end());
                c.name += "x";
            }
        } else {
            a.In = in.Bytes(in.Byte());
        }
        for (int k = 0; k < 2; ++k)
            if (!pool.empty()) a.List.push_back(pool[in.Byte() % pool.size()]);
        a.BLOBNr = blob;
        if (op.Run(e, a) == 0 && std::string_view(op.Name) == "ClientAdd")
            clients.insert(clients.end(), a.Made.begin(), a.Made.end());
        pool.insert(pool.end(), a.Made.begin(), a.Made.end());
        if (a.BLOBNr) blob = a.BLOBNr;
    }
    for (TqbHandle c : clients)
        e.ClientRemove(c);
}

// A fresh client can still open the contacts table, insert a record and read it back.
inline bool EngineApiStillWorks() {
    EngineWorld& w = World();
    TqbServerEngine& e = *w.engine;
    // Long waits: the check must not depend on how fast the machine finishes the runs' jobs.
    const RunHandles run = OpenRun(w, 60000);
    bool ok = run.cursor != 0;
    if (ok) {
        static int n = 0;
        engineapi::Contact c;
        c.name = "still-works-" + std::to_string(++n);
        auto rec = engineapi::contactRecord(w.dict, c);
        ok = e.RecordInsert(run.cursor, qbltNone, rec) == 0;
        std::vector<uint8_t> back(rec.size());
        ok = ok && e.CursorSetToBegin(run.cursor) == 0 && e.RecordGetNext(run.cursor, qbltNone, back) == 0;
    }
    e.ClientRemove(run.client);
    return ok;
}

} // namespace pwfuzz
