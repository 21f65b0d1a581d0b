#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "names_store_internal.h"

namespace zok::names {
namespace {

constexpr std::string_view default_state_directory = "/var/lib/zok";
constexpr std::string_view names_file = "/names";
// The lock lives in a file of its own: a lock on the names file itself would
// be held on an inode that the rename unlinks, and the next writer would
// lock the new inode while the first still works on the old one.
constexpr std::string_view lock_file = "/names.lock";
constexpr std::string_view temporary_prefix = ".names.";
constexpr std::string_view temporary_template = "/.names.XXXXXX";
constexpr mode_t directory_mode = 0755;
// Names are not secret: any user may read them, only the owner may change.
constexpr mode_t file_mode = 0644;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // close() reports write-back errors on some file systems, so the writer
  // checks it instead of leaving it to the destructor.
  int close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

int make_directories(const std::string &path) {
  // Each prefix ending before a '/' is created in turn, then the whole path.
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), directory_mode) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return errno;
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

int read_file(const std::string &path, std::string &text) {
  // Non-blocking so that a FIFO planted at the path cannot hang the caller.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return errno;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return EIO;
  text.clear();
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    text.append(chunk, static_cast<std::size_t>(got));
  }
}

int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return errno;
    text.remove_prefix(static_cast<std::size_t>(put));
  }
  return 0;
}

int lock_exclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Appending instead of operator+ keeps GCC 12 at -O3 from a false
// -Wrestrict warning on the concatenation.
std::string path_in(const std::string &directory, std::string_view name) {
  std::string path;
  path.reserve(directory.size() + name.size());
  path.append(directory).append(name);
  return path;
}

// Write a temporary file beside the old one, get it onto the disk, then
// rename it over the old one: a crash at any point leaves either the old
// file or the new one, whole.
int replace_file(const std::string &directory, std::string_view text) {
  std::string temporary = path_in(directory, temporary_template);
  Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) return errno;
  int error = ::fchmod(fd.get(), file_mode) == 0 ? 0 : errno;
  if (error == 0) error = write_all(fd.get(), text);
  if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
  if (const int closed = fd.close(); error == 0) error = closed;
  const std::string target = path_in(directory, names_file);
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  // The rename itself is durable only once the directory is synced; the
  // update already took effect, so a failure here is not reported.
  Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return 0;
}

// Temporary files are only made under the lock, so any found while holding
// it were left by a writer that died before its rename.
void remove_leftovers(const std::string &directory) {
  DIR *listing = ::opendir(directory.c_str());
  if (listing == nullptr) return;
  while (const dirent *entry = ::readdir(listing)) {
    if (std::string_view(entry->d_name).starts_with(temporary_prefix))
      ::unlinkat(::dirfd(listing), entry->d_name, 0);
  }
  ::closedir(listing);
}

}  // namespace

std::string state_directory() {
  const char *configured = std::getenv("ZOK_STATE_DIR");
  if (configured != nullptr && configured[0] != '\0') return configured;
  return std::string(default_state_directory);
}

int read_names(const std::string &directory, NameTable &names) {
  std::string text;
  const int error = read_file(path_in(directory, names_file), text);
  if (error == ENOENT || error == ENOTDIR) {
    names.clear();
    return 0;
  }
  if (error != 0) return error;
  names = parse_names(text).names;
  return 0;
}

int update_names(const std::string &directory, const std::function<void(NameTable &)> &edit) {
  if (const int error = make_directories(directory); error != 0) return error;
  const std::string lock_path = path_in(directory, lock_file);
  Descriptor lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, file_mode));
  if (!lock.valid()) return errno;
  if (const int error = lock_exclusive(lock.get()); error != 0) return error;
  remove_leftovers(directory);

  NameTable names;
  if (const int error = read_names(directory, names); error != 0) return error;
  edit(names);
  // The lock goes with the descriptor, after the rename.
  return replace_file(directory, serialise_names(names));
}

}  // namespace zok::names
