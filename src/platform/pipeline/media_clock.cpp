#include "platform/pipeline/media_clock.h"

#include <time.h>

namespace quorvale::platform::pipeline {

std::int64_t monotonicMicros() {
  timespec now{};
  // CLOCK_MONOTONIC cannot fail with a valid pointer.
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

}  // namespace quorvale::platform::pipeline
