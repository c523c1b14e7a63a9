#include "events/support_recording_event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <span>
#include <vector>

#include "events/support_recording_error.h"

namespace quorvale::events {

namespace {

using Json = nlohmann::ordered_json;

// Serialises whole lines: a write larger than the pipe's atomic size could
// otherwise interleave with another thread's line.
std::mutex& standardOutputMutex() {
  static std::mutex mutex;
  return mutex;
}

// The last-resort report runs in signal handlers, maybe on a thread that holds
// the mutex, so it cannot take it. It closes this gate instead and waits for the
// one line in flight (lines are written under the mutex, so there is at most one).
std::atomic<std::uint32_t> outputGate{0};
constexpr std::uint32_t kWriting = 1;      // a line is being written
constexpr std::uint32_t kTerminalOut = 2;  // a "finished" or "error" line is out
constexpr std::uint32_t kClosed = 4;       // the last-resort report owns standard output
static_assert(sizeof(outputGate) == sizeof(std::uint32_t) && decltype(outputGate)::is_always_lock_free,
              "the gate is a futex word");
std::atomic<pid_t> lastResortThread{0};

std::uint32_t* gateWord() { return reinterpret_cast<std::uint32_t*>(&outputGate); }

void endLine(bool terminal) {
  if (terminal) outputGate.fetch_or(kTerminalOut);
  if (outputGate.fetch_and(~kWriting) & kClosed) {
    ::syscall(SYS_futex, gateWord(), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
  }
}

// With the mutex held. Once the last-resort report owns standard output, the
// process is ending: a later line must neither follow that one nor, by ending
// the process itself, cut it off, so the writer waits here for the end.
void beginLine() {
  if (!(outputGate.fetch_or(kWriting) & kClosed)) return;
  endLine(false);
  for (;;) ::pause();
}

bool isTerminal(const std::string& status) { return status == "finished" || status == "error"; }

// Standard output ends in the middle of a line: a write failed part way, or a
// signal stopped its writer. The next line starts on a line of its own.
std::atomic<bool> outputMidLine{false};

// A failed write (the parent closed its end) drops the rest of the line.
// newLine: the pieces begin a line, which must not be glued to a broken one.
// At most 7 pieces; allocation-free and async-signal-safe.
void writeAll(int fd, std::span<const std::string_view> pieces, bool newLine = false) {
  std::array<iovec, 8> parts{};
  std::size_t count = 0;
  if (newLine && outputMidLine.load()) parts[count++] = {const_cast<char*>("\n"), 1};
  for (const auto piece : pieces) {
    if (!piece.empty()) parts[count++] = {const_cast<char*>(piece.data()), piece.size()};
  }
  iovec* next = parts.data();
  while (count > 0) {
    const ssize_t written = ::writev(fd, next, static_cast<int>(count));
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    auto left = static_cast<std::size_t>(written);
    const char* last = nullptr;  // the last byte out so far
    while (count > 0 && left >= next->iov_len) {
      last = static_cast<const char*>(next->iov_base) + next->iov_len - 1;
      left -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0 && left > 0) {
      last = static_cast<const char*>(next->iov_base) + left - 1;
      next->iov_base = static_cast<char*>(next->iov_base) + left;
      next->iov_len -= left;
    }
    if (fd == STDOUT_FILENO && last) outputMidLine.store(*last != '\n');
  }
}

void writeAll(int fd, std::string_view bytes, bool newLine = false) {
  writeAll(fd, std::span<const std::string_view>(&bytes, 1), newLine);
}

std::atomic<int> errorDescriptor{STDERR_FILENO};

void reportEncodingFailure(const std::exception& error) {
  // No allocation: the failure may be the lack of memory itself.
  const std::string_view pieces[] = {"Failed to encode support recording event: ", error.what(), "\n"};
  writeAll(errorDescriptor.load(), pieces);
}

// The one JSON string encoding of encode(), with no allocation of its own:
// quotation mark, backslash and control characters escaped, the rest as is.
template <typename Out>
void putString(Out& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.put("\"");
  for (const char c : text) {
    switch (c) {
      case '"':
        out.put("\\\"");
        break;
      case '\\':
        out.put("\\\\");
        break;
      case '\b':
        out.put("\\b");
        break;
      case '\f':
        out.put("\\f");
        break;
      case '\n':
        out.put("\\n");
        break;
      case '\r':
        out.put("\\r");
        break;
      case '\t':
        out.put("\\t");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
          out.put({escape, sizeof escape});
        } else {
          out.put({&c, 1});
        }
    }
  }
  out.put("\"");
}

template <typename Out>
void putMember(Out& out, std::string_view key, const std::optional<std::string>& value) {
  if (!value) return;
  out.put(key);
  putString(out, *value);
}

// Collects a line in a buffer on the stack and writes it out in pieces when full.
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}
  void put(std::string_view text) {
    for (const char c : text) {
      if (used_ == sizeof buffer_) flush();
      buffer_[used_++] = c;
    }
  }
  void flush() {
    writeAll(fd_, std::string_view(buffer_, used_), !started_);
    started_ = true;
    used_ = 0;
  }

