// pwdbserver: a database server for remote clients: the in-process engine on a folder behind a
// listening legacy transport whose command handler runs the request decoder.
//   pwdbserver <folder> <port> [--single-user] [--name NAME] [--message-folder DIR] [--log-requests]
//              [--users FILE] [--config-folder DIR]
// Port 0 takes a free port; the port is printed on stdout as "listening on port N". SIGINT or
// SIGTERM stops the server. The engine's configuration tables (users with their password hashes,
// aliases, settings) are kept apart from the served tables: in --config-folder, by default in
// ".pwdbserver" inside the served folder, made readable by its owner only when it is made.
// --message-folder moves the single-user rendezvous folder (tests);
// --log-requests logs every request as it arrives. --users makes the server ask for logins of the file's
// users only: each line is "user:password" (at most 31 characters each). The log goes to
// stderr. Exit status 0 after a clean stop, 1 when the server cannot start, 2 on a wrong command line.
#include "db/base/qbhash.h"
#include "db/base/qblllog.h"
#include "db/base/qbsrmgr.h"
#include "db/engine/qbsrengn.h"
#include "db/remote/qblegacy.h"
#include "db/remote/qbsrdisp.h"
#include "platform/Messages.h"
#include "platform/ProcessMessages.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// Requests running at once; more wait for a thread. Requests that wait for a lock are not counted.
constexpr int32_t kPoolThreads = 16;
// Where the configuration tables are kept without --config-folder, inside the served folder.
constexpr char kDefaultConfigFolder[] = ".pwdbserver";

class StderrLog : public TqbBaseLog {
public:
    void WriteText(std::string_view s) override {
        std::fprintf(stderr, "%.*s\n", int(s.size()), s.data());
        std::fflush(stderr);
    }
    void WriteTextFmt(std::string_view fmt, const QbFormatArgs& args) override {
        WriteText(qbFormat(fmt, args));
    }
};

int usage() {
    std::fprintf(stderr, "usage: pwdbserver <folder> <port> [--single-user] [--name NAME] [--message-folder "
                         "DIR] [--log-requests] [--users FILE] [--config-folder DIR]\n"
                         "Serves the database engine on <folder> to remote clients (port 0: a free port).\n");
    return 2;
}

