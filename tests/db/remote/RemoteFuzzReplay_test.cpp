// Replays the corpora of the remote-protocol fuzz targets, mutated variants of each input and
// random streams through the same harnesses, so that CI runs them under the sanitizers.
#include "tests/fuzz/FuzzReplay.h"
#include "tests/fuzz/RemoteReplyFuzz.h"
#include "tests/fuzz/RemoteWireFuzz.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TEST(RemoteFuzzReplay, StreamAndRecordCorporaRunClean) {
    auto stream = pwfuzz::Corpus("remote_stream"), records = pwfuzz::Corpus("remote_records");
    ASSERT_GE(stream.size(), 4u);
    ASSERT_GE(records.size(), 5u);
    pwfuzz::Replay(stream, pwfuzz::RunRemoteStream, 60, 11);
    pwfuzz::Replay(records, pwfuzz::RunRemoteRecords, 300, 11);

    // Random streams made of keep-alives and headers with lengths near the limits.
    std::mt19937 rng(5);
    for (int i = 0; i < 300; ++i) {
        std::string s(2, char(rng()));
        while (s.size() < 20000) {
            uint8_t h[32] = {};
            switch (rng() % 4) {
            case 0:
                PutU32(h, qbmKeepAlive);
                s.append(reinterpret_cast<char*>(h), 4);
                continue;
            case 1:
                PutU32(h + 4, 32 + rng() % 64);
                break;
            case 2:
                PutU32(h + 4, qbMaxMsgSizeSockets - 2 + rng() % 4);
                break;
            default:
                PutU32(h + 4, uint32_t(rng()));
            }
            PutU32(h, uint32_t(rng() % 3000));
            PutU32(h + 8, rng() % 2 ? GetU32(h + 4) - 32 : uint32_t(rng() % 100000));
            h[28] = uint8_t(rng() % 2);
            h[29] = uint8_t(rng() % 2);
            h[31] = uint8_t(rng() % 4);
            s.append(reinterpret_cast<char*>(h), 32);
            s.append(std::min<size_t>(GetU32(h + 4) - 32, 30000), char(rng()));
        }
        pwfuzz::RunRemoteStream(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
}

TEST(RemoteFuzzReplay, ProxyReplyCorpusRunsClean) {
    const auto seeds = pwfuzz::RemoteReplySeeds();
    EXPECT_TRUE(pwfuzz::WriteCorpus("remote_reply", seeds));
    // A correct reply of each operation is long enough to carry what it describes.
    for (const std::string& s : seeds)
        EXPECT_GT(s.size(), 2u);
    pwfuzz::Replay(
        seeds, [](const uint8_t* d, size_t n) { pwfuzz::RunRemoteReply(d, n); }, 40, 3);
    const auto saved = pwfuzz::Corpus("remote_reply");
    ASSERT_GE(saved.size(), seeds.size());
    pwfuzz::Replay(
        saved, [](const uint8_t* d, size_t n) { pwfuzz::RunRemoteReply(d, n); }, 10, 5);
}

} // namespace
