#include "platform/portal/token_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/pipeline/unique_fd.h"
#include "platform/platform_error.h"

namespace quorvale::platform::portal {
namespace {

namespace fs = std::filesystem;
using pipeline::UniqueFd;

// A token as the portal hands them out: short printable text.
bool plausibleToken(const std::string& token) {
  if (token.empty() || token.size() > 512) return false;
  for (const char c : token) {
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

nlohmann::json readAll(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return nlohmann::json::object();
  auto json = nlohmann::json::parse(in, nullptr, false);
  // A damaged file costs a picker, nothing more.
  if (json.is_discarded() || !json.is_object()) return nlohmann::json::object();
  return json;
}

void writeAll(int fd, const std::string& text, const fs::path& file) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0)
      throw systemError(errno, "Could not save the screen-sharing permission in " + file.string());
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace

TokenStore TokenStore::forParentProcess() {
  fs::path folder;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state == '/') {
    folder = state;
  } else {
    const char* home = std::getenv("HOME");
    folder = fs::path(home && *home ? home : "/") / ".local" / "state";
  }
  std::error_code error;
  auto executable = fs::read_symlink("/proc/" + std::to_string(::getppid()) + "/exe", error);
  // An application we cannot name gets a grant of its own kind, never another's.
  return TokenStore(folder / "quorvale_screen_recorder" / "screencast-tokens.json",
                    error ? std::string("unknown") : executable.string());
}

std::optional<std::string> TokenStore::load() const {
  const auto json = readAll(file_);
  const auto found = json.find(application_);
  if (found == json.end() || !found->is_string()) return std::nullopt;
  auto token = found->get<std::string>();
  if (!plausibleToken(token)) return std::nullopt;
  return token;
}

void TokenStore::save(const std::optional<std::string>& token) const {
  const fs::path folder = file_.parent_path();
  const auto fail = [&](int errorNumber) {
    return systemError(errorNumber, "Could not save the screen-sharing permission in " + file_.string());
  };
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw fail(error.value());
  if (::chmod(folder.c_str(), 0700) != 0) throw fail(errno);

  auto json = readAll(file_);
  if (token && plausibleToken(*token)) {
    json[application_] = *token;
  } else {
    json.erase(application_);
  }
  const std::string text = json.dump(2) + "\n";

  std::string temporary = (folder / ".screencast-tokens.XXXXXX").string();
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) throw fail(errno);
  try {
    if (::fchmod(fd.get(), 0600) != 0) throw fail(errno);
    writeAll(fd.get(), text, file_);
    if (::fsync(fd.get()) != 0) throw fail(errno);
    if (::rename(temporary.c_str(), file_.c_str()) != 0) throw fail(errno);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  // The rename itself reaches the disk with the folder.
  UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() >= 0) ::fsync(directory.get());
}

}  // namespace quorvale::platform::portal
