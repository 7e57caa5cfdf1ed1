// Wire messages: golden bytes of the header, login records and discovery datagrams; part splitting;
// the scrambler and its key; the stream part reader and the message assembler on good and bad input.
#include "db/remote/qbllcomm.h"

#include "db/base/qbhash.h"
#include "db/base/qblllog.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + i / 251);
    return b;
}

TqbMsgHeader requestHeader() {
    TqbMsgHeader h;
    h.MsgID = 0x504;
    h.ClientID = 0x11223344;
    h.RequestID = 0x55667788;
    h.TimeOut = 5000;
    h.MsgType = qbmtRequest;
    return h;
}

TEST(WireRecords, GoldenBytes) {
    TqbMsgHeader h = requestHeader();
    h.PartLength = 45;
    h.TotalLength = 13;
    h.ErrorCode = -2;
    h.FirstPart = h.LastPart = 1;
    uint8_t out[32];
    EncodeHeader(h, out);
    const Bytes header = {0x04, 0x05, 0,    0,    0x2D, 0,    0,    0,    0x0D, 0,    0,
                          0,    0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0xFE, 0xFF,
                          0xFF, 0xFF, 0x88, 0x13, 0,    0,    1,    1,    0,    1};
    EXPECT_EQ(Bytes(out, out + 32), header);
    TqbMsgHeader back;
    EXPECT_FALSE(DecodeHeader(out, 31, back));
    ASSERT_TRUE(DecodeHeader(out, 32, back));
    EXPECT_EQ(back.ErrorCode, -2);
    EXPECT_EQ(back.RequestID, 0x55667788u);

    Bytes req = EncodeLoginRequest({"SYSDBA", 10000});
    ASSERT_EQ(req.size(), 72u);
    Bytes name = {6, 'S', 'Y', 'S', 'D', 'B', 'A'};
    name.resize(32);
    EXPECT_EQ(Bytes(req.begin(), req.begin() + 32), name);
    EXPECT_EQ(Bytes(req.begin() + 32, req.begin() + 64), name);
    EXPECT_EQ(Bytes(req.begin() + 64, req.end()), (Bytes{0x10, 0x27, 0, 0, 0x08, 0x52, 0, 0}));

    Bytes rep = EncodeLoginReply({7, 21000, 0xDEADBEEF, 30000, 5000, 5, true});
    EXPECT_EQ(rep, (Bytes{7,    0, 0, 0,    0x08, 0x52, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE, 0x30,
                          0x75, 0, 0, 0x88, 0x13, 0,    0, 5, 0,    0,    0,    1}));

    EXPECT_EQ(KeepAliveBytes(), (Bytes{0x0A, 0, 0, 0}));
    EXPECT_EQ(DiscoveryQuery(), (Bytes{0x06, 0, 0, 0}));
    Bytes ans = EncodeDiscoveryAnswer("Srv", "10.0.0.1");
    ASSERT_EQ(ans.size(), 68u);
    EXPECT_EQ(Bytes(ans.begin(), ans.begin() + 8), (Bytes{7, 0, 0, 0, 3, 'S', 'r', 'v'}));
    EXPECT_EQ(ans[36], 8);
    EXPECT_EQ(std::string(ans.begin() + 37, ans.begin() + 45), "10.0.0.1");
    EXPECT_TRUE(std::all_of(ans.begin() + 45, ans.end(), [](uint8_t b) { return b == 0; }));

    // Names longer than 31 characters are cut at 31.
    Bytes longName = EncodeLoginRequest({std::string(40, 'x'), 0});
    EXPECT_EQ(longName[0], 31);
    EXPECT_EQ(longName[32], 31);
}

