#include <time.h>

#include "platform/encoding/media.h"

namespace quorvale::platform::x11 {

std::int64_t monotonicMicros() {
  timespec now{};
  // CLOCK_MONOTONIC cannot fail with a valid pointer.
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

}  // namespace quorvale::platform::x11
