// Winsock 1.1-style socket functions over non-blocking POSIX sockets, with notifications posted to
// hidden windows, and the registry of socket "libraries" that stands in for loading a library file.
#pragma once
#include "platform/Messages.h"

#include <cstdint>
#include <string>
#include <string_view>

// The constant names carry a WS_ prefix where the POSIX headers define the plain name as a macro.
// glibc also defines htons/htonl/ntohs/ntohl as function-like macros in optimised builds: code that
// includes <netinet/in.h> calls those table entries as (table.htons)(x).

namespace plat {

using SOCKET = uintptr_t;
using WORD = uint16_t;
using FARPROC = void (*)();
constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;

constexpr int WS_AF_UNSPEC = 0, WS_AF_INET = 2, WS_AF_IPX = 6;
constexpr int WS_SOCK_STREAM = 1, WS_SOCK_DGRAM = 2;
constexpr int WS_IPPROTO_TCP = 6, WS_IPPROTO_UDP = 17;
constexpr uint32_t WS_INADDR_ANY = 0, WS_INADDR_NONE = 0xFFFFFFFFu;

constexpr int WS_SOL_SOCKET = 0xFFFF;
constexpr int WS_SO_DEBUG = 0x0001, WS_SO_ACCEPTCONN = 0x0002, WS_SO_REUSEADDR = 0x0004,
              WS_SO_KEEPALIVE = 0x0008, WS_SO_DONTROUTE = 0x0010, WS_SO_BROADCAST = 0x0020,
              WS_SO_LINGER = 0x0080, WS_SO_OOBINLINE = 0x0100, WS_SO_DONTLINGER = ~0x0080,
              WS_SO_SNDBUF = 0x1001, WS_SO_RCVBUF = 0x1002, WS_SO_SNDTIMEO = 0x1005, WS_SO_RCVTIMEO = 0x1006,
              WS_SO_ERROR = 0x1007, WS_SO_TYPE = 0x1008;
constexpr int WS_TCP_NODELAY = 0x0001;
// The backlog that asks listen for the system's own maximum.
constexpr int WS_SOMAXCONN = 0x7FFFFFFF;

constexpr int32_t WS_FIONREAD = 0x4004667F;
constexpr int32_t WS_FIONBIO = int32_t(0x8004667Eu);
constexpr int WS_MSG_OOB = 0x1, WS_MSG_PEEK = 0x2;
constexpr int WS_SD_RECEIVE = 0, WS_SD_SEND = 1, WS_SD_BOTH = 2;

// Notification events of WSAAsyncSelect.
constexpr long FD_READ = 0x01, FD_WRITE = 0x02, FD_OOB = 0x04, FD_ACCEPT = 0x08, FD_CONNECT = 0x10,
               FD_CLOSE = 0x20;

// lParam of a notification: event in the low word, error code in the high word.
constexpr LPARAM WSAMAKESELECTREPLY(uint16_t event, uint16_t error) {
    return LPARAM(uint32_t(event) | (uint32_t(error) << 16));
}
constexpr uint16_t WSAGETSELECTEVENT(LPARAM l) {
    return uint16_t(uint32_t(l) & 0xFFFF);
}
constexpr uint16_t WSAGETSELECTERROR(LPARAM l) {
    return uint16_t((uint32_t(l) >> 16) & 0xFFFF);
}

constexpr WORD MAKEWORD(uint8_t low, uint8_t high) {
    return WORD(low | (WORD(high) << 8));
}

// Error codes.
constexpr int WSAEINTR = 10004, WSAEBADF = 10009, WSAEACCES = 10013, WSAEFAULT = 10014, WSAEINVAL = 10022,
              WSAEMFILE = 10024, WSAEWOULDBLOCK = 10035, WSAEINPROGRESS = 10036, WSAEALREADY = 10037,
              WSAENOTSOCK = 10038, WSAEDESTADDRREQ = 10039, WSAEMSGSIZE = 10040, WSAEPROTOTYPE = 10041,
              WSAENOPROTOOPT = 10042, WSAEPROTONOSUPPORT = 10043, WSAESOCKTNOSUPPORT = 10044,
              WSAEOPNOTSUPP = 10045, WSAEPFNOSUPPORT = 10046, WSAEAFNOSUPPORT = 10047, WSAEADDRINUSE = 10048,
              WSAEADDRNOTAVAIL = 10049, WSAENETDOWN = 10050, WSAENETUNREACH = 10051, WSAENETRESET = 10052,
              WSAECONNABORTED = 10053, WSAECONNRESET = 10054, WSAENOBUFS = 10055, WSAEISCONN = 10056,
              WSAENOTCONN = 10057, WSAESHUTDOWN = 10058, WSAETOOMANYREFS = 10059, WSAETIMEDOUT = 10060,
              WSAECONNREFUSED = 10061, WSAELOOP = 10062, WSAENAMETOOLONG = 10063, WSAEHOSTDOWN = 10064,
              WSAEHOSTUNREACH = 10065, WSAENOTEMPTY = 10066, WSAEPROCLIM = 10067, WSAEUSERS = 10068,
              WSAEDQUOT = 10069, WSAESTALE = 10070, WSAEREMOTE = 10071, WSASYSNOTREADY = 10091,
              WSAVERNOTSUPPORTED = 10092, WSANOTINITIALISED = 10093, WSAHOST_NOT_FOUND = 11001,
              WSATRY_AGAIN = 11002, WSANO_RECOVERY = 11003, WSANO_DATA = 11004;

struct IN_ADDR {
    uint32_t s_addr; // network byte order
};

struct SOCKADDR {
    uint16_t sa_family;
    char sa_data[14];
};

struct SOCKADDR_IN {
    int16_t sin_family;
    uint16_t sin_port; // network byte order
    IN_ADDR sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);

// The 1.1 layout: two 16-bit fields.
struct LINGER {
    uint16_t l_onoff;
    uint16_t l_linger;
};

struct HOSTENT {
    char* h_name;
    char** h_aliases;
    int16_t h_addrtype;
    int16_t h_length;
    char** h_addr_list;
};

struct SERVENT {
    char* s_name;
    char** s_aliases;
    int16_t s_port;
    char* s_proto;
};

struct PROTOENT {
    char* p_name;
    char** p_aliases;
    int16_t p_proto;
};

constexpr int WS_FD_SETSIZE = 64;
struct WS_FD_SET {
    uint32_t fd_count;
    SOCKET fd_array[WS_FD_SETSIZE];
};

struct TIMEVAL {
    int32_t tv_sec;
    int32_t tv_usec;
};

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    uint16_t iMaxSockets;
    uint16_t iMaxUdpDg;
    char* lpVendorInfo;
};

