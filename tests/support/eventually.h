#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace korvel::test {

// Polls condition until it holds or timeout passes; answers whether it held. The default is
// generous for a loaded machine: a passing test never waits that long.
inline bool eventually(const std::function<bool()>& condition, std::chrono::seconds timeout = std::chrono::minutes(1)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace korvel::test
