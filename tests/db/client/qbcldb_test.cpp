// Tests of the database and the table proxy against the in-process engine over
// a temporary folder, and of the chain's activation after a window has loaded.
#include "db/client/qbcldb.h"

#include "tests/db/client/ClientTestSupport.h"
#include "tests/db/engine/EngineApiSupport.h"

#include <gtest/gtest.h>

using clienttest::codeOf;
using clienttest::Env;

namespace {

// The dataset side of a proxy: what the proxy told it.
struct DataSetEnd : TqbProxyDataSet {
    int closing = 0, exclusive = 0, readOnly = 0, dropped = 0;
    cls::TDataSet* ProxyDataSet() override { return nullptr; }
    void ProxyClosing() override { ++closing; }
    void ForceExclusive() override { ++exclusive; }
    void ForceReadOnly() override { ++readOnly; }
    void ConnectionDropped() override { ++dropped; }
};

struct DbEnv : Env {
    DbEnv() {
        engine->Startup();
        EXPECT_EQ(0, engine->Configuration().AddAlias("pagebase", dir.str()));
    }
};

} // namespace

TEST(Database, OpensByPathOrByAliasWithTheEffectiveTimeOut) {
    DbEnv env;
    TqbOwned<TqbDatabase> byPath(new TqbDatabase()), byAlias(new TqbDatabase()), viaAlias(new TqbDatabase());
    byPath->SetSessionName(env.session->SessionName());
    byPath->SetDatabaseName(env.dir.str());
    byPath->Open(); // the session and client open first
    EXPECT_TRUE(env.session->Active());
    EXPECT_NE(byPath->DatabaseID(), 0u);
    EXPECT_EQ(byPath->GetTimeout(), 10000u);
    env.session->SetTimeOut(5000);
    EXPECT_EQ(byPath->GetTimeout(), 5000u);
    byPath->SetTimeout(700);
    EXPECT_EQ(byPath->GetTimeout(), 700u);

    byAlias->SetSessionName(env.session->SessionName());
    byAlias->SetDatabaseName("pageBASE");
    EXPECT_NE(byAlias->GetDatabaseID(), 0u);
    // The alias wins over the database name, which is no alias and no folder.
    viaAlias->SetSessionName(env.session->SessionName());
    viaAlias->SetDatabaseName("contactsdb");
    viaAlias->SetAliasName("PAGEBASE");
    viaAlias->Open();
    EXPECT_NE(viaAlias->DatabaseID(), 0u);
    EXPECT_EQ(codeOf([&] { viaAlias->SetAliasName("x"); }), kDsDatabaseMustBeClosed);
    EXPECT_EQ(codeOf([&] { viaAlias->SetReadOnly(true); }), kDsDatabaseMustBeClosed);
    TqbOwned<TqbDatabase> dup(new TqbDatabase());
    dup->SetSessionName(env.session->SessionName());
    EXPECT_EQ(codeOf([&] { dup->SetDatabaseName("CONTACTSDB"); }), kDsDatabaseNameExists);
    TqbOwned<TqbDatabase> unknown(new TqbDatabase());
    unknown->SetSessionName(env.session->SessionName());
    unknown->SetDatabaseName("nosuchalias");
    EXPECT_NE(codeOf([&] { unknown->Open(); }), 0);
    EXPECT_FALSE(unknown->Active());

    // The dictionary of a table, read through the database.
    TqbServerDataDict d = engineapi::contactsDictionary();
    ASSERT_EQ(0, env.engine->TableBuild(byPath->DatabaseID(), false, "contacts", false, d));
    cls::TMemoryStream stream;
    byAlias->GetTableDictionary("sub/contacts.qb2", stream);
    TqbDataDictionary read;
    read.ReadFromStream(
        std::string_view(reinterpret_cast<const char*>(stream.Memory()), size_t(stream.Size())));
    EXPECT_EQ(read.FieldCount(), d.FieldCount());

    // Closing the client closes what lies below it; a renamed session takes its
    // databases along.
    env.client->Close();
    EXPECT_FALSE(env.session->Active());
    EXPECT_FALSE(byPath->Active());
    EXPECT_EQ(byPath->DatabaseID(), 0u);
    env.session->SetSessionName("renamed");
    EXPECT_EQ(byAlias->SessionName(), "renamed");
    byAlias->Open();
    EXPECT_TRUE(env.session->Active());
}

TEST(Database, ADeclaredDatabaseMayNotTakeAnAliasName) {
    DbEnv env;
    cls::TComponent form;
    auto* db = new TqbDatabase(&form);
    db->SetSessionName(env.session->SessionName());
    EXPECT_EQ(codeOf([&] { db->SetDatabaseName("PageBase"); }), kDsDatabaseNameIsAlias);
    EXPECT_FALSE(env.session->Active()); // opened for the question and closed again
    db->SetDatabaseName("mine");
    EXPECT_EQ(db->DatabaseName(), "mine");
}

