// Where a backend's events are delivered: the agent's main queue (app/main_queue.h).
#pragma once

#include <functional>

namespace quenwick {

// Safe to call from any thread; the job runs later, on the queue's own thread.
class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  virtual void post(std::function<void()> job) = 0;
};

}  // namespace quenwick
