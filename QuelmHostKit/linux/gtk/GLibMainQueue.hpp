#pragma once

#include "QuelmHostKit/queues/SerialQueue.hpp"

typedef struct _GMainContext GMainContext;

namespace quelm {

// The main queue: tasks run on whichever thread runs the GLib main loop of `context` (the
// default context when none is given), one at a time, in submission order. Thread-safe.
// Tasks still queued when the loop ends are never run (and never freed before process exit).
class GLibMainQueue final : public SerialQueue {
  public:
    explicit GLibMainQueue(GMainContext* context = nullptr);
    ~GLibMainQueue() override;
    GLibMainQueue(const GLibMainQueue&) = delete;
    GLibMainQueue& operator=(const GLibMainQueue&) = delete;

    void async(Task task) override;
    void after(double seconds, Task task) override;
    bool isCurrent() const override;
    double now() const override;

  private:
    GMainContext* context_;
};

}  // namespace quelm