TEST(WireRecords, ParsersRefuseWrongSizesAndLengthBytes) {
    TqbLoginReply r;
    Bytes rep = EncodeLoginReply({9, 21000, 1, 2, 3, 4, false});
    EXPECT_FALSE(DecodeLoginReply(rep.data(), 24, r));
    Bytes longer = rep;
    longer.push_back(0);
    EXPECT_FALSE(DecodeLoginReply(longer.data(), longer.size(), r));
    ASSERT_TRUE(DecodeLoginReply(rep.data(), rep.size(), r));
    EXPECT_EQ(r.ClientID, 9u);
    EXPECT_EQ(r.KeepAliveRetries, 4u);
    EXPECT_FALSE(r.Secure);

    std::string name, local;
    Bytes ans = EncodeDiscoveryAnswer("Srv", "host");
    EXPECT_FALSE(DecodeDiscoveryAnswer(ans.data(), 67, name, local));
    Bytes bad = ans;
    bad[0] = 6;
    EXPECT_FALSE(DecodeDiscoveryAnswer(bad.data(), bad.size(), name, local));
    bad = ans;
    bad[36] = 32; // a length byte past the field
    EXPECT_FALSE(DecodeDiscoveryAnswer(bad.data(), bad.size(), name, local));
    ASSERT_TRUE(DecodeDiscoveryAnswer(ans.data(), ans.size(), name, local));
    EXPECT_EQ(name + "|" + local, "Srv|host");

    TqbLoginRequest q;
    Bytes req = EncodeLoginRequest({"ann", 500});
    req[0] = 200; // only the second copy counts
    ASSERT_TRUE(DecodeLoginRequest(req.data(), req.size(), q));
    EXPECT_EQ(q.UserName, "ann");
    EXPECT_EQ(q.ClientVersion, qbClientVersion);
    req[32] = 200;
    EXPECT_FALSE(DecodeLoginRequest(req.data(), req.size(), q));
    EXPECT_FALSE(DecodeLoginRequest(req.data(), 71, q));

    const uint8_t query[4] = {6, 0, 0, 0};
    EXPECT_TRUE(IsDiscoveryQuery(query, 4));
    EXPECT_FALSE(IsDiscoveryQuery(query, 5));
    EXPECT_FALSE(IsKeepAlive(query, 4));
}

TEST(WireSplit, SizesForBothMaximums) {
    for (uint32_t max : {qbMaxMsgSizeSockets, qbMaxMsgSizeSingleUser}) {
        for (uint32_t n : {0u, 1u, 24544u, 24545u, 100000u}) {
            SCOPED_TRACE(std::to_string(max) + "/" + std::to_string(n));
            Bytes data = pattern(n);
            auto parts = SplitMessage(requestHeader(), data.data(), n, max);
            const size_t per = max - 32;
            EXPECT_EQ(parts.size(), n == 0 ? 1 : (n + per - 1) / per);
            Bytes joined;
            for (size_t i = 0; i < parts.size(); ++i) {
                TqbMsgHeader h;
                ASSERT_TRUE(DecodeHeader(parts[i].data(), parts[i].size(), h));
                EXPECT_EQ(h.PartLength, parts[i].size());
                EXPECT_LE(h.PartLength, max);
                EXPECT_EQ(h.TotalLength, n);
                EXPECT_EQ(h.FirstPart, i == 0 ? 1 : 0);
                EXPECT_EQ(h.LastPart, i + 1 == parts.size() ? 1 : 0);
                EXPECT_EQ(h.RequestID, 0x55667788u);
                if (i + 1 < parts.size()) {
                    EXPECT_EQ(h.PartLength, max);
                }
                joined.insert(joined.end(), parts[i].begin() + 32, parts[i].end());
            }
            EXPECT_EQ(joined, data);
        }
    }
    auto parts = SplitMessage(requestHeader(), pattern(100000).data(), 100000, qbMaxMsgSizeSockets);
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_EQ(parts[4].size(), 1856u);
    EXPECT_EQ(SplitMessage(requestHeader(), nullptr, 0, qbMaxMsgSizeSockets)[0].size(), 32u);
}

