#pragma once

#include <filesystem>
#include <string>

namespace quorvale::recorder {

// Where the movie goes: the raw path for file-system calls, and the texts that
// events carry (invalid UTF-8 replaced, so they can always be reported).
struct OutputLocation {
  std::filesystem::path file;
  std::string path;
  std::string fileName;

  // Relative paths are taken against the current working directory.
  static OutputLocation fromArgument(const std::string& argument);
  std::filesystem::path parentDirectory() const;
};

}  // namespace quorvale::recorder
