// The built-in library's installed-protocol enumeration: the protocols whose sockets this machine
// can open, probed once per process.
#include "platform/Sockets.h"

#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace plat {

namespace {

bool canOpen(int family, int type) {
    int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

WSAPROTOCOL_INFOA record(int family, int type, int protocol, const char* name, uint32_t catalogId) {
    WSAPROTOCOL_INFOA r;
    std::memset(&r, 0, sizeof r);
    r.dwCatalogEntryId = catalogId;
    r.ProtocolChain.ChainLen = 1;
    r.iVersion = 2;
    r.iAddressFamily = family;
    r.iMaxSockAddr = r.iMinSockAddr = 16;
    r.iSocketType = type;
    r.iProtocol = protocol;
    r.iNetworkByteOrder = 0; // big-endian
    r.dwMessageSize = type == WS_SOCK_STREAM ? 0 : 65467;
    std::strncpy(r.szProtocol, name, sizeof r.szProtocol - 1);
    return r;
}

const std::vector<WSAPROTOCOL_INFOA>& installed() {
    static std::vector<WSAPROTOCOL_INFOA> list;
    static std::once_flag once;
    std::call_once(once, [] {
        if (canOpen(AF_INET, SOCK_STREAM)) {
            list.push_back(record(WS_AF_INET, WS_SOCK_STREAM, WS_IPPROTO_TCP, "TCP/IP stream", 1001));
            list.push_back(record(WS_AF_INET, WS_SOCK_DGRAM, WS_IPPROTO_UDP, "UDP/IP datagram", 1002));
        }
#ifdef AF_IPX
        if (canOpen(AF_IPX, SOCK_DGRAM)) {
            list.push_back(record(WS_AF_IPX, WS_SOCK_DGRAM, 1000, "IPX datagram", 1003));
            list.push_back(record(WS_AF_IPX, WS_SOCK_STREAM, 1256, "SPX stream", 1004));
        }
#endif
    });
    return list;
}

int wsEnumProtocolsA(const int* protocols, WSAPROTOCOL_INFOA* buffer, uint32_t* length) {
    const WinsockTable& ws = BuiltinWinsock();
    if (BuiltinWinsockStartupCount() <= 0) {
        ws.WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    if (!length) {
        ws.WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::vector<WSAPROTOCOL_INFOA> out;
    for (const WSAPROTOCOL_INFOA& r : installed()) {
        bool wanted = !protocols;
        for (const int* p = protocols; p && *p; ++p)
            wanted |= *p == r.iProtocol;
        if (wanted) out.push_back(r);
    }
    const uint32_t need = uint32_t(out.size() * sizeof(WSAPROTOCOL_INFOA));
    if (!buffer || *length < need) {
        *length = need;
        ws.WSASetLastError(WSAENOBUFS);
        return SOCKET_ERROR;
    }
    if (need) std::memcpy(buffer, out.data(), need);
    return int(out.size());
}

const Winsock2Table kBuiltin2 = {wsEnumProtocolsA};

} // namespace

const Winsock2Table& BuiltinWinsock2() {
    return kBuiltin2;
}

} // namespace plat
