// Delivery of data to sequential components. An input of a sequential
// component tells the engine when an element was published for it (the
// writer calls this under its output's ring lock). The engine never runs the
// reader's step there: that would nest two components' run locks on the
// writer's thread, and a cycle of components would deadlock. Instead each
// sequential instance has a worker thread of the engine and a list of inputs
// with pending data; a trigger only adds its input to the list (once: later
// triggers for a pending input coalesce, since one step reads every unread
// element of the input) and wakes the worker, which runs the steps one at a
// time outside every writer's lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class VTROComponent;
class VTROInput;

namespace vtro_engine {

class DeliveryQueue {
 public:
  // Runs one sequential step of `component` for `input` (on a worker thread).
  using Step = std::function<void(VTROComponent* component, VTROInput* input)>;

  explicit DeliveryQueue(Step step);
  ~DeliveryQueue();
  DeliveryQueue(const DeliveryQueue&) = delete;
  DeliveryQueue& operator=(const DeliveryQueue&) = delete;

  // Gives `component` a worker (once; later calls do nothing).
  void Add(VTROComponent* component, const char* threadName);
  // Ends the worker of `component` after the step it runs; pending triggers
  // are dropped. Call after the component was stopped.
  void Remove(VTROComponent* component);
  // Notes pending data on `input` of `component`. Takes only the worker's
  // own short lock and never waits for a step; false when `component` has no
  // worker.
  bool Trigger(VTROComponent* component, VTROInput* input);
  // True when no trigger is pending and no step runs.
  bool Idle() const;
  // Steps run so far.
  std::uint64_t Steps() const;

 private:
  struct Worker {
    mutable std::mutex lock;  // guards pending, running, quit
    std::condition_variable wake;
    std::vector<VTROInput*> pending;
    bool running = false;
    bool quit = false;
    std::thread thread;
  };
  void Run(VTROComponent* component, Worker* worker);

  Step step_;
  mutable std::mutex workersLock_;  // guards workers_ (not held during steps)
  std::map<VTROComponent*, std::unique_ptr<Worker>> workers_;
  std::atomic<std::uint64_t> steps_{0};
};

}  // namespace vtro_engine
