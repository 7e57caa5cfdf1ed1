// The client configuration of the database client in a registry file of the test's own, for
// tests that point a client at a database server.
#pragma once
#include "platform/Registry.h"
#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace pwtest {

// The client configuration (protocol and server name) in a registry file of a temporary folder,
// for as long as the object lives.
class ClientConfigScope {
public:
    ClientConfigScope(const std::string& protocol, const std::string& serverName) {
        if (const char* old = std::getenv(plat::RegistryFileVariable)) old_ = old;
        pwtest::writeFile(dir_.file("reg.txt"),
                          "[HKEY_LOCAL_MACHINE\\Software\\Harrowgate\\Quillbase\\2.0\\Client Configuration]\n"
                          "\"Protocol\"=\"" +
                              protocol + "\"\n\"ServerName\"=\"" + serverName + "\"\n");
        ::setenv(plat::RegistryFileVariable, dir_.file("reg.txt").c_str(), 1);
    }
    ~ClientConfigScope() {
        if (old_)
            ::setenv(plat::RegistryFileVariable, old_->c_str(), 1);
        else
            ::unsetenv(plat::RegistryFileVariable);
    }
    ClientConfigScope(const ClientConfigScope&) = delete;
    ClientConfigScope& operator=(const ClientConfigScope&) = delete;

private:
    pwtest::TempDir dir_;
    std::optional<std::string> old_;
};

} // namespace pwtest
