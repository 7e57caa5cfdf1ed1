// Waiting for the contacts server: the windows painted, the input dropped and the server named
// while it lasts.
#pragma once
#include <functional>
#include <memory>
#include <string>

class TForm1;

// Runs work on a thread of its own while the windows are painted (exposed, resized); input, the
// program's timers and its messages wait meanwhile. With whenSlow, a short work is waited for
// without any of that; whenSlow runs (on this thread) once it has taken long enough to be noticed.
void runWhilePainting(const std::function<void()>& work, const std::function<void()>& whenSlow = {});

// While a contacts server is waited for: a busy cursor, the status bar names the server, input is
// dropped, and the windows show all this before the wait starts.
class ServerWait {
public:
    ServerWait(TForm1* form, const std::string& server);
    ~ServerWait();
    ServerWait(const ServerWait&) = delete;
    ServerWait& operator=(const ServerWait&) = delete;

private:
    struct Held;
    std::unique_ptr<Held> held_;
};
