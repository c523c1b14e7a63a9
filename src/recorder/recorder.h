#pragma once

#include <asio/awaitable.hpp>

namespace quorvale::recorder {

// What the run flow needs of a recording session.
class Recorder {
 public:
  virtual ~Recorder() = default;
  // Returns once recording has begun ("started" already written).
  virtual asio::awaitable<void> start() = 0;
  // Returns once the movie is complete ("finished" already written).
  virtual asio::awaitable<void> stop() = 0;
  // True once the session itself wrote "finished" or "error".
  virtual bool hasEmittedTerminalEvent() const = 0;
};

}  // namespace quorvale::recorder