// One socket library: its entry points. A null entry is one the library does not export.
struct WinsockTable {
    SOCKET (*accept)(SOCKET s, SOCKADDR* addr, int* addrlen);
    int (*bind)(SOCKET s, const SOCKADDR* name, int namelen);
    int (*closesocket)(SOCKET s);
    int (*connect)(SOCKET s, const SOCKADDR* name, int namelen);
    int (*getpeername)(SOCKET s, SOCKADDR* name, int* namelen);
    int (*getsockname)(SOCKET s, SOCKADDR* name, int* namelen);
    int (*getsockopt)(SOCKET s, int level, int optname, char* optval, int* optlen);
    uint32_t (*htonl)(uint32_t hostlong);
    uint16_t (*htons)(uint16_t hostshort);
    uint32_t (*inet_addr)(const char* cp);
    char* (*inet_ntoa)(IN_ADDR in);
    int (*ioctlsocket)(SOCKET s, int32_t cmd, uint32_t* argp);
    int (*listen)(SOCKET s, int backlog);
    uint32_t (*ntohl)(uint32_t netlong);
    uint16_t (*ntohs)(uint16_t netshort);
    int (*recv)(SOCKET s, char* buf, int len, int flags);
    int (*recvfrom)(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen);
    int (*select)(int nfds, WS_FD_SET* readfds, WS_FD_SET* writefds, WS_FD_SET* exceptfds,
                  const TIMEVAL* timeout);
    int (*send)(SOCKET s, const char* buf, int len, int flags);
    int (*sendto)(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen);
    int (*setsockopt)(SOCKET s, int level, int optname, const char* optval, int optlen);
    int (*shutdown)(SOCKET s, int how);
    SOCKET (*socket)(int af, int type, int protocol);
    HOSTENT* (*gethostbyaddr)(const char* addr, int len, int type);
    HOSTENT* (*gethostbyname)(const char* name);
    PROTOENT* (*getprotobyname)(const char* name);
    PROTOENT* (*getprotobynumber)(int number);
    SERVENT* (*getservbyname)(const char* name, const char* proto);
    SERVENT* (*getservbyport)(int port, const char* proto);
    int (*gethostname)(char* name, int namelen);
    int (*WSAAsyncSelect)(SOCKET s, HWND hWnd, UINT wMsg, long lEvent);
    uintptr_t (*WSAAsyncGetHostByAddr)(HWND hWnd, UINT wMsg, const char* addr, int len, int type, char* buf,
                                       int buflen);
    uintptr_t (*WSAAsyncGetHostByName)(HWND hWnd, UINT wMsg, const char* name, char* buf, int buflen);
    uintptr_t (*WSAAsyncGetProtoByNumber)(HWND hWnd, UINT wMsg, int number, char* buf, int buflen);
    uintptr_t (*WSAAsyncGetProtoByName)(HWND hWnd, UINT wMsg, const char* name, char* buf, int buflen);
    uintptr_t (*WSAAsyncGetServByPort)(HWND hWnd, UINT wMsg, int port, const char* proto, char* buf,
                                       int buflen);
    uintptr_t (*WSAAsyncGetServByName)(HWND hWnd, UINT wMsg, const char* name, const char* proto, char* buf,
                                       int buflen);
    int (*WSACancelAsyncRequest)(uintptr_t hAsyncTaskHandle);
    FARPROC (*WSASetBlockingHook)(FARPROC lpBlockFunc);
    int (*WSAUnhookBlockingHook)();
    int (*WSAGetLastError)();
    void (*WSASetLastError)(int iError);
    int (*WSACancelBlockingCall)();
    int (*WSAIsBlocking)();
    int (*WSAStartup)(WORD wVersionRequired, WSADATA* lpWSAData);
    int (*WSACleanup)();
    int (*WSAFDIsSet)(SOCKET s, WS_FD_SET* set); // exported as "__WSAFDIsSet"
};

