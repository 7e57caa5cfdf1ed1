// ContactsLink: the state of the connection to a contacts server, shared by the windows that use the
// contacts: one question per loss however it is found, the way back, and the use it broke resumed.
#pragma once
#include <functional>
#include <string>

class ContactsLink {
public:
    enum class State {
        Open,         // connected, or on the program's own engine
        Asking,       // a loss is being asked about
        Lost,         // answered Yes: a reconnect is due
        Reconnecting, // a contacts server is being waited for
        Gone,         // answered No, or the server did not come back: the next use tries again
    };

    // What the main window does for the link; every member is set.
    struct Window {
        // The contacts can be used now.
        std::function<bool()> open;
        // The contacts are on a database server (one that can be lost).
        std::function<bool()> onServer;
        // Open contacts' server still answers: one that stopped is found (and said) before an engine
        // call would hold the windows. Unset: not asked.
        std::function<bool()> answers;
        // The one question about a loss; true for Yes.
        std::function<bool(const std::string& reason)> ask;
        // A new connection; failure: why not, in a user's words. Calls opened() once it is open.
        std::function<bool(std::string* failure)> reconnect;
        // The lost connection's handles are gone: nothing shown may name a contact; say: the status
        // bar says so.
        std::function<void(bool say)> gone;
        // The loss is known, its handles not yet gone: the windows keep what is typed in them.
        std::function<void()> keep;
        // After a reconnect (back) or a failed one: the windows open again, or say what waits.
        std::function<void(bool back)> back;
        // Runs f once the event being handled has been dealt with everywhere it is reported.
        std::function<void(std::function<void()> f)> later;
    };

    explicit ContactsLink(Window window) : window_(std::move(window)) {}
    ContactsLink(const ContactsLink&) = delete;
    ContactsLink& operator=(const ContactsLink&) = delete;

    State state() const { return state_; }
    // The contacts are open, or have just been opened again (a lost or gone server is tried once
    // more). False when they cannot be had.
    bool available();
    // Runs op on the contacts. A lost server connection is asked about once (unless it was already);
    // after Yes and a reconnect op runs once more. False when it did not complete.
    bool run(const std::function<void()>& op);
    // The client reports its connection lost: starting, before its handles go; then after.
    void reported(bool starting);
    // Waits for the server and connects anew; failure: why not, in a user's words.
    bool reconnect(std::string* failure = nullptr);
    // The new connection is open (called by Window::reconnect).
    void opened() { state_ = State::Open; }

private:
    // A loss found: asked about once; whether a reconnect is wanted.
    bool lossFound(const std::string& reason);

    Window window_;
    State state_ = State::Open;
    bool askedByReport_ = false; // the loss being reported was asked about by the report itself
};
