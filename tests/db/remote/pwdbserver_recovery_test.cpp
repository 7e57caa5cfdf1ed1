// The database server program's start-up recovery of the folder it serves: the journals left there
// are settled between the recovery check's lines, before any client comes, and one that cannot be
// keeps only that folder closed.
#include "db/remote/qbclreng.h"

#include "tests/db/JournalTestSupport.h"
#include "tests/db/engine/EngineApiSupport.h"
#include "tests/db/remote/WireServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using pwtest::readFile;
using pwtest::writeFile;

// The data folder holds the contacts table as it was before a commit of one more contact and a
// journal of that commit naming the file given (the table's own when empty); no engine runs.
struct Served {
    engineapi::Api api{false};
    pwtest::TempDir config;
    std::string table, before, after;

    explicit Served(const std::string& named = "") {
        api.startAndConnect();
        TqbHandle cursor = api.contacts();
        const TqbServerDataDict d = engineapi::contactsDictionary();
        EXPECT_EQ(0, api.engine->RecordInsert(cursor, qbltNone,
                                              engineapi::contactRecord(d, {"Ada", "5550001", 1, "", {}})));
        table = api.dir.file("contacts.QB2");
        before = readFile(table);
        EXPECT_EQ(0, api.engine->RecordInsert(cursor, qbltNone,
                                              engineapi::contactRecord(d, {"Bob", "5550002", 1, "", {}})));
        after = readFile(table);
        EXPECT_EQ(0, api.engine->CursorClose(cursor));
        api.engine->Shutdown();
        writeFile(table, before);
        std::vector<journaltest::Image> images = journaltest::changeImages(table, before, after);
        if (!named.empty())
            for (journaltest::Image& i : images)
                i.name = api.dir.file(named);
        writeFile(api.dir.file("12_1.QB$"), journaltest::journalBytes(1, images));
    }
};

struct Server : pwtest::ChildProcess {
    Server(const std::string& data, const std::string& config)
        : ChildProcess(PW_DBSERVER, {data, "0", "--config-folder", config}) {}
};

// Where each line stands in the server's log (npos: absent).
size_t at(const std::string& log, const std::string& line) {
    return log.find(line);
}

TEST(ServerProgramRecovery, TheServedFolderIsRecoveredWithinTheCheckBeforeAnyClient) {
    Served left;
    Server srv(left.api.dir.str(), left.config.str());
    ASSERT_NE(0, srv.port()) << srv.text;
    // No client has come: the start did it.
    EXPECT_EQ(readFile(left.table), left.after);
    EXPECT_FALSE(std::filesystem::exists(left.api.dir.file("12_1.QB$")));
    const size_t begin = at(srv.text, "Performing recovery check..."),
                 found = at(srv.text, "Journal file 12_1.QB$ (" + CanonicalFolderPath(left.api.dir.str()) +
                                          "): Complete journal file found!"),
                 rolled = at(srv.text, "Journal file 12_1.QB$ rolled forward."),
                 end = at(srv.text, "Finished recovery check..."),
                 started = at(srv.text, "QB Server started.");
    EXPECT_NE(found, std::string::npos) << srv.text;
    EXPECT_TRUE(begin < found && found < rolled && rolled < end && end < started) << srv.text;
    EXPECT_EQ(srv.stop(), 0) << srv.text;
}

// A journal of a table that is gone: logged with its code inside the check; the server serves on,
// refusing that folder with the same code.
TEST(ServerProgramRecovery, AServedFolderThatCannotBeRecoveredIsRefusedAndTheServerGoesOn) {
    Served left("people.QB2");
    Server srv(left.api.dir.str(), left.config.str());
    const uint16_t port = srv.port();
    ASSERT_NE(0, port) << srv.text;
    const size_t failed = at(srv.text, "Journals of " + left.api.dir.str() + " not recovered (error 9992)");
    EXPECT_NE(failed, std::string::npos) << srv.text;
    EXPECT_LT(failed, at(srv.text, "Finished recovery check...")) << srv.text;

    TqbOwned<TqbLegacyTransport> t{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> e{new TQBRemoteServerEngine};
    StartLoopbackClient(*t, port);
    e->SetTransport(t.get());
    TqbHandle client = 0, session = 0, db = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, e->ClientAdd(client, "remote", "remote", 5000, hash));
    ASSERT_EQ(0, e->SessionAdd(client, 5000, session));
    EXPECT_EQ(9992, e->DatabaseOpenPath(client, left.api.dir.str(), qbomReadWrite, qbsmShared, 5000, db));
    EXPECT_EQ(0, e->ClientRemove(client));
    e.reset();
    t.reset();
    EXPECT_TRUE(std::filesystem::exists(left.api.dir.file("12_1.QB$")));
    EXPECT_EQ(readFile(left.table), left.before);
    EXPECT_EQ(srv.stop(), 0) << srv.text;
}

} // namespace
