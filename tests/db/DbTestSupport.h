// Helpers shared by the database tests: waiting on real threads and catching the raised errors.
#pragma once
#include "tests/support/TestSupport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

namespace dbtest {

using pwtest::waitUntil;

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
