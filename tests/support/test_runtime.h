#pragma once

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <exception>

#include "recorder/runtime.h"

namespace quorvale::testing {

// A main queue served by the test's thread and a worker pool, as the program has.
struct TestRuntime {
  asio::io_context mainQueue;
  asio::thread_pool workers{4};
  recorder::Runtime runtime{mainQueue, workers};

  ~TestRuntime() { workers.join(); }

  // Serves the main queue on this thread until the operation is done; returns its failure.
  std::exception_ptr run(asio::awaitable<void> operation) {
    std::exception_ptr failure;
    auto busy = asio::make_work_guard(mainQueue);
    asio::co_spawn(mainQueue, std::move(operation), [&](std::exception_ptr error) {
      failure = error;
      busy.reset();
    });
    mainQueue.restart();
    mainQueue.run();
    return failure;
  }
};

}  // namespace quorvale::testing
