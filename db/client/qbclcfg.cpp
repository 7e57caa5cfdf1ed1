// The client configuration read through the read-only registry stand-in.
#include "db/client/qbclcfg.h"

#include "db/remote/qbllwsck.h"

namespace {

// A copy of the registry opened on the configuration key (no current key when it is missing).
bool openConfigKey(plat::Registry& reg) {
    std::string key = ClientConfigKey();
    if (!key.empty() && key[0] == '\\') key.erase(0, 1);
    return reg.OpenKeyReadOnly(key);
}

} // namespace

std::string ProtocolName(TqbProtocolClass c) {
    switch (c) {
    case TqbProtocolClass::SingleUser:
        return "Single User";
    case TqbProtocolClass::TCPIP:
        return "TCP/IP";
    case TqbProtocolClass::IPXSPX:
        return "IPX/SPX";
    case TqbProtocolClass::None:
        break;
    }
    return {};
}

std::string ClientConfigKey() {
    return ClientText(1009) + "\\Client Configuration";
}

void ReadProtocol(TqbProtocolClass& protocolClass, std::string& name) {
    ReadProtocol(plat::Registry(plat::RegistryRoot::LocalMachine), protocolClass, name);
}

void ReadProtocol(const plat::Registry& registry, TqbProtocolClass& protocolClass, std::string& name) {
    plat::Registry reg = registry;
    std::string text;
    try {
        if (openConfigKey(reg) && reg.ValueExists("Protocol"))
            text = reg.ReadString("Protocol").substr(0, 255);
    } catch (const plat::RegistryError&) {
        text.clear(); // a number where text belongs: the default
    }
    for (TqbProtocolClass c :
         {TqbProtocolClass::TCPIP, TqbProtocolClass::IPXSPX, TqbProtocolClass::SingleUser})
        if (text == ProtocolName(c)) {
            protocolClass = c;
            name = text;
            return;
        }
    protocolClass = kDefaultProtocolClass;
    name = ProtocolName(kDefaultProtocolClass);
    if (name.empty()) protocolClass = TqbProtocolClass::None;
}

void ReadServerName(std::string& serverName) {
    ReadServerName(plat::Registry(plat::RegistryRoot::LocalMachine), serverName);
}

void ReadServerName(const plat::Registry& registry, std::string& serverName) {
    plat::Registry reg = registry;
    serverName.clear();
    try {
        if (openConfigKey(reg) && reg.ValueExists("ServerName"))
            serverName = reg.ReadString("ServerName").substr(0, 63);
    } catch (const plat::RegistryError&) {
        serverName.clear();
    }
    if (serverName.empty()) serverName = kDefaultServerName;
}
