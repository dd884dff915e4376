#include "delivery.h"

#include <algorithm>
#include <string>

#include "platform/engine_platform.h"

namespace vtro_engine {

DeliveryQueue::DeliveryQueue(Step step) : step_(std::move(step)) {}

DeliveryQueue::~DeliveryQueue() {
  std::vector<VTROComponent*> components;
  {
    std::lock_guard<std::mutex> guard(workersLock_);
    for (const auto& [component, worker] : workers_) components.push_back(component);
  }
  for (VTROComponent* c : components) Remove(c);
}

void DeliveryQueue::Add(VTROComponent* component, const char* threadName) {
  std::lock_guard<std::mutex> guard(workersLock_);
  if (workers_.count(component) != 0) return;
  auto worker = std::make_unique<Worker>();
  // Room for the inputs of a usual component: a trigger then never allocates.
  worker->pending.reserve(16);
  Worker* raw = worker.get();
  const std::string name = std::string(threadName != nullptr ? threadName : "");
  worker->thread = std::thread([this, component, raw, name] {
    platform::SetThreadName(name);
    Run(component, raw);
  });
  workers_.emplace(component, std::move(worker));
}

void DeliveryQueue::Remove(VTROComponent* component) {
  std::unique_ptr<Worker> worker;
  {
    std::lock_guard<std::mutex> guard(workersLock_);
    const auto it = workers_.find(component);
    if (it == workers_.end()) return;
    worker = std::move(it->second);
    workers_.erase(it);
  }
  {
    std::lock_guard<std::mutex> guard(worker->lock);
    worker->quit = true;
    worker->pending.clear();
  }
  worker->wake.notify_all();
  worker->thread.join();
}

bool DeliveryQueue::Trigger(VTROComponent* component, VTROInput* input) {
  Worker* worker = nullptr;
  {
    std::lock_guard<std::mutex> guard(workersLock_);
    const auto it = workers_.find(component);
    if (it == workers_.end()) return false;
    worker = it->second.get();
    // Taken before workersLock_ is given back: Remove cannot free the worker
    // while a trigger is between the two locks.
    worker->lock.lock();
  }
  const bool added = std::find(worker->pending.begin(), worker->pending.end(), input) == worker->pending.end();
  if (added) worker->pending.push_back(input);
  worker->lock.unlock();
  if (added) worker->wake.notify_one();
  return true;
}

bool DeliveryQueue::Idle() const {
  std::lock_guard<std::mutex> guard(workersLock_);
  for (const auto& [component, worker] : workers_) {
    std::lock_guard<std::mutex> w(worker->lock);
    if (worker->running || !worker->pending.empty()) return false;
  }
  return true;
}

std::uint64_t DeliveryQueue::Steps() const { return steps_.load(); }

void DeliveryQueue::Run(VTROComponent* component, Worker* worker) {
  std::unique_lock<std::mutex> guard(worker->lock);
  while (true) {
    worker->wake.wait(guard, [worker] { return worker->quit || !worker->pending.empty(); });
    if (worker->quit) return;
    // Taken off the list before the step: data published during the step
    // triggers the input again, so nothing that arrives is left unread.
    VTROInput* input = worker->pending.front();
    worker->pending.erase(worker->pending.begin());
    worker->running = true;
    guard.unlock();
    step_(component, input);
    steps_.fetch_add(1);
    guard.lock();
    worker->running = false;
  }
}

}  // namespace vtro_engine
