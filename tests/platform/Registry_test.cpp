// Registry stand-in: an absent file is an empty registry; a present one gives its values.
#include "platform/Registry.h"

#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>

using plat::Registry;
using plat::RegistryRoot;

namespace {

const char* const clientKey = "\\Software\\Harrowgate\\Quillbase\\2.0\\Client Configuration";

// Sets PAGEWRIGHT_REGISTRY (nullptr: unset) for one test and restores it afterwards.
class RegistryVariable {
public:
    explicit RegistryVariable(const char* value) {
        if (const char* old = std::getenv(plat::RegistryFileVariable)) old_ = old;
        set(value);
    }
    ~RegistryVariable() { set(old_ ? old_->c_str() : nullptr); }

private:
    static void set(const char* v) {
        v ? ::setenv(plat::RegistryFileVariable, v, 1) : ::unsetenv(plat::RegistryFileVariable);
    }
    std::optional<std::string> old_;
};

} // namespace

TEST(Registry, NoVariableOrNoFileIsAnEmptyRegistry) {
    for (const char* value : {static_cast<const char*>(nullptr), "/nonexistent/registry.reg"}) {
        RegistryVariable var(value);
        Registry reg;
        EXPECT_FALSE(reg.OpenKeyReadOnly(clientKey));
        EXPECT_EQ(reg.ReadString("Protocol"), "");
        EXPECT_THROW(reg.ReadInteger("Port"), plat::RegistryError);
    }
}

TEST(Registry, FileFromTheVariableGivesItsValues) {
    pwtest::TempDir dir;
    const std::string file = dir.file("pagewright.reg");
    pwtest::writeFile(file,
                      "REGEDIT4\r\n"
                      "; client settings\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Harrowgate\\Quillbase\\2.0\\Client Configuration]\r\n"
                      "\"Protocol\"=\"TCP/IP\"\r\n"
                      "\"ServerName\"=\"page \\\"host\\\" \\\\ one\"\r\n"
                      "\"protocol\"=\"IPX/SPX\"\r\n"
                      "Port = dword:00000D05\r\n"
                      "Plain =  bare text  \r\n"
                      "\"Broken\"=\"no end\r\n"
                      "\"BadNumber\"=dword:xyz\r\n"
                      "[HKCU\\Control Panel\\International]\r\n"
                      "\"sShortDate\"=\"dd.MM.yy\"\r\n"
                      "[HKEY_SOMEWHERE_ELSE\\Software]\r\n"
                      "\"Stray\"=\"x\"\r\n"
                      "[HKLM\\Software\\Other\r\n"
                      "\"Name\"=\"\xE9t\xE9\"");
    RegistryVariable var(file.c_str());

    Registry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("software\\harrowgate\\quillbase\\2.0\\client configuration\\"));
    EXPECT_EQ(reg.ReadString("PROTOCOL"), "TCP/IP"); // the first of two wins
    EXPECT_EQ(reg.ReadString("ServerName"), "page \"host\" \\ one");
    EXPECT_EQ(reg.ReadInteger("port"), 3333);
    EXPECT_EQ(reg.ReadString("Plain"), "bare text");
    EXPECT_THROW(reg.ReadString("Port"), plat::RegistryError);
    EXPECT_THROW(reg.ReadInteger("ServerName"), plat::RegistryError);
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"Protocol", "ServerName", "Port", "Plain"}));

    // A parent key exists without values of its own; a key of another root is not seen.
    EXPECT_TRUE(reg.OpenKeyReadOnly("\\Software\\Harrowgate"));
    EXPECT_FALSE(reg.OpenKeyReadOnly("Control Panel\\International"));
    EXPECT_TRUE(reg.OpenKeyReadOnly("Software\\Other"));
    EXPECT_EQ(reg.ReadString("name"), "\xE9t\xE9");

    Registry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.OpenKeyReadOnly("Control Panel\\International"));
    EXPECT_EQ(user.ReadString("sShortDate"), "dd.MM.yy");
}