// One installed protocol as WSAEnumProtocolsA reports it (the 372-byte record of version 2.2).
struct WSAPROTOCOLCHAIN {
    int32_t ChainLen;
    uint32_t ChainEntries[7];
};
struct WSAPROTOCOL_INFOA {
    uint32_t dwServiceFlags1, dwServiceFlags2, dwServiceFlags3, dwServiceFlags4;
    uint32_t dwProviderFlags;
    uint8_t ProviderId[16];
    uint32_t dwCatalogEntryId;
    WSAPROTOCOLCHAIN ProtocolChain;
    int32_t iVersion, iAddressFamily, iMaxSockAddr, iMinSockAddr, iSocketType, iProtocol, iProtocolMaxOffset,
        iNetworkByteOrder, iSecurityScheme;
    uint32_t dwMessageSize;
    uint32_t dwProviderReserved;
    char szProtocol[256];
};
static_assert(sizeof(WSAPROTOCOL_INFOA) == 372);

// Entries of the 2.2 interface that the 1.1 table lacks; looked up by name only.
struct Winsock2Table {
    // Fills buffer with the installed protocols (filtered by the 0-ended list protocols, when given)
    // and returns their count; a buffer of *length bytes that is too small fails with WSAENOBUFS
    // and *length set to the size needed.
    int (*WSAEnumProtocolsA)(const int* protocols, WSAPROTOCOL_INFOA* buffer, uint32_t* length);
};
const Winsock2Table& BuiltinWinsock2();

// The library's entries with their published ordinals and names (47 of them).
struct WinsockEntry {
    uint16_t ordinal;
    const char* name;
    FARPROC (*get)(const WinsockTable&);
    void (*set)(WinsockTable&, FARPROC);
};
const WinsockEntry* WinsockEntries(size_t* count);

// The built-in library: every entry over POSIX sockets.
const WinsockTable& BuiltinWinsock();

// Texts the built-in library reports in WSADATA.
inline constexpr const char* kBuiltinWinsockDescription = "POSIX sockets, Winsock 1.1 interface";
inline constexpr const char* kBuiltinWinsockStatus = "Running";

// How many successful WSAStartup calls of the built-in library are not yet matched by WSACleanup.
int BuiltinWinsockStartupCount();

// errno (and the resolver's EAI_ codes, through ResolverErrorToWsa) as a Winsock error code.
// `connecting`: the error of a connect in progress (EINPROGRESS is then "would block").
int ErrnoToWsa(int err, bool connecting = false);
int ResolverErrorToWsa(int eaiError);

// Library registry. A name matches the file-name part of a path, case-insensitively; the names
// "WSOCK32.DLL" and "WS2_32.DLL" stand for the built-in library. A registered name hides those.
using HMODULE = uint32_t; // 0 = nothing loaded
void RegisterSocketLibrary(std::string_view name, const WinsockTable& table);
void RegisterSocketLibrary(std::string_view name, const WinsockTable& table, const Winsock2Table& table2);
void UnregisterSocketLibrary(std::string_view name);
HMODULE LoadSocketLibrary(std::string_view path);
bool FreeSocketLibrary(HMODULE module);
// nullptr when the library does not export that ordinal or name.
FARPROC GetSocketProcAddress(HMODULE module, uint16_t ordinal);
FARPROC GetSocketProcAddress(HMODULE module, std::string_view name);
// The full file name of a loaded library; empty for 0 or a released handle.
std::string GetSocketLibraryFileName(HMODULE module);

} // namespace plat
