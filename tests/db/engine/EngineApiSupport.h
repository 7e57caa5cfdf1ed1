// Helpers of the tests that drive the in-process engine through its interface only: a started
// engine over a temporary folder with a captured event log, a client with a database on the
// folder, and the contacts table the paging client keeps.
#pragma once
#include "db/base/qblllog.h"
#include "db/engine/qbsrengn.h"
#include "tests/db/engine/ContactRecords.h"
#include "tests/db/engine/EngineClockSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace engineapi {

// A started engine on a temporary folder with a log, a client, its first session and the folder
// opened as a database by path.
struct Api {
    pwtest::TempDir dir;
    TqbOwned<MemoryEventLog> log{new MemoryEventLog()};
    TqbOwned<TqbServerEngine> engine{new TqbServerEngine()};
    // The engine's clock: its waits (the shut-down's for clients left) end at once.
    std::shared_ptr<engineclock::StepClock> clock{std::make_shared<engineclock::StepClock>()};
    TqbHandle client = 0, session = 0, db = 0;

    explicit Api(bool start = true) {
        engine->SetClock(clock);
        // The configuration tables apart from the data: tests count the tables of the folder.
        std::filesystem::create_directory(dir.path() / "cfg");
        engine->SetConfigDir(dir.file("cfg") + "/");
        engine->SetEventLog(log.get());
        engine->SetEventLogEnabled(true);
        if (start) startAndConnect();
    }
    ~Api() {
        if (engine->State() == qbsStarted) engine->Shutdown();
    }
    // The database is the test's folder, or the folder given.
    void startAndConnect(const std::string& folder = "") {
        engine->Startup();
        uint32_t hash = 0;
        ASSERT_EQ(0, engine->ClientAdd(client, "test", "", 10000, hash));
        ASSERT_EQ(0, engine->SessionAdd(client, 10000, session));
        ASSERT_EQ(0, engine->DatabaseOpenPath(client, folder.empty() ? dir.str() : folder, qbomReadWrite,
                                              qbsmShared, 10000, db));
    }
    // Builds the contacts table and opens a cursor on it in "nameIndex" order.
    TqbHandle contacts(const std::string& name = "contacts") {
        TqbServerDataDict d = contactsDictionary();
        EXPECT_EQ(0, engine->TableBuild(db, false, name, false, d));
        TqbHandle cursor = 0;
        EXPECT_EQ(0, engine->TableOpen(db, name, false, "nameIndex", 0, qbomReadWrite, qbsmShared, 10000,
                                       cursor, nullptr));
        return cursor;
    }
};

} // namespace engineapi
