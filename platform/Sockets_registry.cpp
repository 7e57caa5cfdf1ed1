// The socket library registry (names standing for library files) and the lookup of a library's
// entries by ordinal or by name.
#include "platform/Sockets.h"
#include "platform/Text.h"

#include <memory>
#include <mutex>
#include <vector>

namespace plat {

namespace {

#define PW_WINSOCK_ENTRY(ord, member, name)                                                                  \
    WinsockEntry {                                                                                           \
        ord, name, [](const WinsockTable& t) { return reinterpret_cast<FARPROC>(t.member); },                \
            [](WinsockTable& t, FARPROC p) { t.member = reinterpret_cast<decltype(t.member)>(p); }           \
    }

const WinsockEntry kEntries[] = {
    PW_WINSOCK_ENTRY(1, accept, "accept"),
    PW_WINSOCK_ENTRY(2, bind, "bind"),
    PW_WINSOCK_ENTRY(3, closesocket, "closesocket"),
    PW_WINSOCK_ENTRY(4, connect, "connect"),
    PW_WINSOCK_ENTRY(5, getpeername, "getpeername"),
    PW_WINSOCK_ENTRY(6, getsockname, "getsockname"),
    PW_WINSOCK_ENTRY(7, getsockopt, "getsockopt"),
    PW_WINSOCK_ENTRY(8, htonl, "htonl"),
    PW_WINSOCK_ENTRY(9, htons, "htons"),
    PW_WINSOCK_ENTRY(10, inet_addr, "inet_addr"),
    PW_WINSOCK_ENTRY(11, inet_ntoa, "inet_ntoa"),
    PW_WINSOCK_ENTRY(12, ioctlsocket, "ioctlsocket"),
    PW_WINSOCK_ENTRY(13, listen, "listen"),
    PW_WINSOCK_ENTRY(14, ntohl, "ntohl"),
    PW_WINSOCK_ENTRY(15, ntohs, "ntohs"),
    PW_WINSOCK_ENTRY(16, recv, "recv"),
    PW_WINSOCK_ENTRY(17, recvfrom, "recvfrom"),
    PW_WINSOCK_ENTRY(18, select, "select"),
    PW_WINSOCK_ENTRY(19, send, "send"),
    PW_WINSOCK_ENTRY(20, sendto, "sendto"),
    PW_WINSOCK_ENTRY(21, setsockopt, "setsockopt"),
    PW_WINSOCK_ENTRY(22, shutdown, "shutdown"),
    PW_WINSOCK_ENTRY(23, socket, "socket"),
    PW_WINSOCK_ENTRY(51, gethostbyaddr, "gethostbyaddr"),
    PW_WINSOCK_ENTRY(52, gethostbyname, "gethostbyname"),
    PW_WINSOCK_ENTRY(53, getprotobyname, "getprotobyname"),
    PW_WINSOCK_ENTRY(54, getprotobynumber, "getprotobynumber"),
    PW_WINSOCK_ENTRY(55, getservbyname, "getservbyname"),
    PW_WINSOCK_ENTRY(56, getservbyport, "getservbyport"),
    PW_WINSOCK_ENTRY(57, gethostname, "gethostname"),
    PW_WINSOCK_ENTRY(101, WSAAsyncSelect, "WSAAsyncSelect"),
    PW_WINSOCK_ENTRY(102, WSAAsyncGetHostByAddr, "WSAAsyncGetHostByAddr"),
    PW_WINSOCK_ENTRY(103, WSAAsyncGetHostByName, "WSAAsyncGetHostByName"),
    PW_WINSOCK_ENTRY(104, WSAAsyncGetProtoByNumber, "WSAAsyncGetProtoByNumber"),
    PW_WINSOCK_ENTRY(105, WSAAsyncGetProtoByName, "WSAAsyncGetProtoByName"),
    PW_WINSOCK_ENTRY(106, WSAAsyncGetServByPort, "WSAAsyncGetServByPort"),
    PW_WINSOCK_ENTRY(107, WSAAsyncGetServByName, "WSAAsyncGetServByName"),
    PW_WINSOCK_ENTRY(108, WSACancelAsyncRequest, "WSACancelAsyncRequest"),
    PW_WINSOCK_ENTRY(109, WSASetBlockingHook, "WSASetBlockingHook"),
    PW_WINSOCK_ENTRY(110, WSAUnhookBlockingHook, "WSAUnhookBlockingHook"),
    PW_WINSOCK_ENTRY(111, WSAGetLastError, "WSAGetLastError"),
    PW_WINSOCK_ENTRY(112, WSASetLastError, "WSASetLastError"),
    PW_WINSOCK_ENTRY(113, WSACancelBlockingCall, "WSACancelBlockingCall"),
    PW_WINSOCK_ENTRY(114, WSAIsBlocking, "WSAIsBlocking"),
    PW_WINSOCK_ENTRY(115, WSAStartup, "WSAStartup"),
    PW_WINSOCK_ENTRY(116, WSACleanup, "WSACleanup"),
    PW_WINSOCK_ENTRY(151, WSAFDIsSet, "__WSAFDIsSet"),
};
#undef PW_WINSOCK_ENTRY
static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == 47);

struct Library {
    std::string name;
    WinsockTable table;
    Winsock2Table table2{};
    int refs = 0;
};

struct Registry {
    std::mutex mu;
    // Index + 1 is the module handle; entries are never removed, so a handle never names another library.
    std::vector<std::shared_ptr<Library>> all;
    // Names a load can find, newest registration first; the built-in names come last.
    std::vector<std::shared_ptr<Library>> byName;

