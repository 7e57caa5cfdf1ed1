// Socket access: the once-only load and its failure, ports, installed protocols, the error text,
// CheckResult's tolerance and the IP and IPX address conversions.
#include "db/remote/qbllprot.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

TEST(WinsockAccess, LoadOncePortsAndProtocols) {
    ASSERT_TRUE(LoadWinsock());
    EXPECT_TRUE(LoadWinsock());
    EXPECT_EQ(WinsockVersion(), 2);
    EXPECT_EQ(GetTCPPort(), 25445);
    EXPECT_EQ(GetUDPPortSr(), 25445);
    EXPECT_EQ(GetUDPPortCl(), 25701);
    EXPECT_EQ(GetIPXSocketSr(), 25445);
    EXPECT_EQ(GetIPXSocketCl(), 25701);
    EXPECT_EQ(GetSPXSocket(), 25957);
    EXPECT_TRUE(IsProtocolInstalled(qbipTCPIP));
    EXPECT_FALSE(IsProtocolInstalled(qbipIPXSPX)); // no IPX in this kernel
    EXPECT_EQ(ClientText(1010), "Duplicate item in collection");
    EXPECT_EQ(ClientText(1009), "\\Software\\Harrowgate\\Quillbase\\2.0");
}

TEST(WinsockAccess, LibraryWithoutAnEntryFailsTheLoad) {
    // Both libraries lack the protocol enumeration: no load, ports 0, socket protocols refused.
    plat::RegisterSocketLibrary("ws2_32.dll", plat::BuiltinWinsock());
    plat::RegisterSocketLibrary("wsock32.dll", plat::BuiltinWinsock());
    ResetWinsockForTesting();
    EXPECT_FALSE(LoadWinsock());
    EXPECT_EQ(GetTCPPort(), 0);
    EXPECT_EQ(GetSPXSocket(), 0);
    EXPECT_FALSE(IsProtocolInstalled(qbipTCPIP));
    try {
        TqbTCPIPProtocol p("", false);
        ADD_FAILURE() << "made without a socket library";
    } catch (const EqbWinsockException& e) {
        EXPECT_EQ(e.ErrorCode, 385);
        EXPECT_STREQ(e.what(), "Winsock communications: Winsock not found, or DLL is invalid");
    }
    plat::UnregisterSocketLibrary("ws2_32.dll");
    plat::UnregisterSocketLibrary("wsock32.dll");
    EXPECT_FALSE(LoadWinsock()); // the first outcome stays
    ResetWinsockForTesting();
    EXPECT_TRUE(LoadWinsock());
    EXPECT_EQ(GetTCPPort(), 25445);
}

TEST(WinsockAccess, ErrorsAndCheckResult) {
    ASSERT_TRUE(LoadWinsock());
    EXPECT_STREQ(EqbWinsockException(10054).what(),
                 "Winsock communications: Unexpected Winsock error 10054/$2746 [The virtual circuit has been "
                 "reset by the partner]");
    EXPECT_STREQ(EqbWinsockException(10041).what(),
                 "Winsock communications: Unexpected Winsock error 10041/$2739 [WSAEPROTOTYPE]");
    EXPECT_EQ(CheckResult(5, false), 0);
    auto withError = [](int code, bool tolerate) {
        Winsock().WSASetLastError(code);
        return CheckResult(plat::SOCKET_ERROR, tolerate);
    };
    EXPECT_EQ(withError(0, false), 0);
    EXPECT_EQ(withError(10035, false), 10035);
    for (int code : {10037, 10056, 10022}) {
        EXPECT_EQ(withError(code, true), code);
        EXPECT_THROW(withError(code, false), EqbWinsockException);
    }
    EXPECT_THROW(withError(10054, true), EqbWinsockException);
}

TEST(WinsockAccess, AddressTexts) {
    ASSERT_TRUE(LoadWinsock());
    uint32_t a = 0;
    EXPECT_FALSE(TextToIP("255.255.255.255", a)); // all ones is the failure value
    EXPECT_FALSE(TextToIP("not.an.address", a));
    ASSERT_TRUE(TextToIP("127.0.0.1", a));
    EXPECT_EQ(a, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(IPToText(a), "127.0.0.1");
    std::string official;
    uint32_t b = 0;
    EXPECT_TRUE(ResolveHost("localhost", b, official));
    EXPECT_FALSE(ResolveHost("no.such.host.invalid", b, official));
    std::string host;
    EXPECT_TRUE(GetLocalHost(-1, host, b));
    EXPECT_EQ(b, 0u);
    EXPECT_FALSE(host.empty());

    uint8_t net[4] = {0, 0, 0, 0}, node[6] = {255, 255, 255, 255, 255, 255};
    EXPECT_EQ(IPXToText(net, node), "00000000:FF-FF-FF-FF-FF-FF");
    EXPECT_FALSE(GetLocalIPXAddress(net, node));
    const uint8_t n1[4] = {0x12, 0xAB, 0x00, 0x7F}, d1[6] = {1, 0x23, 0x45, 0x67, 0x89, 0xCD};
    const std::string text = IPXToText(n1, d1);
    EXPECT_EQ(text, "12AB007F:01-23-45-67-89-CD");
    uint8_t n2[4] = {}, d2[6] = {};
    ASSERT_TRUE(TextToIPX("12ab007f:01-23-45-67-89-cd", n2, d2));
    EXPECT_EQ(IPXToText(n2, d2), text);
    // Empty: success, nothing written. Bad input: failure, nothing written.
    uint8_t n3[4] = {9, 9, 9, 9}, d3[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_TRUE(TextToIPX("", n3, d3));
    for (const char* bad : {"12AB007F:01-23-45-67-89-CD-EF", "12AB007F99:01", "12AB007:01", "12AB007F:0",
                            "12AB007F;01", "12AB 007F:01"})
        EXPECT_FALSE(TextToIPX(bad, n3, d3)) << bad;
    EXPECT_EQ(IPXToText(n3, d3), "09090909:09-09-09-09-09-09");
}

} // namespace
