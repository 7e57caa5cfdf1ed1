// Every operation of the in-process engine against handles that name nothing it may use: before the
// engine starts, of the wrong kind, stale, and random; and random operation sequences (the fuzz
// target's inputs) run clean.
#include "tests/db/engine/EngineApiSupport.h"
#include "tests/db/engine/EngineOps.h"
#include "tests/fuzz/EngineApiFuzz.h"
#include "tests/fuzz/FuzzReplay.h"

#include <cstdlib>
#include <map>
#include <random>

using namespace engineapi;
using engineops::AllOps;
using engineops::Args;
using engineops::Check;
using engineops::TargetOf;

namespace {

Args argsWith(TqbHandle h0, TqbHandle h1 = 0) {
    Args a;
    a.H[0] = h0;
    a.H[1] = h1;
    a.S[0] = "contacts";
    a.S[1] = "nameIndex";
    // Lock type 1: type 0 asks nothing and answers at once.
    for (int32_t& i : a.I)
        i = 1;
    a.OutSize = 4096;
    a.In.assign(64, 0);
    return a;
}

} // namespace

TEST(EngineOperations, BeforeStartOnlyTheKindOnlyOperationsRun) {
    Api api(false);
    for (const auto& op : AllOps()) {
        Args a = argsWith(1, 1);
        const TqbResultCode rc = op.Run(*api.engine, a);
        if (op.Kind == Check::Started) {
            EXPECT_EQ(15459, rc) << op.Name;
        } else if (op.Kind == Check::KindOnly) {
            EXPECT_EQ(UnknownHandleCode(TargetOf(op.Name)), rc) << op.Name;
        }
    }
    // Nothing was made on the way.
    EXPECT_EQ(0, api.engine->Counts().Clients);
}

TEST(EngineOperations, WrongKindStaleAndRandomHandlesGiveTheKindsUnknownCode) {
    Api api;
    const TqbHandle cursor = api.contacts();
    ASSERT_NE(0u, cursor);
    // A second client's cursor, closed: its handle is stale.
    TqbHandle stale = 0;
    ASSERT_EQ(0, api.engine->CursorClone(cursor, qbomReadOnly, stale));
    ASSERT_EQ(0, api.engine->CursorClose(stale));
    const std::map<TqbHandleKind, std::vector<TqbHandle>> wrong = {
        {TqbHandleKind::Client, {api.session, api.db, cursor, stale}},
        {TqbHandleKind::Database, {api.client, api.session, cursor, stale}},
        {TqbHandleKind::Cursor, {api.client, api.session, api.db, stale}},
        {TqbHandleKind::Session, {api.client, api.db, cursor, stale}},
    };
    for (const auto& op : AllOps()) {
        const TqbHandleKind kind = TargetOf(op.Name);
        if (kind == TqbHandleKind::None) continue;
        for (TqbHandle h : wrong.at(kind)) {
            // The second handle only where it is the one checked; elsewhere 0 keeps the first in charge.
            const bool second = kind == TqbHandleKind::Session ||
                                std::string_view(op.Name) == "SessionSetCurrent" ||
                                std::string_view(op.Name) == "SessionSetTimeout";
            Args a = argsWith(h, second ? h : 0);
            EXPECT_EQ(UnknownHandleCode(kind), op.Run(*api.engine, a)) << op.Name << " with " << h;
        }
    }
    std::mt19937 rng(7);
    const auto& ops = AllOps();
    for (int i = 0; i < 100000; ++i) {
        const auto& op = ops[rng() % ops.size()];
        const TqbHandleKind kind = TargetOf(op.Name);
        if (kind == TqbHandleKind::None) continue;
        TqbHandle h = rng();
        if (h == api.client || h == api.session || h == api.db || h == cursor) continue;
        Args a = argsWith(h, kind == TqbHandleKind::Session ? h : 0);
        ASSERT_EQ(UnknownHandleCode(kind), op.Run(*api.engine, a)) << op.Name << " with " << h;
    }
    // The engine still works with the handles it gave out.
    std::vector<uint8_t> rec = contactRecord(contactsDictionary(), {"Ann", "1", 1, "pw", {}});
    EXPECT_EQ(0, api.engine->RecordInsert(cursor, qbltNone, rec));
    int32_t count = 0;
    EXPECT_EQ(0, api.engine->TableGetRecordCount(cursor, count));
    EXPECT_EQ(1, count);
}

TEST(EngineOperations, RandomOperationSequencesRunClean) {
    // Seeded inputs of the fuzz target; a longer run is the fuzz target itself (README).
    std::mt19937 rng(11);
    const char* env = std::getenv("PW_ENGINE_FUZZ_RUNS");
    const int runs = env ? std::atoi(env) : 300;
    for (int i = 0; i < runs; ++i) {
        std::vector<uint8_t> input(size_t(rng() % 600));
        for (auto& b : input)
            b = uint8_t(rng());
        pwfuzz::RunEngineApi(input.data(), input.size());
    }
    // The saved inputs (one of them once left a cursor reading its freed database) and variants.
    pwfuzz::Replay(pwfuzz::Corpus("engine_api"), pwfuzz::RunEngineApi, 5);
    EXPECT_TRUE(pwfuzz::EngineApiStillWorks());
    pwfuzz::EndWorld();
}
