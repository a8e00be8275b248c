#pragma once

#include <chrono>
#include <thread>

namespace quelm::test {

// Polls `predicate` until it holds or `limit` passes; whether it held. For state that another
// process (an X server, a panel) changes in its own time.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(5),
                std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

}  // namespace quelm::test
