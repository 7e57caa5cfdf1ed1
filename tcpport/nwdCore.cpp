// Unit nwdCore: the base component, its exception, and the texts of the core's result codes.
#include "tcpport/nwdCore.h"

#include <cstdio>

ECorbexBase::ECorbexBase(int32_t Code, const std::string& Text)
    : cls::Exception(std::to_string(Code) + ": " + Text), Code(Code) {}

TnwdCore::TnwdCore(cls::TComponent* AOwner) : cls::TComponent(AOwner) {}

std::unique_ptr<ECorbexBase> TnwdCore::CreateException(int32_t Code, const std::string& Text) {
    return std::make_unique<ECorbexBase>(Code, Text);
}

namespace {

struct CodeText {
    int code;
    const char* text;
};

const CodeText kOwnTexts[] = {
    {kNwdRemotePortBusy, "You cannot change the RemotePort at this time. A connection is in progress."},
    {kNwdRemoteHostBusy, "You cannot change the RemoteHost at this time. A connection is in progress."},
    {kNwdAddressInvalid, "The RemoteHost address is invalid (0.0.0.0)."},
    {kNwdAlreadyConnected,
     "Already connected. If you want to reconnect, close the current connection first."},
    {kNwdLocalPortBusy, "You cannot change the LocalPort at this time. A connection is in progress."},
    {kNwdMaxLineBusy, "You cannot change MaxLineSize at this time. A connection is in progress."},
    {kNwdPortZero, "RemotePort can't be zero. Please specify a valid service port number."},
    {kNwdOutOfMemory, "Out of memory."},
    {kNwdInterrupted, "Interrupted."},
};

const CodeText kSocketTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Access denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Net dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empt"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc Quota Exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "WINSOCK DLL Version out of range"},
    {10093, "Winsock not loaded yet (WSANOTINITIALISED)"},
    {11001, "Host not found"},
    {11002, "Non-authoritative 'Host not found' (try again or check DNS setup)"},
    {11003, "Non-recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record (check DNS setup)"},
};
static_assert(sizeof(kSocketTexts) / sizeof(kSocketTexts[0]) == 50);

} // namespace

std::string NwdResultText(int code) {
    for (const CodeText& t : kOwnTexts)
        if (t.code == code) return t.text;
    // Socket error codes are 16-bit values.
    unsigned c = uint16_t(code);
    char out[160];
    for (const CodeText& t : kSocketTexts) {
        if (unsigned(t.code) == c) {
            std::snprintf(out, sizeof out, "[%u] %s", c, t.text);
            return out;
        }
    }
    std::snprintf(out, sizeof out, "[%u] (no description available)", c);
    return out;
}
