// Unit nwdCore: the process-wide socket-library loader (reference-counted load and start-up, entries
// resolved by ordinal, failing fallbacks while nothing is loaded) and the notification window class.
#include "tcpport/nwdCore.h"

#include <cstring>

using namespace plat;

namespace {

constexpr int kNotLoaded = WSANOTINITIALISED;

// Fallbacks: everything fails, and the last error reads "not loaded".
SOCKET fbAccept(SOCKET, SOCKADDR*, int*) {
    return INVALID_SOCKET;
}
int fbBind(SOCKET, const SOCKADDR*, int) {
    return SOCKET_ERROR;
}
int fbClosesocket(SOCKET) {
    return SOCKET_ERROR;
}
int fbConnect(SOCKET, const SOCKADDR*, int) {
    return SOCKET_ERROR;
}
int fbName(SOCKET, SOCKADDR*, int*) {
    return SOCKET_ERROR;
}
int fbGetsockopt(SOCKET, int, int, char*, int*) {
    return SOCKET_ERROR;
}
uint32_t fbLong(uint32_t) {
    return 0;
}
uint16_t fbShort(uint16_t) {
    return 0;
}
uint32_t fbInetAddr(const char*) {
    return WS_INADDR_NONE;
}
char* fbInetNtoa(IN_ADDR) {
    return nullptr;
}
int fbIoctlsocket(SOCKET, int32_t, uint32_t*) {
    return SOCKET_ERROR;
}
int fbListen(SOCKET, int) {
    return SOCKET_ERROR;
}
int fbRecv(SOCKET, char*, int, int) {
    return SOCKET_ERROR;
}
int fbRecvfrom(SOCKET, char*, int, int, SOCKADDR*, int*) {
    return SOCKET_ERROR;
}
int fbSelect(int, WS_FD_SET*, WS_FD_SET*, WS_FD_SET*, const TIMEVAL*) {
    return SOCKET_ERROR;
}
int fbSend(SOCKET, const char*, int, int) {
    return SOCKET_ERROR;
}
int fbSendto(SOCKET, const char*, int, int, const SOCKADDR*, int) {
    return SOCKET_ERROR;
}
int fbSetsockopt(SOCKET, int, int, const char*, int) {
    return SOCKET_ERROR;
}
int fbShutdown(SOCKET, int) {
    return SOCKET_ERROR;
}
SOCKET fbSocket(int, int, int) {
    return INVALID_SOCKET;
}
HOSTENT* fbGethostbyaddr(const char*, int, int) {
    return nullptr;
}
HOSTENT* fbGethostbyname(const char*) {
    return nullptr;
}
PROTOENT* fbGetprotobyname(const char*) {
    return nullptr;
}
PROTOENT* fbGetprotobynumber(int) {
    return nullptr;
}
SERVENT* fbGetservbyname(const char*, const char*) {
    return nullptr;
}
SERVENT* fbGetservbyport(int, const char*) {
    return nullptr;
}
int fbGethostname(char*, int) {
    return SOCKET_ERROR;
}
int fbAsyncSelect(SOCKET, HWND, UINT, long) {
    return SOCKET_ERROR;
}
uintptr_t fbAsyncHostByAddr(HWND, UINT, const char*, int, int, char*, int) {
    return 0;
}
uintptr_t fbAsyncHostByName(HWND, UINT, const char*, char*, int) {
    return 0;
}
uintptr_t fbAsyncProtoByNumber(HWND, UINT, int, char*, int) {
    return 0;
}
uintptr_t fbAsyncProtoByName(HWND, UINT, const char*, char*, int) {
    return 0;
}
uintptr_t fbAsyncServByPort(HWND, UINT, int, const char*, char*, int) {
    return 0;
}
uintptr_t fbAsyncServByName(HWND, UINT, const char*, const char*, char*, int) {
    return 0;
}
int fbCancelAsyncRequest(uintptr_t) {
    return SOCKET_ERROR;
}
FARPROC fbSetBlockingHook(FARPROC) {
    return nullptr;
}
int fbUnhookBlockingHook() {
    return SOCKET_ERROR;
}
int fbGetLastError() {
    return kNotLoaded;
}
void fbSetLastError(int) {}
int fbCancelBlockingCall() {
    return 0;
}
int fbIsBlocking() {
    return 0;
}
int fbStartup(WORD, WSADATA*) {
    return WSASYSNOTREADY;
}
int fbCleanup() {
    return SOCKET_ERROR;
}
int fbFDIsSet(SOCKET, WS_FD_SET*) {
    return 0;
}

const WinsockTable kFallbacks = {
    fbAccept,
    fbBind,
    fbClosesocket,
    fbConnect,
    fbName,
    fbName,
    fbGetsockopt,
    fbLong,
    fbShort,
    fbInetAddr,
    fbInetNtoa,
    fbIoctlsocket,
    fbListen,
    fbLong,
    fbShort,
    fbRecv,
    fbRecvfrom,
    fbSelect,
    fbSend,
    fbSendto,
    fbSetsockopt,
    fbShutdown,
    fbSocket,
    fbGethostbyaddr,
    fbGethostbyname,
    fbGetprotobyname,
    fbGetprotobynumber,
    fbGetservbyname,
    fbGetservbyport,
    fbGethostname,
    fbAsyncSelect,
    fbAsyncHostByAddr,
    fbAsyncHostByName,
    fbAsyncProtoByNumber,
    fbAsyncProtoByName,
    fbAsyncServByPort,
    fbAsyncServByName,
    fbCancelAsyncRequest,
    fbSetBlockingHook,
    fbUnhookBlockingHook,
    fbGetLastError,
    fbSetLastError,
    fbCancelBlockingCall,
    fbIsBlocking,
    fbStartup,
    fbCleanup,
    fbFDIsSet,
};

// Texts of WSADATA are fixed-size fields: read at most their size.
std::string fieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

} // namespace