 private:
  int fd_;
  bool started_ = false;
  char buffer_[1024];
  std::size_t used_ = 0;
};

struct StringOut {
  std::string& text;
  void put(std::string_view piece) { text.append(piece); }
};

struct Utf8Sequence {
  std::size_t length;  // at least 1
  bool complete;       // false: the longest prefix of a broken sequence, or one stray byte
};

Utf8Sequence nextUtf8Sequence(std::string_view bytes, std::size_t i) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) {
    return {1, true};
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};
  }
  std::size_t valid = 1;
  while (valid < length && i + valid < bytes.size()) {
    const auto next = static_cast<unsigned char>(bytes[i + valid]);
    const unsigned char min = valid == 1 ? low : 0x80;
    const unsigned char max = valid == 1 ? high : 0xBF;
    if (next < min || next > max) break;
    ++valid;
  }
  return {valid, valid == length};
}

bool isUtf8(const std::optional<std::string>& text) {
  if (!text) return true;
  for (std::size_t i = 0; i < text->size();) {
    const auto sequence = nextUtf8Sequence(*text, i);
    if (!sequence.complete) return false;
    i += sequence.length;
  }
  return true;
}

// Where memory ran out while encoding: the same line, written without allocating.
bool emitWithoutAllocating(const SupportRecordingEvent& event) {
  if (!isUtf8(event.path) || !isUtf8(event.fileName) || !isUtf8(event.detail)) return false;
  const std::lock_guard lock(standardOutputMutex());
  beginLine();
  LineWriter out(STDOUT_FILENO);
  out.put("{\"status\":");
  putString(out, event.status);
  putMember(out, ",\"path\":", event.path);
  putMember(out, ",\"fileName\":", event.fileName);
  putMember(out, ",\"detail\":", event.detail);
  out.put("}\n");
  out.flush();
  endLine(isTerminal(event.status));
  return true;
}

// The location members of the last-resort line, `,"path":…,"fileName":…`.
// Each one made stays alive for good: a handler may still be writing an earlier one.
std::atomic<const std::string*> lastResortLocation{nullptr};
std::mutex lastResortMutex;  // guards lastResortLocations
std::vector<std::unique_ptr<const std::string>> lastResortLocations;

void writeLastResortLine(LastResortCause cause, bool afterBrokenLine = false) {
  // A line in flight that never ended may have left part of itself.
  if (afterBrokenLine) outputMidLine.store(true);
  const std::string* location = lastResortLocation.load();
  const std::string_view pieces[] = {
      "{\"status\":\"error\"", location ? std::string_view(*location) : std::string_view(), ",\"detail\":\"",
      cause == LastResortCause::outOfMemory ? kOutOfMemoryMessage : kUnexpectedStopMessage, "\"}\n"};
  writeAll(STDOUT_FILENO, pieces, true);
}

// An ordinary line, for a report that cannot be made for want of memory.
void emitLastResortLine() {
  const std::lock_guard lock(standardOutputMutex());
  beginLine();
  writeLastResortLine(LastResortCause::outOfMemory);
  endLine(true);
}

std::string encodeWithNlohmann(const SupportRecordingEvent& event) { return event.encode(); }