// The users of a --users file, to be asked for at login; a bad line stops the start.
void addUsers(TqbServerEngine& engine, const std::string& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error(file + ": cannot be read");
    std::string line;
    int number = 0, users = 0;
    // The file's users are the ones asked for, in place of any stored.
    engine.Configuration().UserList().Empty();
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t colon = line.find(':');
        const std::string user = line.substr(0, colon),
                          password = colon == std::string::npos ? "" : line.substr(colon + 1);
        if (colon == std::string::npos || user.empty() || user.size() > 31 || password.size() > 31)
            throw std::runtime_error(file + " line " + std::to_string(number) + ": not user:password");
        TqbServerConfiguration& config = engine.Configuration();
        if (TqbResultCode rc = config.AddUser(user, "", "", HashShStr(password), 0))
            throw std::runtime_error(file + " line " + std::to_string(number) + ": user refused (" +
                                     std::to_string(rc) + ")");
        ++users;
    }
    if (users == 0) throw std::runtime_error(file + ": no user");
    engine.Configuration().UpdateGeneralInfo([](TqbGeneralInfo& i) { i.IsSecure = true; });
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string folder = argv[1], name = "pwdbserver";
    char* end = nullptr;
    unsigned long port = std::strtoul(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || port > 65535) return usage();
    bool singleUser = false, logRequests = false;
    std::string usersFile, configFolder;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--single-user") == 0)
            singleUser = true;
        else if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc)
            name = argv[++i];
        else if (std::strcmp(argv[i], "--users") == 0 && i + 1 < argc)
            usersFile = argv[++i];
        else if (std::strcmp(argv[i], "--config-folder") == 0 && i + 1 < argc)
            configFolder = argv[++i];
        else if (std::strcmp(argv[i], "--log-requests") == 0)
            logRequests = true;
        else if (std::strcmp(argv[i], "--message-folder") == 0 && i + 1 < argc)
            plat::SetProcessMessageFolder(argv[++i]);
        else
            return usage();
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        std::fprintf(stderr, "%s: no such folder\n", folder.c_str());
        return 1;
    }
    folder = std::filesystem::absolute(folder, ec).lexically_normal().string();
    if (configFolder.empty()) {
        configFolder = (std::filesystem::path(folder) / kDefaultConfigFolder).string();
        if (std::filesystem::create_directory(configFolder, ec))
            std::filesystem::permissions(configFolder, std::filesystem::perms::owner_all, ec);
    }
    if (!std::filesystem::is_directory(configFolder, ec)) {
        std::fprintf(stderr, "%s: no such folder\n", configFolder.c_str());
        return 1;
    }
    configFolder = std::filesystem::absolute(configFolder, ec).lexically_normal().string();
    // Clients are refused the configuration folder, so serving it would serve nothing.
    if (std::filesystem::equivalent(folder, configFolder, ec)) {
        std::fprintf(stderr, "%s: the configuration folder cannot be the served folder\n",
                     configFolder.c_str());
        return 1;
    }

    // The stop signals are read from a descriptor, so every thread made from here on leaves them alone.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    int sigfd = signalfd(-1, &stop, SFD_CLOEXEC);
    if (sigfd < 0) {
        std::perror("signalfd");
        return 1;
    }

    // Made in the order they depend on each other, so they go in the reverse one: the transport
    // first, the engine after everything that calls it.
    StderrLog log;
    TqbBaseCommandHandler handler;
    TqbOwned<TqbServerEngine> engine(new TqbServerEngine());
    TqbServerDispatcher dispatcher(*engine);
    TqbDispatchPlugIn plugIn(dispatcher);
    // Requests run on pool threads, so a client waiting for a lock holds up no other client. A
    // thread waiting for a lock does not count against the pool's size: the pool grows while its
    // threads wait, so the holder's next request (the commit that ends the waits) always finds a
    // thread; once the waits end, the threads above the pool's size end too. Lock waits that gave up
    // their thread would need an engine that can park a request half done; a thread kept for each
    // open transaction would need as many threads, held also between requests.
    TqbThreadPool pool;
    TqbOwned<TqbLegacyTransport> transport(new TqbLegacyTransport());
    int status = 0;
    try {
        engine->SetConfigDir(configFolder + "/");
        engine->SetEventLog(&log);
        engine->SetEventLogEnabled(true);
        // The served folder has no alias: its journals are recovered at start all the same.
        engine->RecoveryFolders.push_back(folder);
        engine->Startup();
        if (!usersFile.empty()) addUsers(*engine, usersFile);
        handler.AddPlugIn(&plugIn);

        transport->SetProtocol(singleUser ? ptSingleUser : ptTCPIP);
        transport->SetMode(qbtmListen);
        transport->SetServerName(name);
        transport->SetEventLog(&log);
        transport->SetEventLogEnabled(true);
        transport->SetEventLogOptions(qbLogOption(qbtpLogErrors) |
                                      (logRequests ? qbLogOption(qbtpLogRequests) : 0));
        transport->OnCreateProtocol = [port, singleUser](TqbBaseCommsProtocol& p) {
            if (!singleUser) static_cast<TqbWinsockProtocol&>(p).StreamPort = uint16_t(port);
        };
        pool.SetMaxCount(kPoolThreads);
        transport->SetThreadPool(&pool);
        transport->SetCommandHandler(&handler);
        transport->OnAddClient = ServerLoginHandler(*engine, dispatcher);
        transport->OnRemoveClient = ServerRemoveHandler(dispatcher);
        transport->SetState(qbsStarted);
        if (transport->State() != qbsStarted) throw std::runtime_error("the transport did not start");

        if (singleUser)
            std::printf("listening single-user as %s\n", name.c_str());
        else
            std::printf(
                "listening on port %u\n",
                unsigned(static_cast<TqbWinsockProtocol*>(transport->CommsProtocol())->BoundStreamPort()));
        std::fflush(stdout);

        plat::WatchId watch = plat::WatchFd(sigfd, POLLIN, [&](int fd, short) {
            signalfd_siginfo info;
            if (read(fd, &info, sizeof info) == ssize_t(sizeof info)) {
                std::fprintf(stderr, "pwdbserver: signal %u, stopping\n", info.ssi_signo);
                plat::PostQuitMessage(0);
            }
        });
        plat::MSG msg;
        while (plat::GetMessage(&msg))
            plat::DispatchMessage(msg);
        plat::UnwatchFd(watch);

        // The lock waits end first and the requests under way are answered while the transport
        // still sends; a request that begins to wait later ends at once.
        engine->EndLockWaits();
        transport->WaitForDispatched();
        transport->SetState(qbsStopped);
        // Their connections went with the transport: the engine need not wait for them to leave.
        dispatcher.RemoveAllClients();
        engine->Shutdown();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pwdbserver: %s\n", e.what());
        status = 1;
        try {
            transport->SetState(qbsStopped);
            if (engine->State() == qbsStarted) engine->Shutdown();
        } catch (...) {
            // The first failure is the one to report.
        }
    }
    close(sigfd);
    return status;
}
