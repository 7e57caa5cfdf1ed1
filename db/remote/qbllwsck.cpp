// Socket access: loading the socket library by name once per process, the installed protocols,
// default ports, the raising socket helpers and the IP and IPX address conversions.
#include "db/remote/qbllwsck.h"

#include "db/base/qbsrmgr.h"

#include <cstring>
#include <mutex>
#include <vector>

void registerDbRemoteStrings(); // generated from db/remote/strings/*.str

namespace {

using namespace plat;

// Stored in network byte order, as the library keeps them.
constexpr uint16_t netOrder(uint16_t v) {
    return uint16_t((v >> 8) | (v << 8));
}
constexpr uint16_t kTCPPort = netOrder(25445), kUDPPortSr = netOrder(25445), kUDPPortCl = netOrder(25701),
                   kIPXSocketSr = netOrder(25445), kIPXSocketCl = netOrder(25701),
                   kSPXSocket = netOrder(25957);

struct Candidate {
    const char* file;
    WORD version;
};
constexpr Candidate kCandidates[] = {{"ws2_32.dll", MAKEWORD(2, 2)}, {"wsock32.dll", MAKEWORD(1, 1)}};

// The names looked up, in this order; a missing one fails the load.
constexpr const char* kEntryNames[] = {"accept",
                                       "bind",
                                       "closesocket",
                                       "connect",
                                       "getpeername",
                                       "getsockname",
                                       "getsockopt",
                                       "htonl",
                                       "htons",
                                       "inet_addr",
                                       "inet_ntoa",
                                       "ioctlsocket",
                                       "listen",
                                       "ntohl",
                                       "ntohs",
                                       "recv",
                                       "recvfrom",
                                       "select",
                                       "send",
                                       "sendto",
                                       "setsockopt",
                                       "shutdown",
                                       "socket",
                                       "gethostbyaddr",
                                       "gethostbyname",
                                       "gethostname",
                                       "getservbyport",
                                       "getservbyname",
                                       "getprotobynumber",
                                       "getprotobyname",
                                       "WSAStartup",
                                       "WSACleanup",
                                       "WSAEnumProtocolsA",
                                       "WSASetLastError",
                                       "WSAGetLastError",
                                       "WSAIsBlocking",
                                       "WSAUnhookBlockingHook",
                                       "WSASetBlockingHook",
                                       "WSACancelBlockingCall",
                                       "WSAAsyncGetServByName",
                                       "WSAAsyncGetServByPort",
                                       "WSAAsyncGetProtoByName",
                                       "WSAAsyncGetProtoByNumber",
                                       "WSAAsyncGetHostByName",
                                       "WSAAsyncGetHostByAddr",
                                       "WSACancelAsyncRequest",
                                       "WSAAsyncSelect"};
static_assert(sizeof(kEntryNames) / sizeof(kEntryNames[0]) == 47);

struct Loader {
    std::mutex mu; // the load's critical section
    bool attempted = false;
    bool loaded = false;
    HMODULE library = 0;
    int version = 0;
    uint32_t installed = 0;
    WinsockTable table{};
    int (*enumProtocols)(const int*, WSAPROTOCOL_INFOA*, uint32_t*) = nullptr;
};

Loader& L() {
    static Loader* l = new Loader; // never destroyed: sockets may close during exit
    return *l;
}

// Every entry by name into the table; false when one is missing.
bool resolve(HMODULE lib, Loader& l) {
    size_t count = 0;
    const WinsockEntry* entries = WinsockEntries(&count);
    WinsockTable t{};
    for (const char* name : kEntryNames) {
        FARPROC p = GetSocketProcAddress(lib, name);
        if (!p) return false;
        if (std::strcmp(name, "WSAEnumProtocolsA") == 0) {
            l.enumProtocols = reinterpret_cast<decltype(l.enumProtocols)>(p);
            continue;
        }
        for (size_t i = 0; i < count; ++i)
            if (std::strcmp(entries[i].name, name) == 0) entries[i].set(t, p);
    }
    l.table = t;
    return true;
}

uint32_t enumInstalled(Loader& l) {
    // A first buffer of 32 bytes, then one of the size asked for.
    uint32_t length = 32;
    std::vector<uint8_t> buf(length);
    int n = l.enumProtocols(nullptr, reinterpret_cast<WSAPROTOCOL_INFOA*>(buf.data()), &length);
    if (n == SOCKET_ERROR && l.table.WSAGetLastError() == WSAENOBUFS) {
        buf.assign(length, 0);
        n = l.enumProtocols(nullptr, reinterpret_cast<WSAPROTOCOL_INFOA*>(buf.data()), &length);
    }
    uint32_t bits = 0;
    for (size_t i = 0; n > 0 && i < size_t(n) && (i + 1) * sizeof(WSAPROTOCOL_INFOA) <= buf.size(); ++i) {
        WSAPROTOCOL_INFOA r;
        std::memcpy(&r, buf.data() + i * sizeof r, sizeof r);
        if (r.iAddressFamily == WS_AF_INET) bits |= qbipTCPIP;
        if (r.iAddressFamily == WS_AF_IPX) bits |= qbipIPXSPX;
    }
    return bits;
}

bool loaded() {
    return LoadWinsock();
}

uint16_t port(uint16_t stored) {
    return loaded() ? netOrder(stored) : 0;
}

[[noreturn]] void raiseLast() {
    throw EqbWinsockException(Winsock().WSAGetLastError());
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

EqbWinsockException::EqbWinsockException(int32_t winsockError)
    : EqbCommsException(GeneralStrings(), 384,
                        {winsockError, winsockError, WinsockErrorStrings().GetText(winsockError)}) {}

TqbStringResource& WinsockErrorStrings() {
    static TqbStringResource* r =
        (registerDbRemoteStrings(), new TqbStringResource("QB_WINSOCK_ERROR_STRINGS"));
    return *r;
}

TqbStringResource& ClientStrings() {
    static TqbStringResource* r = (registerDbRemoteStrings(), new TqbStringResource("QB_CLIENT_STRINGS"));
    return *r;
}

std::string ClientText(int32_t id) {
    char buf[129];
    return ClientStrings().GetTextBuf(id, buf, sizeof buf);
}

bool LoadWinsock() {
    Loader& l = L();
    std::lock_guard lk(l.mu);
    if (l.attempted) return l.loaded;
    l.attempted = true;
    for (const Candidate& c : kCandidates) {
        HMODULE lib = LoadSocketLibrary(c.file);
        if (!lib) continue;
        // The first library that loads is the one used.
        l.library = lib;
        if (!resolve(lib, l)) return false;
        WSADATA data;
        if (l.table.WSAStartup(c.version, &data) != 0) return false;
        l.loaded = true;
        l.version = c.version == MAKEWORD(2, 2) ? 2 : 1;
        l.installed = l.version == 1 ? (qbipTCPIP | qbipIPXSPX) : enumInstalled(l);
        return true;
    }
    return false;
}

void UnloadWinsock() {
    Loader& l = L();
    std::lock_guard lk(l.mu);
    if (l.loaded) l.table.WSACleanup();
    if (l.library) FreeSocketLibrary(l.library);
    l.library = 0;
    l.loaded = false;
    l.version = 0;
    l.installed = 0;
}

void ResetWinsockForTesting() {
    UnloadWinsock();
    std::lock_guard lk(L().mu);
    L().attempted = false;
}

int WinsockVersion() {
    return LoadWinsock() ? L().version : 0;
}

const WinsockTable& Winsock() {
    return L().table;
}

bool IsProtocolInstalled(uint32_t protocolBit) {
    return LoadWinsock() && (L().installed & protocolBit) != 0;
}

uint16_t GetTCPPort() {
    return port(kTCPPort);
}
uint16_t GetUDPPortSr() {
    return port(kUDPPortSr);
}
uint16_t GetUDPPortCl() {
    return port(kUDPPortCl);
}
uint16_t GetIPXSocketSr() {
    return port(kIPXSocketSr);
}
uint16_t GetIPXSocketCl() {
    return port(kIPXSocketCl);
}
uint16_t GetSPXSocket() {
    return port(kSPXSocket);
}

SOCKET CreateSocket(int af, int type, int protocol) {
    SOCKET s = Winsock().socket(af, type, protocol);
    if (s == INVALID_SOCKET) raiseLast();
    return s;
}

void AsyncSelect(SOCKET s, HWND wnd, long events) {
    if (Winsock().WSAAsyncSelect(s, wnd, WM_QB_SOCKET, events) == SOCKET_ERROR) raiseLast();
}

void GetSockOpt(SOCKET s, int level, int option, int* length, void* value) {
    if (Winsock().getsockopt(s, level, option, static_cast<char*>(value), length) == SOCKET_ERROR)
        raiseLast();
}

void SetSockOpt(SOCKET s, int level, int option, int length, const void* value) {
    if (Winsock().setsockopt(s, level, option, static_cast<const char*>(value), length) == SOCKET_ERROR)
        raiseLast();
}

void CloseSocket(SOCKET& s) {
    if (s == INVALID_SOCKET) return;
    Winsock().shutdown(s, WS_SD_BOTH);
    Winsock().closesocket(s);
    s = INVALID_SOCKET;
}

int CheckResult(int result, bool tolerate) {
    if (result != SOCKET_ERROR) return 0;
    int e = Winsock().WSAGetLastError();
    if (e == 0 || e == WSAEWOULDBLOCK) return e;
    if (tolerate && (e == WSAEALREADY || e == WSAEISCONN || e == WSAEINVAL)) return e;
    throw EqbWinsockException(e);
}

std::string IPToText(uint32_t address) {
    if (!loaded()) return {};
    const char* t = Winsock().inet_ntoa(IN_ADDR{address});
    return t ? std::string(t).substr(0, 31) : std::string();
}

bool TextToIP(std::string_view text, uint32_t& address) {
    if (!loaded()) return false;
    std::string t(text.substr(0, 31));
    uint32_t a = Winsock().inet_addr(t.c_str());
    if (a == WS_INADDR_NONE) return false;
    address = a;
    return true;
}

bool ResolveHost(std::string_view name, uint32_t& address, std::string& officialName) {
    if (!loaded() || name.empty()) return false;
    std::string n(name);
    HOSTENT* h = Winsock().gethostbyname(n.c_str());
    if (!h || h->h_length != 4 || !h->h_addr_list || !h->h_addr_list[0]) return false;
    std::memcpy(&address, h->h_addr_list[0], 4);
    officialName = std::string(h->h_name ? h->h_name : "").substr(0, 31);
    return true;
}

bool GetLocalHost(int index, std::string& name, uint32_t& address) {
    if (!loaded()) return false;
    char buf[256] = {};
    if (Winsock().gethostname(buf, sizeof buf - 1) == SOCKET_ERROR) return false;
    name = buf;
    if (index < 0) {
        address = 0;
        return true;
    }
    HOSTENT* h = Winsock().gethostbyname(buf);
    if (!h || h->h_length != 4 || !h->h_addr_list) return false;
    for (int i = 0; h->h_addr_list[i]; ++i)
        if (i == index) {
            std::memcpy(&address, h->h_addr_list[i], 4);
            return true;
        }
    return false;
}

bool GetLocalIPXAddress(uint8_t network[4], uint8_t node[6]) {
    if (!loaded()) return false;
    // Option 16391 at level 1000 gives the 24-byte address record: network, node, ...
    SOCKET s = Winsock().socket(WS_AF_IPX, WS_SOCK_DGRAM, 1000);
    if (s == INVALID_SOCKET) return false;
    SOCKADDR empty{};
    empty.sa_family = WS_AF_IPX;
    uint8_t info[24] = {};
    int len = sizeof info;
    bool ok = Winsock().bind(s, &empty, sizeof empty) != SOCKET_ERROR &&
              Winsock().getsockopt(s, 1000, 16391, reinterpret_cast<char*>(info), &len) != SOCKET_ERROR &&
              len >= 10;
    if (ok) {
        std::memcpy(network, info, 4);
        std::memcpy(node, info + 4, 6);
    }
    Winsock().closesocket(s);
    return ok;
}

std::string IPXToText(const uint8_t network[4], const uint8_t node[6]) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < 4; ++i) {
        out += kHex[network[i] >> 4];
        out += kHex[network[i] & 15];
    }
    out += ':';
    for (int i = 0; i < 6; ++i) {
        if (i) out += '-';
        out += kHex[node[i] >> 4];
        out += kHex[node[i] & 15];
    }
    return out;
}

bool TextToIPX(std::string_view text, uint8_t network[4], uint8_t node[6]) {
    uint8_t net[4], nd[6];
    std::memcpy(net, network, 4);
    std::memcpy(nd, node, 6);
    bool inNode = false;
    size_t netCount = 0, nodeCount = 0;
    int high = -1; // first digit of a pair
    for (char c : text) {
        if (c == ':' || c == '-') {
            if (high >= 0) return false; // a lone digit
            inNode = true;
            continue;
        }
        int d = hexDigit(c);
        if (d < 0) return false;
        if (high < 0) {
            high = d;
            continue;
        }
        uint8_t b = uint8_t(high << 4 | d);
        high = -1;
        if (!inNode) {
            if (netCount == 4) return false;
            net[netCount++] = b;
        } else {
            if (nodeCount == 6) return false;
            nd[nodeCount++] = b;
        }
    }
    if (high >= 0) return false;
    std::memcpy(network, net, 4);
    std::memcpy(node, nd, 6);
    return true;
}
