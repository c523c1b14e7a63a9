#include "recorder/output_location.h"

#include "events/support_recording_event.h"

namespace quorvale::recorder {

OutputLocation OutputLocation::fromArgument(const std::string& argument) {
  std::filesystem::path url(argument);
  if (url.is_relative()) {
    std::error_code ignored;
    const auto cwd = std::filesystem::current_path(ignored);
    url = cwd / url;
  }
  // A file location has no trailing separator.
  std::string text = url.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  url = text;
  return OutputLocation{url, events::sanitizeUtf8(url.native()),
                        events::sanitizeUtf8(url.filename().native())};
}

std::filesystem::path OutputLocation::parentDirectory() const {
  return url.has_parent_path() ? url.parent_path() : url;
}

}  // namespace quorvale::recorder
