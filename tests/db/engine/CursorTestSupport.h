// Helpers of the cursor tests: a data folder with cursor host and databases, cursors opened on a
// table of it, writes run the way the engine runs them (implicit transactions), and raised errors
// taken as result codes.
#pragma once
#include "db/engine/qbsrcur_cursor.h"
#include "platform/testing/MemoryFiles.h"
#include "tests/db/engine/EngineTestSupport.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cursortest {

using CursorPtr = std::shared_ptr<TqbSrCursor>;

// A raised engine error as the result code the engine would hand out.
inline int32_t code(const std::function<int32_t()>& f) {
    try {
        return f();
    } catch (const EqbException& e) {
        return e.ErrorCode;
    }
}

// A data folder ("/db" on an in-memory file system, or a real temporary folder), its folder
// object, a cursor host and two databases on it.
struct Env {
    std::unique_ptr<plat::MemoryFiles> mem;
    std::optional<plat::ScopedFiles> scoped;
    std::unique_ptr<pwtest::TempDir> dir;
    std::string path = "/db";
    TqbBufferManager bm;
    TqbSrFolderList folders;
    TqbSrFolderPtr folder;
    TqbSrCursorHost host{bm};
    std::shared_ptr<TqbSrDatabase> a, b;
    explicit Env(bool inMemory = true) {
        if (inMemory) {
            mem = std::make_unique<plat::MemoryFiles>();
            scoped.emplace(*mem);
            plat::DirCreate(path);
        } else {
            dir = std::make_unique<pwtest::TempDir>();
            path = dir->str();
        }
        // Lock waits end at a deadline rather than hang a test.
        SetThreadDeadline(20000);
        bm.SetMaxRAM(64);
        folder = folders.AddFolder(path, false, &bm);
        a = std::make_shared<TqbSrDatabase>(host, folder, 10000);
        b = std::make_shared<TqbSrDatabase>(host, folder, 10000);
    }
    ~Env() {
        for (auto* db : {a.get(), b.get()}) {
            if (db->InTransaction()) db->Rollback();
            for (auto& o : db->Cursors().Snapshot())
                if (auto* c = dynamic_cast<TqbSrBaseCursor*>(o.get())) c->Close();
        }
        host.Tables().RemoveUnused();
        a.reset();
        b.reset();
        folders.ReleaseFolder(folder);
        SetThreadDeadline(0);
    }
    // Creates the table's files (closed again).
    void create(const std::string& name, const TqbDataDictionary& d) {
        TqbSrTable t(host, bm, folder, name);
        t.BuildFiles(d, 0);
    }
    CursorPtr open(TqbSrDatabase& db, const std::string& name, int32_t index = 0, bool readWrite = true,
                   uint8_t share = qbsmShared) {
        auto c = std::make_shared<TqbSrCursor>(host, 10000, db);
        c->Open(name, "", index, readWrite, share, false, false, false);
        return c;
    }
};

// A write as the engine runs it: EnsureWritable, then inside the client's transaction or an
// implicit one committed on success and rolled back otherwise.
inline int32_t write(TqbSrBaseCursor& c, const std::function<int32_t()>& f, bool lockCurrent = false) {
    int32_t rc = code([&] { return c.EnsureWritable(lockCurrent, false); });
    if (rc != 0 && rc != 10257) return rc;
    bool started = false;
    if (rc == 10257 && (rc = c.Database().BeginImplicit(started)) != 0) return rc;
    rc = code(f);
    const int32_t end = code([&] { return c.Database().EndImplicit(started, rc == 0); });
    return rc != 0 ? rc : end;
}

} // namespace cursortest
