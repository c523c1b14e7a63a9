#include "events/support_recording_event.h"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

namespace quorvale::events {

namespace {

using Json = nlohmann::ordered_json;

// Serialises whole lines: a write larger than the pipe's atomic size could
// otherwise interleave with another thread's line.
std::mutex& standardOutputMutex() {
  static std::mutex mutex;
  return mutex;
}

// A failed write (the parent closed its end) drops the rest of the line.
void writeAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

std::atomic<int> errorDescriptor{STDERR_FILENO};

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
  std::string line;
  try {
    line = event.encode();
    line.push_back('\n');
  } catch (const std::exception& error) {
    // No allocation: the failure may be the lack of memory itself.
    static constexpr std::string_view kPrefix = "Failed to encode support recording event: ";
    const std::string_view what = error.what();
    const iovec parts[] = {{const_cast<char*>(kPrefix.data()), kPrefix.size()},
                           {const_cast<char*>(what.data()), what.size()},
                           {const_cast<char*>("\n"), 1}};
    [[maybe_unused]] const auto written = ::writev(errorDescriptor.load(), parts, 3);
    return;
  }
  const std::lock_guard lock(standardOutputMutex());
  writeAll(STDOUT_FILENO, line);
  std::fflush(stdout);
}

void setErrorDescriptor(int fd) noexcept { errorDescriptor.store(fd); }

void emitError(const std::string& message, const std::optional<std::string>& path,
               const std::optional<std::string>& fileName) noexcept {
  try {
    emitEvent(SupportRecordingEvent{"error", path, fileName, message});
  } catch (...) {
    // Only copying the texts can throw here (out of memory); the event is lost as an encoding failure would
    // be.
  }
}

std::string sanitizeUtf8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      length = 1;
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
    }
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    // Replace the maximal valid prefix of a broken sequence once, as decoders commonly do.
    std::size_t valid = 1;
    while (valid < length && i + valid < bytes.size()) {
      const auto next = static_cast<unsigned char>(bytes[i + valid]);
      const unsigned char min = valid == 1 ? low : 0x80;
      const unsigned char max = valid == 1 ? high : 0xBF;
      if (next < min || next > max) break;
      ++valid;
    }
    if (valid == length) {
      out.append(bytes.substr(i, length));
    } else {
      out += kReplacement;
    }
    i += valid;
  }
  return out;
}

}  // namespace quorvale::events
