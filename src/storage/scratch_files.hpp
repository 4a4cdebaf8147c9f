// Scratch files and directories beside a build's output, and the one
// counter their names take a number from: the atomic writer's temporary
// files, the perfect-hash spill file, the spill directories of the external
// sort and of the keyless builds. Names carry the process id and the
// counter's next value, so no two writers in one process or across
// processes meet; a name that exists anyway (left by a dead process that had
// our id) is skipped, never reused, whatever kind of name it is.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "blob.hpp"

namespace quorvale::scratch {

// Taken once for every name tried, by every kind of scratch name; only
// uniqueness matters (relaxed).
extern std::atomic<std::uint64_t> SEQ;

// Names tried before a creation gives up with "entity already exists".
inline constexpr int ATTEMPTS = 128;

// The longest suffix a scratch name adds to its stem: ".{pid}.{seq}" at
// their widest (an int and a u64 in decimal) and the longest extension.
inline constexpr std::size_t SUFFIX_MAX = 1 + 10 + 1 + 20 + 6;

// The longest file name `dir` takes (its _PC_NAME_MAX; 255 when the system
// cannot say).
std::size_t name_max(const std::string& dir);

// `stem` cut short, never inside a UTF-8 sequence, so that `suffix` more
// bytes still make a name of at most `limit` bytes; the whole stem when it
// fits. Every legal target name thus has scratch names of its own: the
// suffix (process id, counter, extension) is what keeps them apart, so it
// is the stem that gives way.
std::string_view fit_stem(std::string_view stem, std::size_t suffix, std::size_t limit) noexcept;

// A new file beside `target`, in its directory, named after its file name
// ("index" when the path ends in none) followed by ".{pid}.{seq}{ext}",
// created exclusively for reading and writing with mode 0666 before the
// umask; the name is cut short by fit_stem where it would be too long for
// the directory. Returns the file and its path.
std::pair<File, std::string> create_file_beside(const std::string& target, const char* ext);

// A new directory named `base` followed by ".{pid}.{seq}.runs" (the path's
// text as it stands: its parent must exist; its last component cut short
// as a file's name is), mode 0777 before the umask.
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
