// Helpers shared by the database tests: waiting on real threads and catching the raised errors.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

namespace dbtest {

// Polls until pred holds; the bound only guards against a hang.
inline bool waitUntil(const std::function<bool()>& pred) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// What a call raised: message and error code (0 for errors without one); "<none>" if nothing.
struct Raised {
    std::string message = "<none>";
    int32_t code = 0;
    bool operator==(const Raised&) const = default;
    friend std::ostream& operator<<(std::ostream& o, const Raised& r) {
        return o << '"' << r.message << "\" code " << r.code;
    }
};

// Runs f; an exception of another type than E escapes and fails the test.
template <class E, class F> Raised raised(F&& f) {
    try {
        f();
    } catch (const E& e) {
        if constexpr (requires { e.ErrorCode; })
            return {e.Message(), e.ErrorCode};
        else
            return {e.Message()};
    }
    return {};
}

} // namespace dbtest