std::optional<std::string> optionalString(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

std::string SupportRecordingEvent::encode() const {
  Json object = Json::object();
  object["status"] = status;
  if (path) object["path"] = *path;
  if (fileName) object["fileName"] = *fileName;
  if (detail) object["detail"] = *detail;
  return object.dump();
}

SupportRecordingEvent SupportRecordingEvent::decode(std::string_view json) {
  const Json object = Json::parse(json);
  if (!object.is_object()) throw std::invalid_argument("a support recording event must be a JSON object");
  const auto status = object.find("status");
  if (status == object.end()) throw std::invalid_argument("a support recording event needs \"status\"");
  return SupportRecordingEvent{status->get<std::string>(), optionalString(object, "path"),
                               optionalString(object, "fileName"), optionalString(object, "detail")};
}

void emitEvent(const SupportRecordingEvent& event) noexcept {
  emitEventEncodedBy(event, &encodeWithNlohmann);
}

void emitEventEncodedBy(const SupportRecordingEvent& event,
                        std::string (*encode)(const SupportRecordingEvent&)) noexcept {
  std::string line;
  try {
    line = encode(event);
    line.push_back('\n');
  } catch (const std::bad_alloc& error) {
    if (!emitWithoutAllocating(event)) reportEncodingFailure(error);
    return;
  } catch (const std::exception& error) {
    reportEncodingFailure(error);
    return;
  }
  const std::lock_guard lock(standardOutputMutex());
  beginLine();
  writeAll(STDOUT_FILENO, line, true);
  std::fflush(stdout);
  endLine(isTerminal(event.status));
}

void setErrorDescriptor(int fd) noexcept { errorDescriptor.store(fd); }

void emitError(const std::string& message, const std::optional<std::string>& path,
               const std::optional<std::string>& fileName) noexcept {
  try {
    emitEvent(SupportRecordingEvent{"error", path, fileName, message});
  } catch (...) {
    // Only copying the texts can throw here (out of memory).
    emitLastResortLine();
  }
}

void emitError(const std::exception_ptr& error, const std::optional<std::string>& path,
               const std::optional<std::string>& fileName) noexcept {
  std::string message;
  try {
    message = localizedDescription(error);
  } catch (...) {
    emitLastResortLine();
    return;
  }
  emitError(message, path, fileName);
}

void prepareLastResortError(const std::string& path, const std::string& fileName) {
  auto location = std::make_unique<std::string>();
  StringOut out{*location};
  putMember(out, ",\"path\":", path);
  putMember(out, ",\"fileName\":", fileName);
  const std::lock_guard lock(lastResortMutex);
  lastResortLocations.reserve(lastResortLocations.size() + 1);
  lastResortLocation.store(location.get());
  lastResortLocations.push_back(std::move(location));
}

void emitLastResortError(LastResortCause cause) noexcept {
  const auto self = static_cast<pid_t>(::syscall(SYS_gettid));
  pid_t first = 0;
  if (!lastResortThread.compare_exchange_strong(first, self)) {
    if (first == self) return;  // re-entered: the outer call is ending the process
    for (;;) ::pause();
  }
  std::uint32_t state = outputGate.fetch_or(kClosed);
  // The line in flight is another thread's, unless a signal interrupted this one
  // in the middle of it: hence the deadline.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::int64_t deadline = now.tv_sec * 1'000'000'000LL + now.tv_nsec + 1'000'000'000LL;
  while (state & kWriting) {
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t left = deadline - (now.tv_sec * 1'000'000'000LL + now.tv_nsec);
    if (left <= 0) break;
    const timespec timeout{static_cast<time_t>(left / 1'000'000'000),
                           static_cast<long>(left % 1'000'000'000)};
    ::syscall(SYS_futex, gateWord(), FUTEX_WAIT_PRIVATE, state, &timeout, nullptr, 0);
    state = outputGate.load();
  }
  if (!(state & kTerminalOut)) writeLastResortLine(cause, state & kWriting);
}

std::string sanitizeUtf8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    // The maximal valid prefix of a broken sequence is replaced once, as decoders commonly do.
    const auto sequence = nextUtf8Sequence(bytes, i);
    if (sequence.complete) {
      out.append(bytes.substr(i, sequence.length));
    } else {
      out += kReplacement;
    }
    i += sequence.length;
  }
  return out;
}

}  // namespace quorvale::events
