// The client configuration: which protocol a client's own transport speaks and which server it
// asks for, read (never written) from the local machine's registry.
#pragma once
#include "platform/Registry.h"

#include <string>

// The protocol classes a transport can be given.
enum class TqbProtocolClass { None, SingleUser, TCPIP, IPXSPX };

inline constexpr TqbProtocolClass kDefaultProtocolClass = TqbProtocolClass::SingleUser;
inline const std::string kDefaultServerName;

// "Single User", "TCP/IP", "IPX/SPX"; empty for any other class.
std::string ProtocolName(TqbProtocolClass protocolClass);
// "Software\...\2.0\Client Configuration" below HKEY_LOCAL_MACHINE, with its leading backslash.
std::string ClientConfigKey();

// The configured protocol ("Protocol", compared exactly); anything else, or nothing, gives the
// default class and its name. name is the text read when it named a protocol.
void ReadProtocol(TqbProtocolClass& protocolClass, std::string& name);
void ReadProtocol(const plat::Registry& registry, TqbProtocolClass& protocolClass, std::string& name);
// The configured server ("ServerName", at most 63 characters); empty gives the default.
void ReadServerName(std::string& serverName);
void ReadServerName(const plat::Registry& registry, std::string& serverName);
