#include "QuelmHostKit/log/Log.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "QuelmCore/AppIdentity.hpp"

namespace quelm::Log {

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<LogSink>& sinkSlot() {
    static std::shared_ptr<LogSink> sink = std::make_shared<StderrSink>();
    return sink;
}

std::shared_ptr<LogSink> currentSink() {
    std::lock_guard lock(sinkMutex());
    return sinkSlot();
}

}  // namespace

void info(std::string_view message) {
    // The sink is called outside the lock, so a slow sink never blocks a sink swap.
    if (auto sink = currentSink()) {
        sink->write(kApplicationId, category, message);
    }
}

std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(sinkMutex());
    auto previous = std::move(sinkSlot());
    sinkSlot() = std::move(sink);
    return previous;
}

void StderrSink::write(std::string_view subsystem, std::string_view category,
                       std::string_view message) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);

    std::string line;
    line.reserve(message.size() + 64);
    line.append(stamp).append(".");
    char ms[8];
    std::snprintf(ms, sizeof ms, "%03lld", static_cast<long long>(millis));
    line.append(ms).append("Z ").append(subsystem).append("[").append(category).append("] ");
    line.append(message).append("\n");
    // One fwrite per line keeps lines from different threads whole.
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace quelm::Log