TEST(WireScramble, KeyAndRoundTrip) {
    TqbScrambleKey one, same, zeroState;
    one.SetKey(1);
    same.SetKey(1);
    EXPECT_EQ(Bytes(one.Table(), one.Table() + 256), Bytes(same.Table(), same.Table() + 256));
    EXPECT_EQ(Bytes(one.Table(), one.Table() + 4), (Bytes{131, 44, 79, 136}));
    // A seed that reduces to 0 still gives a working table.
    zeroState.SetKey(0x80000000u);
    EXPECT_GT(std::count_if(zeroState.Table(), zeroState.Table() + 256, [](uint8_t b) { return b != 0; }),
              200);
    TqbScrambleKey fresh;
    fresh.SetKey(0);
    EXPECT_NE(fresh.Seed(), 0u);

    auto parts = SplitMessage(requestHeader(), pattern(300).data(), 300, qbMaxMsgSizeSockets);
    Bytes plain = parts[0], s = plain;
    ScrambleMsg(s.data(), s.size(), one);
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 8), Bytes(plain.begin(), plain.begin() + 8));
    for (size_t i = 8; i < s.size(); ++i)
        ASSERT_EQ(uint8_t(s[i] ^ plain[i]), one.Table()[(i - 8) & 255]) << i;
    ScrambleMsg(s.data(), s.size(), one);
    EXPECT_EQ(s, plain);

    Bytes login = EncodeLoginRequest({"ann", 1});
    TqbMsgHeader h = requestHeader();
    h.MsgID = qbmLogin;
    Bytes loginPart = SplitMessage(h, login.data(), uint32_t(login.size()), qbMaxMsgSizeSockets)[0];
    Bytes copy = loginPart;
    ScrambleMsg(copy.data(), copy.size(), one);
    EXPECT_EQ(copy, loginPart);
    Bytes ka = KeepAliveBytes(), eight(plain.begin(), plain.begin() + 8);
    ScrambleMsg(ka.data(), ka.size(), one);
    ScrambleMsg(eight.data(), eight.size(), one);
    EXPECT_EQ(ka, KeepAliveBytes());
    EXPECT_EQ(eight, Bytes(plain.begin(), plain.begin() + 8));
}

TEST(WireScramble, LoginGivesBothSidesOneKey) {
    const uint32_t serverSeed = 0x13572468, hash = 0xCAFEF00D;
    for (bool secure : {false, true}) {
        TqbLoginReply r;
        r.LoginCode = LoginKeySeed(serverSeed, hash, secure);
        r.Secure = secure;
        Bytes wire = EncodeLoginReply(r);
        TqbLoginReply got;
        ASSERT_TRUE(DecodeLoginReply(wire.data(), wire.size(), got));
        EXPECT_EQ(LoginKeySeed(got.LoginCode, hash, got.Secure), serverSeed);
        // Only the secure flag keeps the seed off the wire; a wrong hash then gives another key.
        EXPECT_EQ(got.LoginCode == serverSeed, !secure);
        if (secure) {
            EXPECT_NE(LoginKeySeed(got.LoginCode, hash ^ 1, true), serverSeed);
        }
    }
}

TEST(WireScramble, LongPasswordsAreCutTo31OnBothSides) {
    // The server stores what the user once typed, the client sends what the login prompt took.
    const std::string stored = "correct-horse-battery-staple-1234567890"; // 39 characters
    const std::string typed = "correct-horse-battery-staple-12-typed-on"; // 40, the same first 31
    ASSERT_EQ(typed.size(), 40u);
    ASSERT_EQ(typed.compare(0, 31, stored, 0, 31), 0);
    EXPECT_EQ(PasswordHash(typed), HashShStr(typed.substr(0, 31)));
    EXPECT_NE(PasswordHash(typed), HashShStr(typed)); // the whole text would give another key
    const uint32_t serverSeed = 0x2468ACE1;
    TqbLoginReply r;
    r.LoginCode = LoginKeySeed(serverSeed, PasswordHash(stored), true);
    r.Secure = true;
    Bytes wire = EncodeLoginReply(r);
    TqbLoginReply got;
    ASSERT_TRUE(DecodeLoginReply(wire.data(), wire.size(), got));
    EXPECT_EQ(LoginKeySeed(got.LoginCode, PasswordHash(typed), got.Secure), serverSeed);
    // A difference inside the first 31 characters still fails.
    std::string wrong = typed;
    wrong[30] ^= 1;
    EXPECT_NE(LoginKeySeed(got.LoginCode, PasswordHash(wrong), got.Secure), serverSeed);
    EXPECT_EQ(PasswordHash(""), 0u);
}

