// Single-user protocol: the 100,000-byte exchange with a server in another process, a failed send
// to a vanished partner, malformed copy data, and the protocol's fixed answers.
#include "tests/db/remote/RemoteTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace pwremote;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSeed = 987654;

// A rendezvous folder of the test's own, so no other process's server answers.
struct Folder : pwtest::TempDir {
    Folder() : path(str()) { plat::SetProcessMessageFolder(path); }
    std::string path;
};

std::unique_ptr<pwtest::ChildProcess> startServer(const std::string& folder) {
    return std::make_unique<pwtest::ChildProcess>(PW_SU_ECHO_SERVER,
                                                  std::vector<std::string>{folder, std::to_string(kSeed)});
}

// The server's exit status, pumping meanwhile; -1 when it did not end in time.
int waitServer(TqbBaseCommsProtocol& p, pwtest::ChildProcess& server) {
    int status = 0;
    bool ended = pumpUntil(p, [&] {
        server.read(0);
        return ::waitpid(server.pid, &status, WNOHANG) == server.pid;
    });
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SingleUserProtocol, ExchangeWithAServerProcess) {
    Folder folder;
    auto server = startServer(folder.path);
    ASSERT_GT(server->pid, 0);
    TqbSingleUserProtocol cli("", false);
    cli.Startup();
    uint32_t id = 0;
    ASSERT_EQ(cli.ConnectToServer("", id, 20000), 0);
    ASSERT_TRUE(cli.SetKey(id, kSeed));

    TqbMessageAssembler assembler;
    TqbMessage reply;
    std::vector<uint32_t> partSizes;
    bool complete = false;
    cli.OnReceiveMsg = [&](TqbBaseCommsProtocol*, uint32_t, uint32_t len, const uint8_t* data) {
        partSizes.push_back(len);
        complete |= assembler.AddPart(data, len, 0, reply) == TqbMessageAssembler::Result::Complete;
        return true;
    };
    Bytes data(100000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + 7);
    TqbMsgHeader h;
    h.MsgID = 1280;
    h.ClientID = id;
    h.RequestID = 3;
    h.MsgType = qbmtRequest;
    for (auto& part : SplitMessage(h, data.data(), 100000, cli.MaxMsgSize()))
        ASSERT_EQ(cli.SendMsg(id, part.data(), uint32_t(part.size()), true), 0);
    ASSERT_TRUE(pumpUntil(cli, [&] { return complete; }));
    EXPECT_EQ(partSizes, (std::vector<uint32_t>{65536, 34528}));
    EXPECT_EQ(reply.Data, data);
    EXPECT_EQ(reply.Header.MsgType, qbmtReply);

    // Hanging up sends the close record: the server sees its client go and ends.
    cli.HangUpByClientID(id);
    EXPECT_EQ(waitServer(cli, *server), 0);
}

TEST(SingleUserProtocol, SendToAVanishedPartnerFails) {
    Folder folder;
    auto server = startServer(folder.path);
    ASSERT_GT(server->pid, 0);
    TqbSingleUserProtocol cli("", false);
    MemoryEventLog log;
    cli.EventLog = &log;
    cli.EventLogEnabled = true;
    cli.Startup();
    uint32_t id = 0;
    ASSERT_EQ(cli.ConnectToServer("", id, 20000), 0);
    ::kill(server->pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(server->pid, &status, 0), server->pid);
    TqbMsgHeader h;
    h.MsgID = 1280;
    h.ClientID = id;
    h.MsgType = qbmtRequest;
    Bytes part = SplitMessage(h, nullptr, 0, cli.MaxMsgSize())[0];
    EXPECT_EQ(cli.SendMsg(id, part.data(), uint32_t(part.size()), true), 292);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Error ", 0), 0u);
    EXPECT_NE(lines[0].find(" sending message via SUP connection: "), std::string::npos);
}

TEST(SingleUserProtocol, MalformedCopyDataEndsTheConnection) {
    Folder folder;
    TqbSingleUserProtocol srv("Local", true), cli("", false);
    std::vector<uint32_t> srvLost, cliLost, taken;
    srv.OnConnectionLost = [&](TqbBaseCommsProtocol*, uint32_t id) { srvLost.push_back(id); };
    cli.OnConnectionLost = [&](TqbBaseCommsProtocol*, uint32_t id) { cliLost.push_back(id); };
    srv.OnReceiveMsg = [&](TqbBaseCommsProtocol*, uint32_t id, uint32_t, const uint8_t*) {
        taken.push_back(id);
        return true;
    };
    srv.Startup();
    cli.Startup();
    uint32_t id = 0;
    ASSERT_EQ(cli.ConnectToServer("", id, 10000), 0);
    ASSERT_EQ(srv.ConnectionCount(), 1u);

    // A part whose own length disagrees with the bytes: the server hangs up, the client hears it.
    Bytes bad(40, 0);
    PutU32(bad.data(), 1280);
    PutU32(bad.data() + 4, 400);
    plat::COPYDATASTRUCT cds{TqbSingleUserProtocol::kDataRecord, uint32_t(bad.size()), bad.data()};
    plat::LRESULT answer = 0;
    ASSERT_TRUE(plat::SendProcessMessageTimeout(srv.Self(), plat::WM_COPYDATA, id,
                                                reinterpret_cast<plat::LPARAM>(&cds), 5000, &answer));
    EXPECT_EQ(answer, 1);
    ASSERT_TRUE(pumpUntil(cli, [&] { return srvLost.size() == 1 && cliLost.size() == 1; }));
    EXPECT_TRUE(taken.empty());
    EXPECT_EQ(srv.ConnectionCount(), 0u);
    EXPECT_EQ(cli.ConnectionCount(), 0u);
}

TEST(SingleUserProtocol, FixedAnswers) {
    Folder folder;
    TqbSingleUserProtocol cli("", false), srv("Local", true);
    EXPECT_EQ(cli.GetProtocolName(), "Single User (QB)");
    std::vector<std::string> names = {"x", "y"};
    cli.GetServerNames(names, 3000);
    EXPECT_EQ(names, std::vector<std::string>{"Local server"});
    cli.Startup();
    cli.Listen(); // nothing for this protocol
    uint32_t id = 0;
    EXPECT_EQ(cli.ConnectToServer("", id, 300), 11278); // no server in this folder
    srv.Startup();
    EXPECT_THROW(srv.ConnectToServer("", id, 100), EqbCommsException);
    EXPECT_EQ(cli.SendMsg(12345, nullptr, 0, true), 292);
}

} // namespace
