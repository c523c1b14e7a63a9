#pragma once

// The screen-sharing grants the desktop gave us: one restore token per
// application, kept so that later recordings start without the picker. State
// the desktop's permission needs, not settings: nothing else is read from it.
// Threading: any thread; each call reads or replaces the file whole.

#include <filesystem>
#include <optional>
#include <string>

namespace quorvale::platform::portal {

class TokenStore {
 public:
  // file: where the tokens live; application: whose token this store reads and writes.
  TokenStore(std::filesystem::path file, std::string application)
      : file_(std::move(file)), application_(std::move(application)) {}

  // $XDG_STATE_HOME/quorvale_screen_recorder/ (else ~/.local/state/...), keyed
  // by the executable of the process that started us.
  static TokenStore forParentProcess();

  // The application's token, if one was saved and the file can be read.
  std::optional<std::string> load() const;
  // Replaces the application's token (none: removes it). Written atomically,
  // the folder 0700 and the file 0600. Throws PlatformError when it cannot be.
  void save(const std::optional<std::string>& token) const;

  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
  std::string application_;
};

}  // namespace quorvale::platform::portal