// Every item the reader gives for a stream cut into pieces of `step` bytes.
std::vector<std::string> readAll(const Bytes& stream, size_t step, uint32_t max = qbMaxMsgSizeSockets) {
    TqbPartReader r(max);
    std::vector<std::string> items;
    for (size_t at = 0; at < stream.size();) {
        size_t n = std::min(step, stream.size() - at);
        at += r.Append(stream.data() + at, n);
        for (;;) {
            uint8_t* p;
            uint32_t len;
            auto item = r.Next(&p, &len);
            if (item == TqbPartReader::Item::None) break;
            if (item == TqbPartReader::Item::Bad) {
                items.push_back("bad " + std::to_string(r.BadLength()));
                return items;
            }
            if (item == TqbPartReader::Item::KeepAlive) {
                items.push_back("ka");
            } else {
                items.push_back("part " + std::to_string(len) + " " + std::to_string(p[len - 1]));
                r.Consume();
            }
        }
    }
    return items;
}

TEST(WirePartReader, KeepAlivesPartsAndEveryCut) {
    auto parts = SplitMessage(requestHeader(), pattern(30000).data(), 30000, qbMaxMsgSizeSockets);
    Bytes stream = KeepAliveBytes();
    stream.insert(stream.end(), stream.begin(), stream.end());
    stream.insert(stream.end(), parts[0].begin(), parts[0].end());
    Bytes ka = KeepAliveBytes();
    stream.insert(stream.end(), ka.begin(), ka.end());
    stream.insert(stream.end(), parts[1].begin(), parts[1].end());
    const std::vector<std::string> want = {"ka", "ka", "part 24576 " + std::to_string(parts[0].back()), "ka",
                                           "part 5488 " + std::to_string(parts[1].back())};
    EXPECT_EQ(readAll(stream, stream.size()), want);
    for (size_t step : {1, 3, 7, 32, 4096})
        EXPECT_EQ(readAll(stream, step), want) << step;

    // A part not consumed is handed out again, unchanged.
    TqbPartReader r(qbMaxMsgSizeSockets);
    r.Append(parts[1].data(), parts[1].size());
    uint8_t* p;
    uint32_t len;
    ASSERT_EQ(r.Next(&p, &len), TqbPartReader::Item::Part);
    ASSERT_EQ(r.Next(&p, &len), TqbPartReader::Item::Part);
    EXPECT_EQ(Bytes(p, p + len), parts[1]);
}

TEST(WirePartReader, BadLengthsEndTheStream) {
    for (uint32_t bad : {0u, 8u, 31u, qbMaxMsgSizeSockets + 1, 0xFFFFFFFFu}) {
        Bytes head(32, 0);
        PutU32(head.data(), 12);
        PutU32(head.data() + 4, bad);
        Bytes stream = KeepAliveBytes();
        stream.insert(stream.end(), head.begin(), head.end());
        auto items = readAll(stream, 5);
        ASSERT_EQ(items.size(), 2u) << bad;
        EXPECT_EQ(items[1], "bad " + std::to_string(bad));
    }
    // The single-user maximum takes a part the socket maximum refuses.
    auto big = SplitMessage(requestHeader(), pattern(40000).data(), 40000, qbMaxMsgSizeSingleUser);
    EXPECT_EQ(readAll(big[0], 1000, qbMaxMsgSizeSingleUser).size(), 1u);
    EXPECT_EQ(readAll(big[0], 1000, qbMaxMsgSizeSockets)[0], "bad 40032");
}

