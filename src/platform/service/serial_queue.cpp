#include "platform/service/serial_queue.h"

namespace quorvale::platform::service {

SerialQueue::SerialQueue() : state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_] { run(state); });
}

SerialQueue::~SerialQueue() { shutdown(); }

void SerialQueue::shutdown() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->tasks.clear();
  }
  state_->wake.notify_all();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // the running task destroyed us; the thread ends once it returns
  } else {
    thread_.join();
  }
}

void SerialQueue::post(std::function<void()> task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return;
    state_->tasks.push_back(std::move(task));
  }
  state_->wake.notify_one();
}

void SerialQueue::run(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->wake.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
    if (state->stopping) return;
    auto task = std::move(state->tasks.front());
    state->tasks.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // release what it captured outside the lock, before a destructor may wait on us
    lock.lock();
  }
}

}  // namespace quorvale::platform::service
