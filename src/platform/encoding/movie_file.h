#pragma once

// The movie's file on disk: created exclusively, never through a symbolic link,
// flushed to disk when finished, and removed only while it is still the file made here.
// Threading: one thread at a time (the stream's writer thread, or its start).

#include <filesystem>

#include "platform/pipeline/unique_fd.h"

namespace quorvale::platform::encoding {

class MovieFile {
 public:
  // Throws PlatformError when the file cannot be made (it exists, say).
  explicit MovieFile(std::filesystem::path path);

  int fd() const { return fd_.get(); }
  const std::filesystem::path& path() const { return path_; }

  // Flushes to disk and closes. Throws when that fails or the file was deleted meanwhile.
  void close();

  // Removes the file if its path still names it, then closes; 0 or an errno. Once closed, nothing.
  int remove() noexcept;

 private:
  std::filesystem::path path_;
  pipeline::UniqueFd fd_;
};

// Whether path names the open file fd (same device and inode); an errno in error when it
// cannot be looked at. Asked with fd open: a closed file's inode number may name a new one.
bool namesOpenFile(const std::filesystem::path& path, int fd, int& error) noexcept;

}  // namespace quorvale::platform::encoding
