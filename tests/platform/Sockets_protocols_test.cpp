// The built-in library's installed-protocol enumeration and read notifications of datagram sockets.
#include "platform/Sockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plat {
namespace {

TEST(SocketsProtocols, EnumerationByNameWithBufferSizes) {
    HMODULE h = LoadSocketLibrary("ws2_32.dll");
    ASSERT_NE(h, 0u);
    auto enumerate = reinterpret_cast<int (*)(const int*, WSAPROTOCOL_INFOA*, uint32_t*)>(
        GetSocketProcAddress(h, "WSAEnumProtocolsA"));
    ASSERT_NE(enumerate, nullptr);
    const WinsockTable& ws = BuiltinWinsock();
    uint32_t len = 0;
    EXPECT_EQ(enumerate(nullptr, nullptr, &len), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSANOTINITIALISED);
    WSADATA data;
    ASSERT_EQ(ws.WSAStartup(MAKEWORD(2, 2), &data), 0);

    WSAPROTOCOL_INFOA one[1];
    len = 32; // too small for one record: the size needed comes back
    EXPECT_EQ(enumerate(nullptr, one, &len), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAENOBUFS);
    ASSERT_EQ(len % sizeof(WSAPROTOCOL_INFOA), 0u);
    std::vector<WSAPROTOCOL_INFOA> all(len / sizeof(WSAPROTOCOL_INFOA));
    ASSERT_EQ(enumerate(nullptr, all.data(), &len), int(all.size()));
    bool tcp = false, udp = false;
    for (const auto& r : all) {
        EXPECT_NE(r.iAddressFamily, WS_AF_IPX); // this kernel has no IPX
        tcp |= r.iAddressFamily == WS_AF_INET && r.iProtocol == WS_IPPROTO_TCP;
        udp |= r.iAddressFamily == WS_AF_INET && r.iProtocol == WS_IPPROTO_UDP;
    }
    EXPECT_TRUE(tcp && udp);
    const int onlyUdp[] = {WS_IPPROTO_UDP, 0};
    len = uint32_t(all.size() * sizeof(WSAPROTOCOL_INFOA));
    ASSERT_EQ(enumerate(onlyUdp, all.data(), &len), 1);
    EXPECT_EQ(all[0].iSocketType, WS_SOCK_DGRAM);

    // A registered 1.1 table has no enumeration.
    RegisterSocketLibrary("ws2_32.dll", BuiltinWinsock());
    HMODULE bare = LoadSocketLibrary("ws2_32.dll");
    EXPECT_EQ(GetSocketProcAddress(bare, "WSAEnumProtocolsA"), nullptr);
    FreeSocketLibrary(bare);
    UnregisterSocketLibrary("ws2_32.dll");
    FreeSocketLibrary(h);
    ws.WSACleanup();
}

TEST(SocketsProtocols, DatagramReadNotifications) {
    const WinsockTable& ws = BuiltinWinsock();
    WSADATA data;
    ASSERT_EQ(ws.WSAStartup(MAKEWORD(1, 1), &data), 0);
    std::vector<std::pair<SOCKET, LPARAM>> seen;
    HWND w = CreateHiddenWindow([&](HWND, UINT m, WPARAM wp, LPARAM lp) {
        if (m == WM_USER + 5) seen.emplace_back(SOCKET(wp), lp);
        return LRESULT(0);
    });
    SOCKET s = ws.socket(WS_AF_INET, WS_SOCK_DGRAM, 0);
    SOCKADDR_IN a{};
    a.sin_family = WS_AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(ws.bind(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a), 0);
    int alen = sizeof a;
    ws.getsockname(s, reinterpret_cast<SOCKADDR*>(&a), &alen);
    ASSERT_EQ(ws.WSAAsyncSelect(s, w, WM_USER + 5, FD_READ), 0);

    int raw = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = a.sin_port;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const char* d : {"one", "two"})
        ::sendto(raw, d, 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::vector<std::string> got;
    ASSERT_TRUE(PumpUntil(
        [&] {
            while (got.size() < seen.size()) {
                char buf[16];
                SOCKADDR_IN from{};
                int flen = sizeof from;
                int n = ws.recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<SOCKADDR*>(&from), &flen);
                EXPECT_GT(n, 0);
                got.emplace_back(buf, size_t(std::max(n, 0)));
            }
            return got.size() == 2;
        },
        10000));
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));
    for (auto& [sock, l] : seen) {
        EXPECT_EQ(sock, s);
        EXPECT_EQ(WSAGETSELECTEVENT(l), FD_READ);
    }
    ::close(raw);
    ws.closesocket(s);
    DestroyWindow(w);
    ws.WSACleanup();
}

} // namespace
} // namespace plat
