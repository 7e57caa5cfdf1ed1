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
