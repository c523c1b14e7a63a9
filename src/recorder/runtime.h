#pragma once

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

namespace quorvale::recorder {

// The main queue, served by the main thread, and the worker pool on which the
// recorder's start and stop run and platform completions resume.
struct Runtime {
  asio::io_context& mainQueue;
  asio::thread_pool& workers;

  bool isMainThread() const { return mainQueue.get_executor().running_in_this_thread(); }
};

}  // namespace quorvale::recorder