TEST(TableProxy, AnAliasWithoutADeclaredDatabaseGetsATemporaryOne) {
    DbEnv env;
    DataSetEnd end;
    cls::TComponent dataset;
    auto* proxy = new TqbTableProxy(&dataset, &end);
    proxy->SetSessionName(env.session->SessionName());
    proxy->SetDatabaseName("PAGEBASE");
    proxy->SetTableName("contacts");
    proxy->Open();
    ASSERT_NE(proxy->Database(), nullptr);
    EXPECT_TRUE(proxy->Database()->Temporary);
    EXPECT_TRUE(proxy->Database()->Active());
    EXPECT_EQ(proxy->Engine(), env.engine.get());
    EXPECT_EQ(proxy->Database()->TableCount(), 1);
    proxy->Close();
    EXPECT_EQ(end.closing, 1);

    // A read-only database makes its datasets read-only; closing the database
    // closes the proxy.
    proxy->Open();
    proxy->Database()->Close();
    EXPECT_FALSE(proxy->Active());
    EXPECT_EQ(end.closing, 2);
    proxy->Database()->SetReadOnly(true);
    EXPECT_EQ(end.readOnly, 1);

    // A lost connection drops the proxy's handles without a word to the engine.
    proxy->Database()->SetReadOnly(false);
    proxy->Open();
    env.client->OnConnectionLost = [](TqbComponent*, bool, bool& retry) { retry = false; };
    env.engine->NotifyDependentsEx(kOpConnectionLost, intptr_t(env.client->ClientID()));
    EXPECT_EQ(end.dropped, 1);
    EXPECT_FALSE(proxy->Active());

    // The temporary database goes with its session; the proxy is left without
    // one.
    env.session.reset();
    EXPECT_EQ(proxy->LinkedOwner(), nullptr);
}

TEST(TableProxy, ChangingTheSessionLeavesADatabaseOfAnotherSession) {
    DbEnv env;
    TqbOwned<TqbDatabase> db(new TqbDatabase());
    db->SetSessionName(env.session->SessionName());
    db->SetDatabaseName("local");
    db->SetAliasName("pagebase");
    TqbOwned<TqbSession> other(new TqbSession());
    other->SetSessionName("Other");
    other->SetClientName(env.client->ClientName());
    DataSetEnd end;
    cls::TComponent dataset;
    auto* proxy = new TqbTableProxy(&dataset, &end);
    proxy->SetSessionName(env.session->SessionName());
    proxy->SetDatabaseName("local");
    proxy->SetTableName("t");
    proxy->Open();
    EXPECT_EQ(proxy->Database(), db.get());
    proxy->SetSessionName("OTHER");
    EXPECT_EQ(proxy->SessionName(), "Other"); // as the session has it
    EXPECT_EQ(proxy->LinkedOwner(), nullptr);
    EXPECT_EQ(proxy->DatabaseName(), "local");
    EXPECT_NE(codeOf([&] { proxy->Open(); }), 0); // no "local" in that session
}

TEST(DeferredActivation, AWindowOpensClientSessionAndDatabaseAfterLoadingInAnyOrder) {
    DbEnv env;
    cls::TComponent form;
    // Declared the wrong way round: the database first, the client last.
    auto* db = new TqbDatabase(&form);
    auto* session = new TqbSession(&form);
    auto* client = new TqbClient(&form);
    form.BeginLoading();
    db->SetSessionName("winSession");
    db->SetDatabaseName(env.dir.str());
    db->SetConnected(true);
    session->SetClientName("winClient");
    session->SetSessionName("winSession");
    session->SetActive(true);
    client->SetServerEngine(env.engine.get());
    client->SetClientName("winClient");
    client->SetActive(true);
    EXPECT_FALSE(db->Active());
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(TqbDBListItem::DeferredCount(), 3u);
    form.EndLoading();
    EXPECT_EQ(TqbDBListItem::DeferredCount(), 0u);
    EXPECT_TRUE(client->Active());
    EXPECT_TRUE(session->Active());
    EXPECT_TRUE(db->Active());
    EXPECT_EQ(db->Session(), session);
    EXPECT_NE(db->DatabaseID(), 0u);
}

TEST(Database, AReconnectOpensTheDatabasesAgainWithNewHandles) {
    DbEnv env;
    TqbOwned<TqbDatabase> db(new TqbDatabase());
    db->SetSessionName(env.session->SessionName());
    db->SetDatabaseName("pagebase");
    db->Open();
    const TqbHandle old = db->DatabaseID();
    env.client->OnConnectionLost = [](TqbComponent*, bool starting, bool& retry) {
        if (starting) retry = true;
    };
    env.engine->NotifyDependentsEx(kOpConnectionLost, intptr_t(env.client->ClientID()));
    EXPECT_TRUE(db->Active());
    EXPECT_NE(db->DatabaseID(), 0u);
    EXPECT_NE(db->DatabaseID(), old);
}

TEST(Database, ThePagingClientsConnectSequence) {
    Env env; // a client on the engine with a generated name, its session likewise
    EXPECT_EQ(codeOf([&] { env.session->AddAlias("pagebase", env.dir.str()); }), kDsSessionMustBeOpen);
    env.session->Open();
    EXPECT_FALSE(env.session->IsAlias("pagebase"));
    env.session->AddAlias("pagebase", env.dir.str());
    EXPECT_TRUE(env.session->IsAlias("PAGEBASE"));
    EXPECT_FALSE(env.session->IsAlias(""));
    cls::TStringList names;
    names.Add("kept");
    env.session->GetAliasNames(names);
    EXPECT_EQ(names.Count(), 2);
    EXPECT_EQ(names[1], "pagebase");
    TqbOwned<TqbDatabase> db(new TqbDatabase());
    db->SetSessionName(env.session->SessionName());
    db->SetDatabaseName("pageBASE");
    db->Open();
    EXPECT_NE(db->DatabaseID(), 0u);
    // Closing the client closes the sessions and databases below it, through the engine.
    env.client->Close();
    EXPECT_FALSE(env.session->Active());
    EXPECT_FALSE(db->Active());
    // A closed session asked about an alias opens for the question and closes again.
    EXPECT_TRUE(env.session->IsAlias("pagebase"));
    EXPECT_FALSE(env.session->Active());
    EXPECT_FALSE(env.client->Active());
}
