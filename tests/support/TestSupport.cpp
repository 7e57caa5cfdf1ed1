// Helpers shared by the tests: temporary folders, loopback ports held for a test, waits on other
// threads.
#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pwtest {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pwtest-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

LoopbackPort::LoopbackPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("cannot bind a loopback port");
    }
    port_ = ntohs(a.sin_port);
}

LoopbackPort::~LoopbackPort() {
    ::close(fd_);
}

bool LoopbackPort::Listen(int backlog) {
    return ::listen(fd_, backlog) == 0;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

bool waitUntil(const std::function<bool()>& pred, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int threadCount(int pid) {
    std::error_code ec;
    const std::string dir = pid ? "/proc/" + std::to_string(pid) + "/task" : "/proc/self/task";
    int n = 0;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return ec ? -1 : n;
}

std::string sourceDir() {
    return PW_SOURCE_DIR;
}

} // namespace pwtest
