#pragma once

// A thread that runs posted tasks one at a time, in order: where the backend
// delivers completions and delegate callbacks, so none runs on the caller's thread.
// Threading: post() from any thread. Destroy from any thread, including from
// inside one of its own tasks.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quorvale::platform::service {

class SerialQueue {
 public:
  SerialQueue();
  // Drops the tasks not yet started and waits for the running one, unless
  // called from that task itself.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void post(std::function<void()> task);
  // Drops what is pending and waits for the running task (as the destructor does); later posts are ignored.
  void shutdown();

 private:
  struct State {
    std::mutex mutex;  // guards tasks and stopping
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
  };
  static void run(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;  // shared with the thread, which may outlive us when detached
  std::thread thread_;
};

}  // namespace quorvale::platform::service
