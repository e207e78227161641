#include "app/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace app {

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
    FFailure = error == EWOULDBLOCK ? "another tamvirel run is using the data folder " + folder
                                    : "cannot lock the data folder " + folder + ": " + std::strerror(error);
    return false;
  }
  FFd = fd;
  return true;
}

}  // namespace app
