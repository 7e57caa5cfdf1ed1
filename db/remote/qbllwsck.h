// Socket access of the communication layer: the once-per-process library load by name, the
// installed-protocol flags, default ports, socket and address helpers and the layer's string tables.
#pragma once
#include "db/base/qbllexcp.h"
#include "platform/Sockets.h"

#include <cstdint>
#include <string>
#include <string_view>

class TqbStringResource;

// Notification message of the protocols' sockets.
constexpr plat::UINT WM_QB_SOCKET = 5105;

// Installed-protocol bits.
constexpr uint32_t qbipTCPIP = 1, qbipIPXSPX = 2;

// A failed socket call: general text 384 with the code and its text from "QB_WINSOCK_ERROR_STRINGS".
class EqbWinsockException : public EqbCommsException {
public:
    explicit EqbWinsockException(int32_t winsockError);
    // One of the layer's own general texts (385 ... 387).
    EqbWinsockException(TqbStringResource& res, int32_t errorCode) : EqbCommsException(res, errorCode) {}
};

TqbStringResource& WinsockErrorStrings(); // "QB_WINSOCK_ERROR_STRINGS"
TqbStringResource& ClientStrings();       // "QB_CLIENT_STRINGS"
// A client text of at most 128 characters.
std::string ClientText(int32_t id);

// Tries "ws2_32.dll" (2.2), then "wsock32.dll" (1.1); the first outcome stays for the process.
bool LoadWinsock();
void UnloadWinsock();
// Forgets the outcome so that the next LoadWinsock tries again.
void ResetWinsockForTesting();
int WinsockVersion(); // 2 or 1; 0 when not loaded
// The loaded library's entries; only valid after LoadWinsock returned true.
const plat::WinsockTable& Winsock();
bool IsProtocolInstalled(uint32_t protocolBit);

// Default ports and socket numbers in host order; 0 when the library cannot be loaded.
uint16_t GetTCPPort();
uint16_t GetUDPPortSr();
uint16_t GetUDPPortCl();
uint16_t GetIPXSocketSr();
uint16_t GetIPXSocketCl();
uint16_t GetSPXSocket();

// Socket helpers: each raises EqbWinsockException with the library's last error when the call fails.
plat::SOCKET CreateSocket(int af, int type, int protocol);
void AsyncSelect(plat::SOCKET s, plat::HWND wnd, long events);
void GetSockOpt(plat::SOCKET s, int level, int option, int* length, void* value);
void SetSockOpt(plat::SOCKET s, int level, int option, int length, const void* value);
void CloseSocket(plat::SOCKET& s); // shutdown both ways, then close; nothing for an invalid socket
// A result other than SOCKET_ERROR is success (0). Otherwise the last error: 0 and 10035 are
// returned; with tolerate also 10037, 10056 and 10022; anything else raises.
int CheckResult(int result, bool tolerate);
inline uint16_t SelectEvent(plat::LPARAM l) {
    return plat::WSAGETSELECTEVENT(l);
}
inline uint16_t SelectError(plat::LPARAM l) {
    return plat::WSAGETSELECTERROR(l);
}

// Addresses are IPv4 in network byte order.
std::string IPToText(uint32_t address);
bool TextToIP(std::string_view text, uint32_t& address); // the all-ones address fails
bool ResolveHost(std::string_view name, uint32_t& address, std::string& officialName);
// index -1 gives address 0; otherwise the index-th address of this host.
bool GetLocalHost(int index, std::string& name, uint32_t& address);
bool GetLocalIPXAddress(uint8_t network[4], uint8_t node[6]);
// "NNNNNNNN:XX-XX-XX-XX-XX-XX", upper-case hexadecimal.
std::string IPXToText(const uint8_t network[4], const uint8_t node[6]);
// Hexadecimal pairs into the network bytes up to the first ':' or '-', then into the node bytes.
// Fails on any other character, on a fifth network or seventh node byte and on a lone digit;
// the outputs are only written on success.
bool TextToIPX(std::string_view text, uint8_t network[4], uint8_t node[6]);