TEST(WireAssembler, JoinsInOrderAndRefusesWhatDoesNotFit) {
    Bytes data = pattern(100000);
    auto parts = SplitMessage(requestHeader(), data.data(), 100000, qbMaxMsgSizeSockets);
    TqbMessageAssembler a;
    TqbMessage m;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
        ASSERT_EQ(a.AddPart(parts[i].data(), uint32_t(parts[i].size()), 0, m),
                  TqbMessageAssembler::Result::Incomplete);
    EXPECT_EQ(a.PendingBytes(), 4u * 24544);
    ASSERT_EQ(a.AddPart(parts[4].data(), uint32_t(parts[4].size()), 0, m),
              TqbMessageAssembler::Result::Complete);
    EXPECT_EQ(m.Data, data);
    EXPECT_EQ(m.Header.RequestID, 0x55667788u);
    EXPECT_EQ(a.Pending(), 0u);

    auto addOnly = [](std::vector<Bytes> ps) {
        TqbMessageAssembler x(50000);
        TqbMessage out;
        TqbMessageAssembler::Result r = TqbMessageAssembler::Result::Incomplete;
        for (auto& p : ps)
            r = x.AddPart(p.data(), uint32_t(p.size()), 0, out);
        return r;
    };
    using R = TqbMessageAssembler::Result;
    EXPECT_EQ(addOnly({parts[0], parts[0]}), R::Bad); // started twice
    EXPECT_EQ(addOnly({parts[0]}), R::Bad);           // total 100000 above the cap of 50000
    Bytes lying = SplitMessage(requestHeader(), data.data(), 10, qbMaxMsgSizeSockets)[0];
    PutU32(lying.data() + 8, 5); // more data than the total
    EXPECT_EQ(addOnly({lying}), R::Bad);
    PutU32(lying.data() + 8, 10);
    PutU32(lying.data() + 4, 41); // part length not the bytes given
    EXPECT_EQ(addOnly({lying}), R::Bad);
    auto small = SplitMessage(requestHeader(), data.data(), 30000, qbMaxMsgSizeSockets);
    Bytes early = small[0];
    early[29] = 1; // last flag before the total is reached
    EXPECT_EQ(addOnly({early}), R::Bad);
    Bytes endless = small[1];
    endless[29] = 0; // the total is reached without the last flag
    EXPECT_EQ(addOnly({small[0], endless}), R::Bad);
}

TEST(WireAssembler, LaterPartsWithoutTheirFirstAreIgnoredNotFatal) {
    using R = TqbMessageAssembler::Result;
    Bytes data = pattern(60000);
    auto parts = SplitMessage(requestHeader(), data.data(), 60000, qbMaxMsgSizeSockets);
    ASSERT_EQ(parts.size(), 3u);
    TqbMessageAssembler a(qbMaxMsgTotalLength, 64, size_t(32) << 20, 1000);
    TqbMessage m;
    // The middle and last parts of a message whose first never came: dropped, nothing kept.
    EXPECT_EQ(a.AddPart(parts[1].data(), uint32_t(parts[1].size()), 0, m), R::Ignored);
    EXPECT_EQ(a.AddPart(parts[2].data(), uint32_t(parts[2].size()), 0, m), R::Ignored);
    EXPECT_EQ(a.Pending(), 0u);
    // The same assembler goes on with the next message.
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ(a.AddPart(parts[i].data(), uint32_t(parts[i].size()), 10, m), R::Incomplete);
    EXPECT_EQ(a.AddPart(parts[2].data(), uint32_t(parts[2].size()), 20, m), R::Complete);
    EXPECT_EQ(m.Data, data);
    // A message that expired: its late part is ignored as well.
    EXPECT_EQ(a.AddPart(parts[0].data(), uint32_t(parts[0].size()), 100, m), R::Incomplete);
    EXPECT_EQ(a.Expire(1100), 1u);
    EXPECT_EQ(a.AddPart(parts[1].data(), uint32_t(parts[1].size()), 1100, m), R::Ignored);
    // Broken framing still ends the connection.
    Bytes lying = parts[1];
    PutU32(lying.data() + 4, 100);
    EXPECT_EQ(a.AddPart(lying.data(), uint32_t(lying.size()), 1100, m), R::Bad);
}

