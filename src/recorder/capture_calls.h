#pragma once

// The platform's completion-handler operations as calls that return a value or
// throw. The asynchronous ones suspend without holding a thread and resume
// their caller on a worker thread; the blocking one holds its caller.

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace quorvale::recorder {

using WorkerExecutor = asio::thread_pool::executor_type;

namespace detail {

template <class... Values>
class OneShotState {
 public:
  explicit OneShotState(std::string label) : label_(std::move(label)) {}
  virtual ~OneShotState() = default;

  // First call wins; a second is a misuse reported to whoever made it.
  void resume(std::exception_ptr error, Values... values) {
    if (resumed_.exchange(true)) {
      throw std::logic_error(label_ + " resumed its completion more than once.");
    }
    deliver(std::move(error), std::move(values)...);
  }

  const std::string& label() const { return label_; }

 protected:
  virtual void deliver(std::exception_ptr error, Values... values) = 0;
  bool wasResumed() const { return resumed_.load(); }

 private:
  std::string label_;
  std::atomic<bool> resumed_{false};
};

template <class Handler, class... Values>
class HandlerState final : public OneShotState<Values...> {
 public:
  HandlerState(std::string label, WorkerExecutor workers)
      : OneShotState<Values...>(std::move(label)), workers_(workers) {}

  // Before the request is issued, so a completion always finds the handler.
  void attach(Handler handler) noexcept { handler_.emplace(std::move(handler)); }

  // A completion dropped unresumed would leave its caller suspended for ever;
  // it fails instead.
  ~HandlerState() override {
    if (this->wasResumed() || !handler_) return;
    try {
      deliver(std::make_exception_ptr(
                  std::logic_error(this->label() + " dropped its completion without resuming it.")),
              Values{}...);
    } catch (...) {
      // Posting can only fail for lack of memory; nothing is left to resume then.
    }
  }

 private:
  void deliver(std::exception_ptr error, Values... values) override {
    asio::post(workers_, [handler = std::move(*handler_), error = std::move(error),
                          ... values = std::move(values)]() mutable {
      std::move(handler)(std::move(error), std::move(values)...);
    });
  }

  std::optional<Handler> handler_;
  WorkerExecutor workers_;
};

}  // namespace detail

// Handed to the platform's completion handler; resumes the suspended caller
// exactly once. Copies share one state.
template <class... Values>
class OneShotCompletion {
 public:
  explicit OneShotCompletion(std::shared_ptr<detail::OneShotState<Values...>> state)
      : state_(std::move(state)) {}

  void resume(Values... values) const { state_->resume(nullptr, std::move(values)...); }
  void fail(std::exception_ptr error) const { state_->resume(std::move(error), Values{}...); }
  const std::string& label() const { return state_->label(); }

 private:
  std::shared_ptr<detail::OneShotState<Values...>> state_;
};

// Suspends until the completion given to `issue` is resumed; continues on a worker.
// `issue` runs while the caller is suspended, where nothing may throw: what it
// throws (a thread or memory that could not be had) becomes the caller's error.
template <class... Values, class Issue>
auto awaitOneShot(std::string label, WorkerExecutor workers, Issue issue) {
  using Signature = void(std::exception_ptr, Values...);
  using Handler = typename asio::async_result<asio::use_awaitable_t<>, Signature>::handler_type;
  using State = detail::HandlerState<Handler, Values...>;
  // Made before suspending, where running out of memory is an ordinary exception.
  auto state = std::make_shared<State>(std::move(label), workers);
  return asio::async_initiate<const asio::use_awaitable_t<>&, Signature>(
      [state = std::move(state), issue = std::move(issue)](Handler handler) mutable {
        state->attach(std::move(handler));
        const OneShotCompletion<Values...> completion(std::move(state));
        // Failed outside the handler, so the thrown object's last reference is an
        // exception_ptr's whichever thread the caller resumes on.
        std::exception_ptr thrown;
        try {
          issue(completion);
        } catch (...) {
          thrown = std::current_exception();
        }
        if (!thrown) return;
        try {
          completion.fail(std::move(thrown));
        } catch (...) {
          // Resumed before the request threw, so the caller has its answer; or no
          // memory is left to resume it with.
        }
      },
      asio::use_awaitable);
}

using ContentPointer = std::shared_ptr<const platform::ShareableContent>;

asio::awaitable<ContentPointer> fetchShareableContent(platform::Platform& platform, WorkerExecutor workers);
ContentPointer fetchShareableContentSync(platform::Platform& platform);
asio::awaitable<void> startCapture(platform::Stream& stream, WorkerExecutor workers);
asio::awaitable<void> stopCapture(platform::Stream& stream, WorkerExecutor workers);

}  // namespace quorvale::recorder
