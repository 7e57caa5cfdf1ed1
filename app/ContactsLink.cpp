// ContactsLink: a lost contacts server found by a use of the contacts or reported by its client, one
// question about it, the reconnect, and the use it broke run again.
#include "app/ContactsLink.h"

#include "app/Unit1.h"

bool ContactsLink::available() {
    if (state_ == State::Asking || state_ == State::Reconnecting) return false;
    if (window_.open()) return !window_.answers || window_.answers();
    // The program's own engine is not lost: a table it could not open stays reported once.
    if (!window_.onServer()) return false;
    return reconnect();
}

bool ContactsLink::lossFound(const std::string& reason) {
    switch (state_) {
    case State::Open:
        break;
    case State::Lost: // asked on its way (its report came first): that Yes stands
        return true;
    default: // the question is open, or was answered No
        return false;
    }
    window_.keep();
    state_ = State::Asking;
    state_ = window_.ask(reason) ? State::Lost : State::Gone;
    return state_ == State::Lost;
}

bool ContactsLink::run(const std::function<void()>& op) {
    if (!available()) return false;
    try {
        op();
        return true;
    } catch (const std::exception& e) {
        if (!connectionFailure(e) || !window_.onServer()) throw;
        // Its report, when it comes, is answered by this question.
        if (!lossFound(e.what())) {
            if (state_ == State::Gone) window_.gone(true);
            return false;
        }
        // A reconnect that fails says why.
        if (!reconnect()) return false;
    }
    op();
    return true;
}

void ContactsLink::reported(bool starting) {
    if (starting) {
        askedByReport_ = state_ == State::Open;
        if (askedByReport_) lossFound("Connection to server is no longer valid.");
        return;
    }
    const bool mine = askedByReport_;
    askedByReport_ = false;
    window_.gone(mine);
    // A loss an operation asked about is reconnected by that operation.
    if (!mine || state_ != State::Lost) return;
    window_.later([this] {
        if (state_ == State::Lost) reconnect();
    });
}

bool ContactsLink::reconnect(std::string* failure) {
    state_ = State::Reconnecting;
    const bool back = window_.reconnect(failure) && state_ == State::Open;
    if (!back) state_ = State::Gone;
    window_.back(back);
    return back;
}