TEST(WireAssembler, OtherMessageTypesAreLoggedAndTakenAsRequests) {
    MemoryEventLog log;
    TqbMessageAssembler a;
    a.EventLog = &log;
    a.EventLogEnabled = true;
    Bytes data = pattern(30000);
    auto parts = SplitMessage(requestHeader(), data.data(), 30000, qbMaxMsgSizeSockets);
    parts[0][31] = 0;
    parts[1][31] = 7;
    TqbMessage m;
    EXPECT_EQ(a.AddPart(parts[0].data(), uint32_t(parts[0].size()), 0, m),
              TqbMessageAssembler::Result::Incomplete);
    ASSERT_EQ(a.AddPart(parts[1].data(), uint32_t(parts[1].size()), 0, m),
              TqbMessageAssembler::Result::Complete);
    EXPECT_EQ(m.Data, data);
    EXPECT_EQ(m.Header.MsgType, qbmtRequest);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Bad msg type 0, Clnt 287454020, Msg 1284",
                                                     "Bad msg type 7, Clnt 287454020, Msg 1284"}));
    Bytes one = SplitMessage(requestHeader(), data.data(), 10, qbMaxMsgSizeSockets)[0];
    one[31] = 200;
    ASSERT_EQ(a.AddPart(one.data(), uint32_t(one.size()), 0, m), TqbMessageAssembler::Result::Complete);
    EXPECT_EQ(m.Header.MsgType, qbmtRequest);
    EXPECT_EQ(log.Lines().back(), "Bad msg type 200, Clnt 287454020, Msg 1284");
}

