#include "platform/encoding/movie_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform_error.h"

namespace quorvale::platform::encoding {

MovieFile::MovieFile(std::filesystem::path path) : path_(std::move(path)) {
  const int raw = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (raw < 0) throw systemError(errno, "Could not create the movie file " + path_.string());
  fd_ = pipeline::UniqueFd(raw);
}

void MovieFile::close() {
  const std::string context = "Could not write the movie file " + path_.string();
  if (::fsync(fd_.get()) != 0) throw systemError(errno, context);
  // A movie unlinked while it was written (its folder removed, say) is gone:
  // finishing must not pass for success.
  struct stat info {};
  if (::fstat(fd_.get(), &info) == 0 && info.st_nlink == 0) {
    throw systemError(ENOENT, "The movie file " + path_.string() + " was deleted during the recording");
  }
  if (::close(fd_.release()) != 0) throw systemError(errno, context);
}

int MovieFile::remove() noexcept {
  if (fd_.get() < 0) return 0;
  int error = 0;
  if (namesOpenFile(path_, fd_.get(), error) && ::unlink(path_.c_str()) != 0 && errno != ENOENT)
    error = errno;
  fd_ = pipeline::UniqueFd();
  return error == ENOENT ? 0 : error;
}

bool namesOpenFile(const std::filesystem::path& path, int fd, int& error) noexcept {
  struct stat open {
  }, named{};
  if (::fstat(fd, &open) != 0 || ::lstat(path.c_str(), &named) != 0) {
    error = errno;
    return false;
  }
  return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace quorvale::platform::encoding
