#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm::test {

// Captures log lines for assertions; installed for the lifetime of a Scope and then the
// previous sink comes back.
class CapturingLogSink final : public LogSink {
  public:
    void write(std::string_view subsystem, std::string_view category,
               std::string_view message) override;

    std::vector<std::string> lines() const;
    // Lines equal to `text`, or starting with it when `prefix` is true.
    int count(const std::string& text, bool prefix = false) const;
    // Waits up to `seconds` for a line starting with `prefix`; for lines written on other threads.
    bool waitFor(const std::string& prefix, double seconds = 5.0) const;
    void clear();

    // Installs a fresh sink for the current scope.
    class Scope {
      public:
        Scope();
        ~Scope();
        CapturingLogSink& sink() { return *sink_; }

      private:
        std::shared_ptr<CapturingLogSink> sink_;
        std::shared_ptr<LogSink> previous_;
    };

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

}  // namespace quelm::test
