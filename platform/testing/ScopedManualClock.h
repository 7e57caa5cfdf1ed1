// Installs a manual clock for one scope, and puts the real one back however the scope is left
// (a failed assertion included).
#pragma once
#include "platform/Messages.h"

#include <cstdint>

namespace plat {

struct ScopedManualClock {
    explicit ScopedManualClock(uint64_t startMs = 1000000) : clock(startMs) { SetClock(&clock); }
    ~ScopedManualClock() { SetClock(nullptr); }
    ScopedManualClock(const ScopedManualClock&) = delete;
    ScopedManualClock& operator=(const ScopedManualClock&) = delete;

    ManualClock clock;
};

} // namespace plat
