#include "app/folder_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace app {
namespace {

// "<name>.XXXXXX" as mkstemp makes it, beside a settings or SQL file.
bool IsLeftoverCopy(const std::string& name) {
  const size_t dot = name.size() >= 7 ? name.size() - 7 : std::string::npos;
  if (dot == std::string::npos || name[dot] != '.') return false;
  for (size_t i = dot + 1; i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  const std::string base = name.substr(0, dot);
  return base == "rovkast.ini" || (base.size() > 4 && base.ends_with(".sql"));
}

// Removes the leftover copies in `folder`: one of them holds the scrambled password.
void RemoveLeftoverCopies(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir))
    if (entry->d_type == DT_REG && IsLeftoverCopy(entry->d_name)) ::unlinkat(::dirfd(dir), entry->d_name, 0);
  ::closedir(dir);
}

}  // namespace

TFolderLock::~TFolderLock() {
  if (FFd >= 0) ::close(FFd);  // closing releases the lock
}

bool TFolderLock::Acquire(const std::string& folder) {
  const std::string file = folder + kLockFileName;
  // Never truncated or written: the lock is the whole point of the file.
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    FFailure = "cannot open the lock file " + file + ": " + std::strerror(errno);
    return false;
  }
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    ::close(fd);
    FFailure = error == EWOULDBLOCK ? "another tamvirel run is using the data folder " + folder +
                                          "; wait for it to end, or close its window, then try again"
                                    : "cannot lock the data folder " + folder + ": " + std::strerror(error);
    return false;
  }
  FFd = fd;
  RemoveLeftoverCopies(folder);
  RemoveLeftoverCopies(folder + "tmp/");
  return true;
}

}  // namespace app
