#include "recorder/output_location.h"

#include "events/support_recording_event.h"

namespace quorvale::recorder {

OutputLocation OutputLocation::fromArgument(const std::string& argument) {
  std::filesystem::path file(argument);
  if (file.is_relative()) {
    std::error_code ignored;
    const auto cwd = std::filesystem::current_path(ignored);
    file = cwd / file;
  }
  // A file location has no trailing separator.
  std::string text = file.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  file = text;
  return OutputLocation{file, events::sanitizeUtf8(file.native()),
                        events::sanitizeUtf8(file.filename().native())};
}

std::filesystem::path OutputLocation::parentDirectory() const {
  return file.has_parent_path() ? file.parent_path() : file;
}

}  // namespace quorvale::recorder
