#pragma once
// The captures the window benchmarks read, and the runtime folder their child processes'
// Qt wants: each benchmark's main starts with these.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <system_error>

#include <unistd.h>

namespace bench {

// $CAPTURES, or the build's captures folder.
inline std::filesystem::path CapturesFolder() {
  const char* env = std::getenv("CAPTURES");
  return env && *env ? std::filesystem::path(env) : std::filesystem::path(ORRISVANE_CAPTURES_DIR);
}

// Runs make-captures (beside this program) into the captures folder when one of files is
// missing; false, said on stderr, when the first is still missing afterwards.
inline bool EnsureCaptures(const char* program, std::initializer_list<std::filesystem::path> files) {
  bool missing = false;
  for (const std::filesystem::path& file : files) missing = missing || !std::filesystem::exists(file);
  if (!missing) return true;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  std::string make = "'";
  make.append((self.parent_path() / "make-captures").string()).append("' '").append(CapturesFolder().string()).append("'");
  const std::filesystem::path& first = *files.begin();
  if (std::system(make.c_str()) != 0 || !std::filesystem::exists(first)) {
    std::fprintf(stderr, "%s: no %s and make-captures failed\n", program, first.c_str());
    return false;
  }
  return true;
}

// Without XDG_RUNTIME_DIR, a folder of its own for the run's children, removed at the end.
class OwnRuntimeFolder {
 public:
  explicit OwnRuntimeFolder(const char* program) {
    if (std::getenv("XDG_RUNTIME_DIR")) return;
    const std::string pattern = "/tmp/" + std::string(program) + ".XXXXXX";
    path_.assign(pattern.begin(), pattern.end());
    path_.push_back('\0');
    if (::mkdtemp(path_.data()) == nullptr) {
      path_.clear();
      return;
    }
    setenv("XDG_RUNTIME_DIR", path_.data(), 1);
  }
  ~OwnRuntimeFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_.data(), ec);
  }
  OwnRuntimeFolder(const OwnRuntimeFolder&) = delete;
  OwnRuntimeFolder& operator=(const OwnRuntimeFolder&) = delete;

 private:
  std::string path_;  // with its terminating zero; empty: none made
};

}  // namespace bench
