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

}  // namespace

std::pair<File, std::string> create_file_beside(const std::string& target, const char* ext) {
  const blob::TargetParts parts = blob::split_target(target);
  std::string base = parts.dir;
  if (base.back() != '/') base += '/';
  base += parts.name;
  File file;
  std::string path = first_free([&] { return base + numbered() + ext; },
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
  return first_free([&] { return base + numbered() + ".runs"; },
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