    Registry() {
        for (const char* n : {"WSOCK32.DLL", "WS2_32.DLL"}) {
            auto lib = std::make_shared<Library>(Library{n, BuiltinWinsock(), BuiltinWinsock2()});
            all.push_back(lib);
            byName.push_back(lib);
        }
    }

    Library* lookup(HMODULE h) {
        if (h == 0 || h > all.size()) return nullptr;
        Library* lib = all[h - 1].get();
        return lib->refs > 0 ? lib : nullptr;
    }

    HMODULE handleOf(const Library* lib) {
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].get() == lib) return HMODULE(i + 1);
        return 0;
    }
};

Registry& R() {
    static Registry* r = new Registry; // never destroyed: libraries may be released at exit
    return *r;
}

std::string_view fileNamePart(std::string_view path) {
    size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

} // namespace

const WinsockEntry* WinsockEntries(size_t* count) {
    if (count) *count = sizeof(kEntries) / sizeof(kEntries[0]);
    return kEntries;
}

void RegisterSocketLibrary(std::string_view name, const WinsockTable& table) {
    RegisterSocketLibrary(name, table, Winsock2Table{});
}

void RegisterSocketLibrary(std::string_view name, const WinsockTable& table, const Winsock2Table& table2) {
    Registry& r = R();
    std::lock_guard lk(r.mu);
    std::string n(fileNamePart(name));
    std::erase_if(r.byName,
                  [&](const auto& lib) { return SameTextAscii(lib->name, n) && r.handleOf(lib.get()) > 2; });
    auto lib = std::make_shared<Library>(Library{n, table, table2});
    r.all.push_back(lib);
    r.byName.insert(r.byName.begin(), lib);
}

void UnregisterSocketLibrary(std::string_view name) {
    Registry& r = R();
    std::lock_guard lk(r.mu);
    std::string n(fileNamePart(name));
    // The built-in libraries stay.
    std::erase_if(r.byName,
                  [&](const auto& lib) { return SameTextAscii(lib->name, n) && r.handleOf(lib.get()) > 2; });
}

HMODULE LoadSocketLibrary(std::string_view path) {
    std::string_view n = fileNamePart(path);
    if (n.empty()) return 0;
    Registry& r = R();
    std::lock_guard lk(r.mu);
    for (auto& lib : r.byName) {
        if (SameTextAscii(lib->name, n)) {
            ++lib->refs;
            return r.handleOf(lib.get());
        }
    }
    return 0;
}

bool FreeSocketLibrary(HMODULE module) {
    Registry& r = R();
    std::lock_guard lk(r.mu);
    Library* lib = r.lookup(module);
    if (!lib) return false;
    --lib->refs;
    return true;
}

FARPROC GetSocketProcAddress(HMODULE module, uint16_t ordinal) {
    Registry& r = R();
    std::lock_guard lk(r.mu);
    Library* lib = r.lookup(module);
    if (!lib) return nullptr;
    for (const WinsockEntry& e : kEntries)
        if (e.ordinal == ordinal) return e.get(lib->table);
    return nullptr;
}

FARPROC GetSocketProcAddress(HMODULE module, std::string_view name) {
    Registry& r = R();
    std::lock_guard lk(r.mu);
    Library* lib = r.lookup(module);
    if (!lib) return nullptr;
    for (const WinsockEntry& e : kEntries)
        if (name == e.name) return e.get(lib->table);
    if (name == "WSAEnumProtocolsA") return reinterpret_cast<FARPROC>(lib->table2.WSAEnumProtocolsA);
    return nullptr;
}

std::string GetSocketLibraryFileName(HMODULE module) {
    Registry& r = R();
    std::lock_guard lk(r.mu);
    Library* lib = r.lookup(module);
    return lib ? lib->name : std::string();
}

} // namespace plat
