// Pages per second and CPU per page of the main window's multiple send of 1000 recipients to a
// local SNPP server, against a plain blocking client holding the same dialogue with the same
// server in the same run.
#include "app/ContactsTable.h"
#include "app/Unit1.h"
#include "app/results.h"
#include "bench/BenchFigures.h"
#include "classlib/ui/MessagePump.h"
#include "classlib/ui/QtText.h"
#include "platform/Messages.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kRecipients = 1000;
const std::string kText = "Benchmark page: the quick brown fox jumps over the lazy dog";

void sendAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// A minimal RFC 1861 server: one thread per connection, a reply per line.
class LocalServer {
public:
    LocalServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0)
            throw std::runtime_error("listen");
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~LocalServer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    long pages() const { return pages_.load(); }

private:
    void run() {
        while (!stop_) {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            std::thread([this, c] { serve(c); }).detach();
        }
    }
    void serve(int c) {
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sendAll(c, "220 SNPP Gateway Ready\r\n");
        std::string buf;
        char tmp[8192];
        for (;;) {
            ssize_t n = ::recv(c, tmp, sizeof tmp, 0);
            if (n <= 0) break;
            buf.append(tmp, static_cast<size_t>(n));
            size_t lf;
            while ((lf = buf.find('\n')) != std::string::npos) {
                const std::string verb = buf.substr(0, 4);
                buf.erase(0, lf + 1);
                if (verb == "QUIT") {
                    sendAll(c, "221 OK, Goodbye\r\n");
                    ::close(c);
                    return;
                }
                if (verb == "SEND") ++pages_;
                sendAll(c, verb == "PAGE"   ? "250 Pager ID Accepted\r\n"
                           : verb == "MESS" ? "250 Message OK\r\n"
                                            : "250 Message Sent Successfully\r\n");
            }
        }
        ::close(c);
    }
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<long> pages_{0};
};

LocalServer* server = nullptr;

// The plain client: a blocking socket, one line out, one reply line in.
std::string readLine(int fd, std::string& buf) {
    for (;;) {
        const size_t lf = buf.find('\n');
        if (lf != std::string::npos) {
            std::string line = buf.substr(0, lf + 1);
            buf.erase(0, lf + 1);
            return line;
        }
        char tmp[4096];
        ssize_t n = ::recv(fd, tmp, sizeof tmp, 0);
        if (n <= 0) throw std::runtime_error("server closed");
        buf.append(tmp, static_cast<size_t>(n));
    }
}

void BM_PlainBlockingClient(benchmark::State& state) {
    for (auto _ : state) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(server->port()));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect");
        std::string buf;
        readLine(fd, buf);
        for (int k = 0; k < kRecipients; ++k) {
            // Each page is enciphered on its own, as the program does.
            const std::string m = "MESS SNPPENCRYPTED128" + Pc1Cipher().Crypt(kText) + "\r\n";
            sendAll(fd, "PAGE 555" + std::to_string(1000000 + k) + "\r\n");
            readLine(fd, buf);
            sendAll(fd, m);
            readLine(fd, buf);
            sendAll(fd, "SEND\r\n");
            if (readLine(fd, buf).compare(0, 3, "250") != 0) throw std::runtime_error("refused");
        }
        sendAll(fd, "QUIT\r\n");
        readLine(fd, buf);
        ::close(fd);
    }
    state.SetItemsProcessed(state.iterations() * kRecipients);
}

void BM_ProgramMultipleSend(benchmark::State& state) {
    TsendingMemoForm results;
    TForm1 form;
    form.show();
    loggingEnabled = false;
    services[1].hostField = "127.0.0.1";
    services[1].port = server->port();
    splitIPintoParts();
    for (int i = 0; i < form.namesListbox->Items.Count(); ++i)
        form.namesListbox->SetItemState(i, cbChecked);
    form.messageMemo->setPlainText(cls::toQString(kText));
    // The windows' first layout and paint, and the queued updates of filling the names list, are
    // the start-up's cost, not the sends': they run before the clock starts.
    results.show();
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
    const QString done = QStringLiteral("DONE");
    for (auto _ : state) {
        form.sendButtonClick(form.sendButton);
        // As in the program: Qt's loop runs, and the message pump runs the socket notifications.
        // The label is compared as it is: a conversion on each wake-up would be charged to the program.
        while (form.messageStatusLabel->text() != done)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        state.PauseTiming();
        if (sentCount != kRecipients) state.SkipWithError("not every page was sent");
        form.setStatusLabel("NONE");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRecipients);
}

} // namespace

// Several short repetitions of each, in random order, and their medians: both sides then meet
// the same changes in the machine's load, and a slowed run does not move a figure.
BENCHMARK(BM_PlainBlockingClient)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(pwbench::minTime(0.5))
    ->Repetitions(pwbench::repetitions(7))
    ->UseRealTime();
BENCHMARK(BM_ProgramMultipleSend)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(pwbench::minTime(0.5))
    ->Repetitions(pwbench::repetitions(7))
    ->UseRealTime();

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    // The program reads its settings and contacts from the current directory.
    const auto dir = std::filesystem::temp_directory_path() / ("pw-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    {
        std::vector<ContactRow> rows;
        for (int k = 0; k < kRecipients; ++k)
            rows.push_back(
                {"Contact " + std::to_string(10000 + k), "555" + std::to_string(1000000 + k), 1, "", {}});
        makeContactsTable(dir.string(), contactsDictionary(), rows);
    }
    cls::InstallMessagePump();
    LocalServer local;
    server = &local;

    pwbench::initializeInterleaved(argc, argv);
    // Times are per 1000 pages, in ms.
    pwbench::FiguresReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        const pwbench::Figures program = reporter.get("BM_ProgramMultipleSend");
        const pwbench::Figures plain = reporter.get("BM_PlainBlockingClient");
        auto perSecond = [](const pwbench::Figures& f) { return kRecipients / f.realTime * 1000.0; };
        auto cpuUsPerPage = [](const pwbench::Figures& f) { return f.cpuTime * 1000.0 / kRecipients; };
        std::printf("program: %.0f pages per second, %.1f us CPU per page\n", perSecond(program),
                    cpuUsPerPage(program));
        std::printf("plain blocking client: %.0f pages per second, %.1f us CPU per page\n", perSecond(plain),
                    cpuUsPerPage(plain));
        const double pages = perSecond(program) / perSecond(plain),
                     cpu = cpuUsPerPage(program) / cpuUsPerPage(plain);
        std::printf("ratio: pages per second %.2f %s, CPU per page %.2f %s\n", pages,
                    pwbench::target(pages >= 0.70, ">= 0.70").c_str(), cpu,
                    pwbench::target(cpu <= 1.50, "<= 1.50").c_str());
    });
    server = nullptr;
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
