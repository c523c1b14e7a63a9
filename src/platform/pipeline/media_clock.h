#pragma once

#include <cstdint>

namespace quorvale::platform::pipeline {

// Microseconds on CLOCK_MONOTONIC: the one clock that frames and sound share. Any thread.
std::int64_t monotonicMicros();

}  // namespace quorvale::platform::pipeline
