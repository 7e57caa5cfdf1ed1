// The remote engine beside references in the same run, on the contacts table (100,000 rows):
// - a key search (RecordGetForKey on "nameIndex") and a step (RecordGetNext), each remote and
//   in-process, and beside the remote ones a plain-socket request and reply of the same sizes on
//   loopback (blocking sockets, one write each way, a thread that answers): the remote cost per
//   request against that round trip (target: at most 2);
// - rows per second of RecordGetBatch for a batch whose reply just fits one part and one a row
//   longer (target: within 1.5 times).
// The remote engine reaches a served engine over loopback TCP through the legacy transport; the
// in-process side is a client of that same served engine. Figures are medians of repetitions run
// interleaved; the table shows the CPU time of the calling thread. PW_BENCH_ROWS changes the row
// count.
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
#include <sys/socket.h>
#include <thread>
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

        // The server's configuration apart from what it serves, as the server program keeps it.
        std::filesystem::create_directories(folder + "/cfg");
        engine->SetConfigDir(folder + "/cfg/");
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

void BM_Next(benchmark::State& state) {
    Reader& r = readerOf(state);
    std::vector<uint8_t> rec(size_t(g_world->dict.RecordLength()));
    check(r.e->CursorSetToBegin(r.cursor), "CursorSetToBegin");
    for (auto _ : state) {
        if (r.e->RecordGetNext(r.cursor, qbltNone, rec) != 0) {
            // The end of the table: round again (one request in every hundred thousand).
            check(r.e->CursorSetToBegin(r.cursor), "CursorSetToBegin");
            check(r.e->RecordGetNext(r.cursor, qbltNone, rec), "RecordGetNext");
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// Rows of RecordGetBatch on the remote engine, state.range(0) rows a request.
void BM_Batch(benchmark::State& state) {
    Reader& r = g_world->far;
    const int32_t len = g_world->dict.RecordLength(), n = int32_t(state.range(0));
    std::vector<uint8_t> rows(size_t(n) * size_t(len));
    check(r.e->CursorSetToBegin(r.cursor), "CursorSetToBegin");
    int64_t total = 0;
    for (auto _ : state) {
        int32_t got = 0, error = 0;
        check(r.e->RecordGetBatch(r.cursor, n, len, rows, got, error), "RecordGetBatch");
        if (got < n) check(r.e->CursorSetToBegin(r.cursor), "CursorSetToBegin");
        total += got;
    }
    state.SetItemsProcessed(total);
}

using pwbench::readAll;
using pwbench::writeAll;

// The reference: a request of requestBytes and its reply of replyBytes over a loopback connection
// of blocking sockets with the system's default options, answered by a thread of its own.
void plainRoundTrips(benchmark::State& state, size_t requestBytes, size_t replyBytes) {
    uint16_t port = 0;
    const int listener = pwbench::listenLoopback(port, "plain server");
    std::thread server([&] {
        const int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) return;
        std::vector<uint8_t> in(requestBytes), out(replyBytes, 0x5A);
        while (readAll(c, in.data(), in.size()) && writeAll(c, out.data(), out.size())) {
        }
        ::close(c);
    });
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<uint8_t> request(requestBytes, 0xA5), reply(replyBytes);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        state.SkipWithError("connect failed");
    } else {
        for (auto _ : state)
            if (!writeAll(fd, request.data(), request.size()) || !readAll(fd, reply.data(), reply.size())) {
                state.SkipWithError("the plain round trip failed");
                break;
            }
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    ::shutdown(listener, SHUT_RDWR);
    server.join();
    ::close(listener);
    state.SetItemsProcessed(state.iterations());
}

// Data bytes of one part of a TCP/IP message.
constexpr int32_t kPartRoom = int32_t(qbMaxMsgSizeSockets - qbMsgHeaderSize);

} // namespace

namespace {

// Argument 0: the in-process engine; 1: the remote engine.
void inProcessAndRemote(benchmark::internal::Benchmark* b) {
    b->ArgName("remote")->Arg(0)->Arg(1)->MinTime(pwbench::minTime(0.5))->Repetitions(pwbench::repetitions(5));
    b->UseRealTime();
}

} // namespace

BENCHMARK(BM_FindKey)->Apply(inProcessAndRemote);
BENCHMARK(BM_Next)->Apply(inProcessAndRemote);

int main(int argc, char** argv) {
    if (const char* n = std::getenv("PW_BENCH_ROWS")) g_rows = std::max<int64_t>(1, std::atoll(n));
    g_rows = pwbench::size(g_rows, 2000);
    const char* base = std::getenv("PW_BENCH_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-remote-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    pwbench::initializeInterleaved(argc, argv);
    int status = 1;
    try {
        g_world = std::make_unique<World>(dir.string());
        // Sizes on the wire, headers included: RecordGetForKey sends a record as its key and gets the
        // record back; RecordGetNext sends 13 bytes. A batch reply is 8 bytes and its rows.
        const size_t len = size_t(g_world->dict.RecordLength()), header = qbMsgHeaderSize;
        const size_t findKeyRequest = header + 25 + len, nextRequest = header + 13,
                     recordReply = header + len;
        const int32_t underOnePart = (kPartRoom - 8) / int32_t(len), overOnePart = underOnePart + 1;
        benchmark::RegisterBenchmark(
            "BM_PlainRoundTrip/findkey",
            [=](benchmark::State& s) { plainRoundTrips(s, findKeyRequest, recordReply); })
            ->MinTime(pwbench::minTime(0.5))
            ->Repetitions(pwbench::repetitions(5))
            ->UseRealTime();
        benchmark::RegisterBenchmark(
            "BM_PlainRoundTrip/next",
            [=](benchmark::State& s) { plainRoundTrips(s, nextRequest, recordReply); })
            ->MinTime(pwbench::minTime(0.5))
            ->Repetitions(pwbench::repetitions(5))
            ->UseRealTime();
        benchmark::RegisterBenchmark("BM_Batch", BM_Batch)
            ->ArgName("rows")
            ->Arg(underOnePart)
            ->Arg(overOnePart)
            ->MinTime(pwbench::minTime(0.5))
            ->Repetitions(pwbench::repetitions(5))
            ->UseRealTime();
        pwbench::RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        status = pwbench::printRatios([&] {
            auto us = [&](const std::string& name) { return 1e6 / reporter.rate(name); };
            for (const char* what : {"FindKey", "Next"}) {
                const std::string name = std::string("BM_") + what;
                const double far = us(name + "/remote:1"), local = us(name + "/remote:0"),
                             plain = us(std::string("BM_PlainRoundTrip/") +
                                        (name == "BM_Next" ? "next" : "findkey"));
                std::printf(
                    "%s: remote %.1f us, plain-socket round trip of the same sizes %.1f us, ratio %.2f "
                    "%s; in-process %.2f us\n",
                    name == "BM_Next" ? "RecordGetNext" : "RecordGetForKey", far, plain, far / plain,
                    pwbench::target(far / plain <= 2, "<= 2").c_str(), local);
            }
            const double under = reporter.rate("BM_Batch/rows:" + std::to_string(underOnePart)),
                         over = reporter.rate("BM_Batch/rows:" + std::to_string(overOnePart));
            const double spread = std::max(under, over) / std::min(under, over);
            std::printf("RecordGetBatch rows per second: %d rows (one part) %.0f, %d rows (two parts) %.0f, "
                        "ratio %.2f %s\n",
                        underOnePart, under, overOnePart, over, spread,
                        pwbench::target(spread <= 1.5, "<= 1.5").c_str());
        });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    }
    g_world.reset();
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
