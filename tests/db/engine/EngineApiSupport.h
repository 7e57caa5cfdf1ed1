// Helpers of the tests that drive the in-process engine through its interface only: a started
// engine over a temporary folder with a captured event log, a client with a database on the
// folder, and the contacts table the paging client keeps (its dictionary and record images).
#pragma once
#include "db/base/qblllog.h"
#include "db/engine/qbsrengn.h"
#include "db/storage/qbtbdict.h"
#include "platform/ByteCodec.h"
#include "tests/db/engine/EngineClockSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace engineapi {

// The contacts table: name (unique "nameIndex"), id, service number, password and ten group flags.
inline TqbServerDataDict contactsDictionary() {
    TqbServerDataDict d;
    d.SetTableName("contacts");
    d.AddField("name", "", qbtShortString, 40, 0, true);
    d.AddField("id", "", qbtShortString, 40, 0, false);
    d.AddField("servicenumber", "", qbtInt32, 2, 0, false);
    d.AddField("password", "", qbtShortString, 20, 0, false);
    for (int i = 1; i <= 10; ++i)
        d.AddField("memberGr" + std::to_string(i), "", qbtBoolean, 0, 0, false);
    const int32_t name = 0;
    d.AddIndex("nameIndex", "", 0, 1, &name, nullptr, true, true, true);
    d.BindIndexHelpers();
    return d;
}

struct Contact {
    std::string name, id;
    int32_t service = 0;
    std::string password;
    bool groups[10] = {};
};

// A record image of the dictionary's layout.
inline std::vector<uint8_t> contactRecord(const TqbDataDictionary& d, const Contact& c) {
    std::vector<uint8_t> r(size_t(d.RecordLength()));
    d.InitRecord(r.data());
    auto str = [&](int f, const std::string& s) {
        std::vector<uint8_t> v(size_t(d.FieldLength(f)), 0);
        v[0] = uint8_t(s.size());
        std::memcpy(v.data() + 1, s.data(), s.size());
        d.SetRecordField(f, r.data(), v.data());
    };
    if (!c.name.empty()) str(0, c.name);
    str(1, c.id);
    uint8_t n[4];
    plat::StoreLE32(n, uint32_t(c.service));
    d.SetRecordField(2, r.data(), n);
    str(3, c.password);
    for (int i = 0; i < 10; ++i) {
        const uint8_t b = c.groups[i] ? 1 : 0;
        d.SetRecordField(4 + i, r.data(), &b);
    }
    return r;
}

inline Contact contactOf(const TqbDataDictionary& d, const uint8_t* r) {
    Contact c;
    auto str = [&](int f) {
        return std::string(reinterpret_cast<const char*>(r + d.FieldOffset(f) + 1), r[d.FieldOffset(f)]);
    };
    c.name = str(0);
    c.id = str(1);
    c.service = int32_t(plat::LoadLE32(r + d.FieldOffset(2)));
    c.password = str(3);
    for (int i = 0; i < 10; ++i)
        c.groups[i] = r[d.FieldOffset(4 + i)] != 0;
    return c;
}

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
        engine->SetConfigDir(dir.str() + "/");
        engine->SetEventLog(log.get());
        engine->SetEventLogEnabled(true);
        if (start) startAndConnect();
    }
    ~Api() {
        if (engine->State() == qbsStarted) engine->Shutdown();
    }
    void startAndConnect() {
        engine->Startup();
        uint32_t hash = 0;
        ASSERT_EQ(0, engine->ClientAdd(client, "test", "", 10000, hash));
        ASSERT_EQ(0, engine->SessionAdd(client, 10000, session));
        ASSERT_EQ(0, engine->DatabaseOpenPath(client, dir.str(), qbomReadWrite, qbsmShared, 10000, db));
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
