// Scratch files and directories beside a build's output, and the one
// counter their names take a number from: the atomic writer's temporary
// files, the perfect-hash spill file, the spill directories of the external
// sort and of the keyless builds. Names carry the process id and the
// counter's next value, so no two writers in one process or across
// processes meet; a name that exists anyway (left by a dead process that had
// our id) is skipped, never reused, whatever kind of name it is.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "blob.hpp"

namespace quorvale::scratch {

// Taken once for every name tried, by every kind of scratch name; only
// uniqueness matters (relaxed).
extern std::atomic<std::uint64_t> SEQ;

// Names tried before a creation gives up with "entity already exists".
inline constexpr int ATTEMPTS = 128;

// A new file beside `target`, in its directory, named after its file name
// ("index" when the path ends in none) followed by ".{pid}.{seq}{ext}",
// created exclusively for reading and writing with mode 0666 before the
// umask. Returns the file and its path.
std::pair<File, std::string> create_file_beside(const std::string& target, const char* ext);

// A new directory named `base` followed by ".{pid}.{seq}.runs" (the path's
// text as it stands: its parent must exist), mode 0777 before the umask.
std::string make_dir(const std::string& base);

// Removes a scratch directory and the files in it (one level: scratch
// directories hold no subdirectory); every error is ignored.
void remove_tree(const std::string& dir) noexcept;

// The scratch directory of one build, named after `base`: made at its first
// use, removed with everything in it when its owner goes (or by remove()).
class Dir {
 public:
  explicit Dir(std::string base) : base_(std::move(base)) {}
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  ~Dir() { remove(); }

  // The directory, made on the first call; a failure leaves none made.
  const std::string& path();
  // The directory, absent until made.
  const std::optional<std::string>& made() const noexcept { return path_; }
  // `name` inside the directory (made first).
  std::string file(const std::string& name) { return path() + "/" + name; }
  void remove() noexcept;

 private:
  std::string base_;
  std::optional<std::string> path_;
};

}  // namespace quorvale::scratch