const WinsockTable& NwdFallbackTable() {
    return kFallbacks;
}

NwdWinsockLoader::NwdWinsockLoader() : table_(kFallbacks) {}

NwdWinsockLoader::~NwdWinsockLoader() {
    // Unit finalisation: the window class goes.
    classRegistered_ = false;
}

NwdWinsockLoader& NwdLoader() {
    // Never destroyed: a port may give its reference back while static objects are torn down.
    static NwdWinsockLoader* loader = new NwdWinsockLoader;
    return *loader;
}

void NwdWinsockLoader::resetTable() {
    table_ = kFallbacks;
}

// Gives back one reference taken by Load; on the last one the library goes and the fallbacks return.
void NwdWinsockLoader::releaseReference() {
    if (count_ == 0) return;
    --count_;
    if (count_ == 0) {
        resetTable();
        FreeSocketLibrary(module_);
        module_ = 0;
    }
}

bool NwdWinsockLoader::Load() {
    if (count_ == UINT16_MAX) {
        description_ = "Could not load Winsock DLL.";
        return false;
    }
    if (module_ == 0) {
        HMODULE m = LoadSocketLibrary(path_);
        if (m == 0) {
            description_ = "Could not load Winsock DLL.";
            return false;
        }
        module_ = m;
    }
    ++count_;
    if (count_ == 1) {
        size_t n;
        const WinsockEntry* entries = WinsockEntries(&n);
        for (size_t i = 0; i < n; ++i) {
            FARPROC p = GetSocketProcAddress(module_, entries[i].ordinal);
            if (p) entries[i].set(table_, p); // a missing entry keeps its fallback
        }
    }
    WSADATA data{};
    int r = table_.WSAStartup(MAKEWORD(1, 1), &data);
    if (r != 0) {
        // No cleanup after a start-up that failed: the reference alone is given back.
        description_ = (r == WSAEINVAL || r == WSAVERNOTSUPPORTED) ? "Version not supported."
                                                                   : "Network subsystem not ready.";
        releaseReference();
        return false;
    }
    if (data.wVersion != MAKEWORD(1, 1)) {
        description_ = "Incompatible Winsock version.";
        table_.WSACleanup();
        releaseReference();
        return false;
    }
    description_ = fieldText(data.szDescription, sizeof data.szDescription);
    status_ = fieldText(data.szSystemStatus, sizeof data.szSystemStatus);
    maxSockets_ = data.iMaxSockets;
    maxDatagram_ = data.iMaxUdpDg;
    return true;
}

void NwdWinsockLoader::Unload() {
    if (count_ == 0 || module_ == 0) return;
    table_.WSACancelBlockingCall();
    table_.WSACleanup();
    if (count_ == 1) {
        // The library's texts and figures stay while anyone still holds a reference.
        description_.clear();
        status_ = "Down";
        maxSockets_ = 0;
        maxDatagram_ = 0;
    }
    releaseReference();
}

std::string NwdWinsockLoader::GetPath() const {
    if (module_ != 0) {
        std::string full = GetSocketLibraryFileName(module_);
        if (!full.empty()) return full;
    }
    return path_;
}

void NwdWinsockLoader::SetPath(std::string_view path) {
    if (path.empty()) {
        path_ = kDefaultPath;
        return;
    }
    path_.assign(path.substr(0, kMaxPath));
    // The path is a zero-terminated text: anything after an embedded zero is not part of it.
    path_.resize(strnlen(path_.c_str(), path_.size()));
    if (path_.empty()) path_ = kDefaultPath;
}

HWND NwdWinsockLoader::CreateNotifyWindow(WndProc proc) {
    // Every window of the class runs the procedure it is given; registering the class is bookkeeping.
    classRegistered_ = true;
    return CreateHiddenWindow(std::move(proc));
}
