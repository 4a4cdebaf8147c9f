#include "scratch_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorvale::scratch {

std::atomic<std::uint64_t> SEQ{0};

namespace {

// ".{pid}.{seq}" with the counter's next value.
std::string numbered() {
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%ld.%llu", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(SEQ.fetch_add(1, std::memory_order_relaxed)));
  return suffix;
}

// Tries names from `name_of()` until `create(name)` makes one (true) or
// fails otherwise (false, errno set); a taken name costs an attempt.
template <class Name, class Create>
std::string first_free(Name&& name_of, Create&& create) {
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    std::string name = name_of();
    if (create(name)) return name;
    if (errno != EEXIST) throw IndexError::last_os();
  }
  throw IndexError::io_kind(IoKind::AlreadyExists);
}

// `dir` (ending in a separator) and `name` cut to leave room for `suffix`.
std::string fitted(const std::string& dir, std::string_view name, std::size_t limit, const std::string& suffix) {
  std::string path = dir;
  path += fit_stem(name, suffix.size(), limit);
  path += suffix;
  return path;
}

}  // namespace

std::size_t name_max(const std::string& dir) {
  const long limit = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

std::string_view fit_stem(std::string_view stem, std::size_t suffix, std::size_t limit) noexcept {
  if (stem.size() + suffix <= limit) return stem;
  const std::size_t room = suffix < limit ? limit - suffix : 0;
  auto continues = [&](std::size_t at) { return (static_cast<unsigned char>(stem[at]) & 0xC0) == 0x80; };
  // Back to the first byte of the sequence the cut would split: at most
  // three continuation bytes (more are no UTF-8, cut where they fall).
  std::size_t keep = room;
  while (keep > 0 && room - keep < 3 && continues(keep)) --keep;
  return stem.substr(0, continues(keep) ? room : keep);
}

std::pair<File, std::string> create_file_beside(const std::string& target, const char* ext) {
  const blob::TargetParts parts = blob::split_target(target);
  std::string dir = parts.dir;
  const std::size_t limit = name_max(dir);
  if (dir.back() != '/') dir += '/';
  File file;
  std::string path = first_free([&] { return fitted(dir, parts.name, limit, numbered() + ext); },
                                [&](const std::string& name) {
                                  int fd;
                                  do fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                                  while (fd < 0 && errno == EINTR);
                                  if (fd >= 0) file = File(fd);
                                  return fd >= 0;
                                });
  return {std::move(file), std::move(path)};
}

std::string make_dir(const std::string& base) {
  const std::size_t slash = base.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : base.substr(0, slash + 1);
  const std::string_view name = std::string_view(base).substr(dir.size());
  const std::size_t limit = name_max(dir.empty() ? "." : dir);
  return first_free([&] { return fitted(dir, name, limit, numbered() + ".runs"); },
                    [](const std::string& name) {
                      int rc;
                      do rc = ::mkdir(name.c_str(), 0777);
                      while (rc != 0 && errno == EINTR);
                      return rc == 0;
                    });
}

void remove_tree(const std::string& dir) noexcept {
  if (DIR* d = ::opendir(dir.c_str())) {
    int dfd = ::dirfd(d);
    while (struct dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      ::unlinkat(dfd, e->d_name, 0);
    }
    ::closedir(d);
  }
  ::rmdir(dir.c_str());
}

const std::string& Dir::path() {
  if (!path_) path_ = make_dir(base_);
  return *path_;
}

void Dir::remove() noexcept {
  if (path_) remove_tree(*path_);
  path_.reset();
}

}  // namespace quorvale::scratch
