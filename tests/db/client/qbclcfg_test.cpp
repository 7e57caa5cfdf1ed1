// Tests of the client configuration over real registry files.
#include "db/client/qbclcfg.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

plat::Registry registryWith(const pwtest::TempDir& dir, const std::string& values) {
    const std::string file = dir.str() + "/reg.txt";
    pwtest::writeFile(
        file, "[HKEY_LOCAL_MACHINE\\Software\\Harrowgate\\Quillbase\\2.0\\Client Configuration]\n" + values);
    return plat::Registry(plat::RegistryRoot::LocalMachine, file);
}

} // namespace

TEST(ClientConfig, ProtocolsAreMatchedExactlyAndDefaultToSingleUser) {
    pwtest::TempDir dir;
    EXPECT_EQ(ClientConfigKey(), "\\Software\\Harrowgate\\Quillbase\\2.0\\Client Configuration");
    TqbProtocolClass c = TqbProtocolClass::None;
    std::string name;
    ReadProtocol(registryWith(dir, "\"Protocol\"=\"TCP/IP\"\n"), c, name);
    EXPECT_EQ(c, TqbProtocolClass::TCPIP);
    EXPECT_EQ(name, "TCP/IP");
    ReadProtocol(registryWith(dir, "\"Protocol\"=\"IPX/SPX\"\n"), c, name);
    EXPECT_EQ(c, TqbProtocolClass::IPXSPX);
    for (const char* other :
         {"\"Protocol\"=\"tcp/ip\"\n", "\"Protocol\"=dword:00000001\n", "\"Other\"=\"x\"\n"}) {
        ReadProtocol(registryWith(dir, other), c, name);
        EXPECT_EQ(c, TqbProtocolClass::SingleUser) << other;
        EXPECT_EQ(name, "Single User") << other;
    }
    // No registry at all.
    ReadProtocol(plat::Registry(plat::RegistryRoot::LocalMachine, ""), c, name);
    EXPECT_EQ(c, TqbProtocolClass::SingleUser);
    EXPECT_EQ(ProtocolName(TqbProtocolClass::None), "");
}

TEST(ClientConfig, ServerNameIsCutTo63CharactersAndDefaultsToEmpty) {
    pwtest::TempDir dir;
    std::string s = "x";
    ReadServerName(registryWith(dir, "\"ServerName\"=\"" + std::string(70, 'n') + "\"\n"), s);
    EXPECT_EQ(s, std::string(63, 'n'));
    ReadServerName(registryWith(dir, "\"ServerName\"=\"pagehost\"\n"), s);
    EXPECT_EQ(s, "pagehost");
    ReadServerName(registryWith(dir, "\"Protocol\"=\"TCP/IP\"\n"), s);
    EXPECT_EQ(s, "");
    ReadServerName(plat::Registry(plat::RegistryRoot::LocalMachine, dir.str() + "/missing"), s);
    EXPECT_EQ(s, "");
}
