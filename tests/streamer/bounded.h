// A call that may wait for ever (an unload waiting for a hold nobody gives back) is bounded: when it
// has not returned in time the run stops, naming it, instead of hanging ctest.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "emu/kemu/kemu.h"

namespace dvtest {

inline void ReturnsWithin(std::chrono::seconds limit, const std::string &what, const std::function<void()> &call)
{
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!changed.wait_for(guard, limit, [&] { return done; })) {
            kemu::Stop(what + " did not return within " + std::to_string(limit.count()) + " s");
        }
    });
    call();
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    changed.notify_one();
    watchdog.join();
}

} // namespace dvtest