TEST(WireAssembler, OneBudgetForAllConnections) {
    using R = TqbMessageAssembler::Result;
    MemoryEventLog log;
    TqbReassemblyBudget budget(3, 100000);
    // Three connections, each well inside its own limits.
    std::vector<std::unique_ptr<TqbMessageAssembler>> conns;
    for (int i = 0; i < 3; ++i) {
        conns.push_back(
            std::make_unique<TqbMessageAssembler>(qbMaxMsgTotalLength, 64, size_t(32) << 20, 30000, &budget));
        conns.back()->EventLog = &log;
        conns.back()->EventLogEnabled = true;
    }
    Bytes data = pattern(60000);
    auto message = [&](uint32_t request) {
        TqbMsgHeader h = requestHeader();
        h.RequestID = request;
        return SplitMessage(h, data.data(), 60000, qbMaxMsgSizeSockets);
    };
    TqbMessage m;
    auto a1 = message(1), a2 = message(2), b1 = message(3), c1 = message(4);
    EXPECT_EQ(conns[0]->AddPart(a1[0].data(), uint32_t(a1[0].size()), 0, m), R::Incomplete);
    EXPECT_EQ(conns[0]->AddPart(a2[0].data(), uint32_t(a2[0].size()), 0, m), R::Incomplete);
    EXPECT_EQ(conns[1]->AddPart(b1[0].data(), uint32_t(b1[0].size()), 0, m), R::Incomplete);
    EXPECT_EQ(budget.Messages(), 3u);
    EXPECT_EQ(budget.Bytes(), 3u * 24544);
    // A fourth message on a third connection: refused, the connection itself stays.
    EXPECT_EQ(conns[2]->AddPart(c1[0].data(), uint32_t(c1[0].size()), 0, m), R::Ignored);
    EXPECT_EQ(conns[2]->AddPart(c1[1].data(), uint32_t(c1[1].size()), 0, m), R::Ignored);
    ASSERT_EQ(log.LineCount(), 1u);
    EXPECT_EQ(log.Lines()[0], "Reassembly limit of all connections reached (3 messages, 100000 bytes): "
                              "message dropped, Clnt 287454020, Msg 1284, Req 4");
    // Bytes: the second part of a message that would pass 100000 bytes drops that message.
    EXPECT_EQ(conns[0]->AddPart(a1[1].data(), uint32_t(a1[1].size()), 0, m), R::Incomplete); // 98176
    EXPECT_EQ(conns[1]->AddPart(b1[1].data(), uint32_t(b1[1].size()), 0, m), R::Ignored);
    EXPECT_EQ(conns[1]->Pending(), 0u);
    EXPECT_EQ(log.LineCount(), 2u);
    // What completes, expires or goes with its connection gives its share back.
    EXPECT_EQ(conns[0]->AddPart(a1[2].data(), uint32_t(a1[2].size()), 0, m), R::Complete);
    EXPECT_EQ(m.Data, data);
    EXPECT_EQ(budget.Messages(), 1u);
    EXPECT_EQ(budget.Bytes(), 24544u);
    conns[0].reset();
    EXPECT_EQ(budget.Messages(), 0u);
    EXPECT_EQ(budget.Bytes(), 0u);
    EXPECT_EQ(conns[2]->AddPart(c1[0].data(), uint32_t(c1[0].size()), 0, m), R::Incomplete);
    EXPECT_EQ(conns[2]->Expire(30000), 1u);
    EXPECT_EQ(budget.Messages(), 0u);
    EXPECT_EQ(budget.Bytes(), 0u);
}

TEST(WireAssembler, BoundedAndExpiring) {
    TqbMessageAssembler a(qbMaxMsgTotalLength, 2, 60000, 1000);
    TqbMessage m;
    Bytes data = pattern(30000);
    auto first = [&](uint32_t request) {
        TqbMsgHeader h = requestHeader();
        h.RequestID = request;
        return SplitMessage(h, data.data(), 30000, qbMaxMsgSizeSockets)[0];
    };
    Bytes p1 = first(1), p2 = first(2), p3 = first(3);
    EXPECT_EQ(a.AddPart(p1.data(), uint32_t(p1.size()), 0, m), TqbMessageAssembler::Result::Incomplete);
    EXPECT_EQ(a.AddPart(p2.data(), uint32_t(p2.size()), 500, m), TqbMessageAssembler::Result::Incomplete);
    EXPECT_EQ(a.AddPart(p3.data(), uint32_t(p3.size()), 600, m), TqbMessageAssembler::Result::Bad); // count
    EXPECT_EQ(a.Expire(999), 0u);
    EXPECT_EQ(a.Expire(1000), 1u);
    EXPECT_EQ(a.Pending(), 1u);
    EXPECT_EQ(a.PendingBytes(), 24544u);
    EXPECT_EQ(a.AddPart(p3.data(), uint32_t(p3.size()), 600, m), TqbMessageAssembler::Result::Incomplete);
    // Bytes: a third message would pass 60000 pending bytes.
    TqbMessageAssembler b(qbMaxMsgTotalLength, 10, 60000, 1000);
    Bytes q1 = first(4), q2 = first(5), q3 = first(6);
    b.AddPart(q1.data(), uint32_t(q1.size()), 0, m);
    b.AddPart(q2.data(), uint32_t(q2.size()), 0, m);
    EXPECT_EQ(b.AddPart(q3.data(), uint32_t(q3.size()), 0, m), TqbMessageAssembler::Result::Bad);
}

} // namespace
