// The remote engine beside the in-process engine in the same run, on the contacts table (100,000
// rows): key searches per second (RecordGetForKey on "nameIndex") and rows per second of an ordered
// walk as a dataset makes it (a forward step with its bookmark per row). The remote engine reaches a
// served engine over loopback TCP through the legacy transport; the in-process side is a client of
// that same served engine, so both read the same table in the same process. Prints both rates and
// the ratios remote / in-process; the table shows the CPU time of the calling thread.
// PW_BENCH_ROWS changes the row count.
#include "app/ContactsTable.h"
#include "bench/BenchSupport.h"
#include "db/engine/qbsrengn.h"
#include "db/remote/qbclreng.h"
#include "db/remote/qblegacy.h"
#include "db/remote/qbsrdisp.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>

namespace {

int64_t g_rows = 100000;

std::string nameOf(int64_t i) {
    char b[40];
    std::snprintf(b, sizeof b, "Contact %07lld", static_cast<long long>(i));
    return b;
}

ContactRow contact(const std::string& name, int64_t i) {
    ContactRow c;
    c.name = name;
    c.id = "555" + std::to_string(i);
    c.service = int32_t(i % 12 + 1);
    return c;
}

void check(TqbResultCode rc, const char* what) {
    if (rc) throw std::runtime_error(std::string(what) + " failed with " + std::to_string(rc));
}

// One engine's client with the contacts table open in name order.
struct Reader {
    TqbBaseServerEngine* e = nullptr;
    TqbHandle client = 0, session = 0, db = 0, cursor = 0;
    void open(TqbBaseServerEngine& engine, const std::string& folder) {
        e = &engine;
        uint32_t hash = 0;
        check(e->ClientAdd(client, "bench", "bench", 10000, hash), "ClientAdd");
        check(e->SessionAdd(client, 10000, session), "SessionAdd");
        check(e->DatabaseOpenPath(client, folder, qbomReadOnly, qbsmShared, 10000, db), "DatabaseOpenPath");
        check(e->TableOpen(db, "contacts", false, "nameIndex", 0, qbomReadOnly, qbsmShared, 10000, cursor,
                           nullptr),
              "TableOpen");
    }
    void close() {
        if (e && client) e->ClientRemove(client);
        client = 0;
    }
};

// The served engine on the table's folder with the request decoder behind a listening legacy
// transport, and the remote engine on a sending one.
struct World {
    std::string folder;
    TqbServerDataDict dict = contactsDictionary();
    TqbOwned<TqbServerEngine> engine{new TqbServerEngine()};
    std::unique_ptr<TqbServerDispatcher> disp;
    std::unique_ptr<TqbBaseCommandHandler> handler;
    std::unique_ptr<TqbDispatchPlugIn> plugIn;
    TqbOwned<TqbLegacyTransport> listener{new TqbLegacyTransport};
    TqbOwned<TqbLegacyTransport> sender{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> remote{new TQBRemoteServerEngine};
    Reader local, far;

    explicit World(const std::string& dir) : folder(dir) {
        std::vector<ContactRow> rows(static_cast<size_t>(g_rows));
        // Inserted out of name order, as a contacts table grows.
        for (int64_t i = 0; i < g_rows; ++i)
            rows[size_t(i)] = contact(nameOf((i * 7919) % g_rows), i);
        makeContactsTable(folder, dict, rows);

        engine->SetConfigDir(folder + "/");
        engine->Startup();
        disp = std::make_unique<TqbServerDispatcher>(*engine);
        handler = std::make_unique<TqbBaseCommandHandler>();
        plugIn = std::make_unique<TqbDispatchPlugIn>(*disp);
        handler->AddPlugIn(plugIn.get());
        listener->SetProtocol(ptTCPIP);
        listener->SetMode(qbtmListen);
        listener->OnCreateProtocol = [](TqbBaseCommsProtocol& p) {
            auto& w = static_cast<TqbWinsockProtocol&>(p);
            w.StreamPort = 0;
            w.ListenAddress = htonl(INADDR_LOOPBACK);
        };
        listener->SetCommandHandler(handler.get());
        listener->OnAddClient = ServerLoginHandler(*engine, *disp);
        listener->OnRemoveClient = ServerRemoveHandler(*disp);
        listener->SetState(qbsStarted);
        const uint16_t port = static_cast<TqbWinsockProtocol*>(listener->CommsProtocol())->BoundStreamPort();

        sender->SetProtocol(ptTCPIP);
        sender->SetMode(qbtmSend);
        sender->SetServerName("Srv@127.0.0.1");
        sender->OnCreateProtocol = [port](TqbBaseCommsProtocol& p) {
            static_cast<TqbWinsockProtocol&>(p).StreamPort = port;
        };
        sender->SetState(qbsStarted);
        remote->SetTransport(sender.get());

        local.open(*engine, folder);
        far.open(*remote, folder);
    }
    ~World() {
        far.close();
        local.close();
        remote->SetTransport(nullptr);
        sender->SetState(qbsInactive);
        listener->SetState(qbsInactive);
        engine->Shutdown();
    }
};

std::unique_ptr<World> g_world;

Reader& readerOf(benchmark::State& state) {
    return state.range(0) ? g_world->far : g_world->local;
}

void BM_FindKey(benchmark::State& state) {
    Reader& r = readerOf(state);
    const TqbServerDataDict& d = g_world->dict;
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    std::vector<std::vector<uint8_t>> keys;
    std::mt19937 rng(42);
    for (int i = 0; i < 4096; ++i)
        keys.push_back(contactRecord(d, contact(nameOf(int64_t(rng() % uint64_t(g_rows))), 0)));
    size_t i = 0;
    for (auto _ : state) {
        if (r.e->RecordGetForKey(r.cursor, false, 1, 0, keys[i++ % keys.size()], rec, true) != 0) {
            state.SkipWithError("a key was not found");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Walk(benchmark::State& state) {
    Reader& r = readerOf(state);
    std::vector<uint8_t> rec(size_t(g_world->dict.RecordLength()));
    uint32_t bmSize = 0;
    check(r.e->CursorGetBookmarkSize(r.cursor, bmSize), "CursorGetBookmarkSize");
    std::vector<uint8_t> bookmark(bmSize);
    int64_t rows = 0;
    for (auto _ : state) {
        r.e->CursorSetToBegin(r.cursor);
        int64_t n = 0;
        while (r.e->RecordStepWithBookmark(r.cursor, true, qbltNone, rec, bookmark) == 0)
            ++n;
        if (n != g_rows) {
            state.SkipWithError("the walk missed rows");
            break;
        }
        rows += n;
    }
    state.SetItemsProcessed(rows);
}

} // namespace

// Argument 0: the in-process engine; 1: the remote engine.
BENCHMARK(BM_FindKey)->ArgName("remote")->Arg(0)->Arg(1)->MinTime(pwbench::minTime(1.0))->UseRealTime();
BENCHMARK(BM_Walk)
    ->ArgName("remote")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(pwbench::minTime(2.0))
    ->UseRealTime();

int main(int argc, char** argv) {
    if (const char* n = std::getenv("PW_BENCH_ROWS")) g_rows = std::max<int64_t>(1, std::atoll(n));
    g_rows = pwbench::size(g_rows, 2000);
    const char* base = std::getenv("PW_BENCH_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-remote-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    benchmark::Initialize(&argc, argv);
    int status = 1;
    try {
        g_world = std::make_unique<World>(dir.string());
        pwbench::RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        status = pwbench::printRatios([&] {
            for (const char* what : {"FindKey", "Walk"}) {
                const std::string name = std::string("BM_") + what;
                const double local = reporter.rate(name + "/remote:0"),
                             far = reporter.rate(name + "/remote:1");
                std::printf("%s per second: remote %.0f, in-process %.0f, ratio %.3f\n",
                            std::string(what) == "Walk" ? "walk rows" : "key searches", far, local,
                            far / local);
            }
        });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    }
    g_world.reset();
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
