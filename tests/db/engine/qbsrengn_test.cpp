// The in-process engine through its interface: start and stop, clients, databases and a table.
#include "tests/db/engine/EngineApiSupport.h"

using namespace engineapi;

TEST(ServerEngine, ContactsTableRoundTripThroughTheInterface) {
    Api api;
    const TqbHandle cursor = api.contacts();
    ASSERT_NE(0u, cursor);
    // The contacts table is open: building it again is refused.
    TqbServerDataDict d = contactsDictionary();
    EXPECT_EQ(10031, api.engine->TableBuild(api.db, false, "contacts", false, d));
}

TEST(ServerEngine, AFolderLeftByOneClientOpensExclusivelyForAnother) {
    Api api;
    const TqbHandle cursor = api.contacts();
    ASSERT_NE(0u, cursor);
    EXPECT_EQ(0, api.engine->CursorClose(cursor));
    EXPECT_EQ(0, api.engine->DatabaseClose(api.db));
    TqbHandle other = 0, db = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, api.engine->ClientAdd(other, "other", "", 10000, hash));
    // Nothing of the first client's database holds the folder any more.
    EXPECT_EQ(0, api.engine->DatabaseOpenPath(other, api.dir.str(), qbomReadWrite, qbsmExclusive, 10000, db));
    TqbHandle again = 0;
    EXPECT_EQ(10253, api.engine->DatabaseOpenPath(api.client, api.dir.str(), qbomReadWrite, qbsmShared, 10000, again));
}
