#include "runtime/file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace runtime {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int err) {
  throw EFileError(what + " " + path + ": " + std::strerror(err));
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::atomic<bool> gDeferFlushes{false};
std::atomic<bool> gFailFlushes{false};  // test seam
std::mutex gDeferredLock;
std::set<std::string> gDeferredFolders;  // folders of files written while deferred

// While flushes are deferred, a file that replaces an existing one is written into a spare file
// and exchanged with it; the old file becomes the spare for the next write in that folder. A new
// file per write would make the file system allocate one inode and free another every time
// (freshly freed inodes slow every later file creation in the folder down, and removing a file
// waits on a busy disk), and a rename over an existing file makes some file systems (ext4) write
// the new file out at once, for programs that never flush: both stall a batch behind the disk
// for what its one flush at the end does anyway. Guarded by gDeferredLock.
std::map<std::string, std::string> gSpareIn;  // folder -> a spare file in it

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void DeferFlushes(bool deferred) { gDeferFlushes = deferred; }

bool FlushDeferredWrites() {
  std::set<std::string> folders;
  std::map<std::string, std::string> spares;
  {
    std::lock_guard<std::mutex> hold(gDeferredLock);
    folders.swap(gDeferredFolders);
    spares.swap(gSpareIn);
  }
  for (const auto& [folder, spare] : spares) ::unlink(spare.c_str());
  bool ok = true;
  for (const std::string& folder : folders) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // One flush per file system: it covers every file and rename written there.
    if (fd < 0 || ::syncfs(fd) != 0) ok = false;
    if (fd >= 0) ::close(fd);
  }
  return ok && !gFailFlushes;
}

void FailDeferredFlushesForTesting(bool fail) { gFailFlushes = fail; }

std::string ReadWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("Cannot open file", path, errno);
  std::string data;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      Fail("Cannot read file", path, err);
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

// Writes `bytes` into the spare of the folder of `path` (made on the first call) and exchanges
// the two names; false (nothing changed at `path`) when that cannot be done.
bool ReplaceThroughSpare(const std::string& path, std::string_view bytes, mode_t mode) {
  const std::string folder = FolderOf(path);
  std::string spare;
  {
    std::lock_guard<std::mutex> hold(gDeferredLock);
    auto it = gSpareIn.find(folder);
    if (it != gSpareIn.end()) {
      spare = it->second;
      gSpareIn.erase(it);
    }
  }
  int fd = -1;
  if (spare.empty()) {
    spare = path + ".XXXXXX";
    fd = ::mkstemp(spare.data());
  } else {
    fd = ::open(spare.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) return false;
  // Written over and cut to length, never emptied first: some file systems push a file cut to
  // nothing out to the disk when it is closed.
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes.data(), bytes.size()) &&
            ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    // The old file is the next spare, unless it is not a file of its own: one with another name
    // elsewhere must not be written over.
    struct stat old {};
    if (::lstat(spare.c_str(), &old) == 0 && S_ISREG(old.st_mode) && old.st_nlink == 1) {
      std::lock_guard<std::mutex> hold(gDeferredLock);
      gSpareIn[folder] = spare;
    } else {
      ::unlink(spare.c_str());
    }
    return true;
  }
  ::unlink(spare.c_str());
  return false;
}

void WriteFileAtomic(const std::string& path, std::string_view bytes, mode_t mode, bool durable) {
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists) {
    if (S_ISDIR(st.st_mode)) Fail("Cannot create file", path, EISDIR);
    mode = st.st_mode & 07777;
  }
  if (durable && gDeferFlushes) {
    durable = false;
    {
      std::lock_guard<std::mutex> hold(gDeferredLock);
      gDeferredFolders.insert(FolderOf(path));
    }
    // Only a plain file: a link is replaced by a file, as a rename does.
    struct stat own {};
    if (exists && ::lstat(path.c_str(), &own) == 0 && S_ISREG(own.st_mode) && ReplaceThroughSpare(path, bytes, mode))
      return;
  }
  std::string tmp = path + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) Fail("Cannot create file", path, errno);
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes.data(), bytes.size()) &&
            (!durable || ::fsync(fd) == 0);
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    Fail("Cannot write file", path, err);
  }
}

void OverwriteFile(const std::string& path, std::string_view bytes, mode_t mode) {
  // Not blocking: a pipe in the file's place must not stall the program until someone reads it.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) {
    // A link, or a pipe nobody reads: replaced by a plain file, as before.
    if (errno == ELOOP || errno == ENXIO) return WriteFileAtomic(path, bytes, mode, false);
    Fail("Cannot create file", path, errno);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    return WriteFileAtomic(path, bytes, mode, false);
  }
  // Written over the old bytes and cut afterwards, never emptied first: a file cut to nothing
  // and rewritten is pushed out to the disk by some file systems when it is closed.
  bool ok = WriteAll(fd, bytes.data(), bytes.size()) && ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  // A half-written copy must not be read later as a whole page: what failed is not kept.
  if (!ok) {
    ::unlink(path.c_str());
    Fail("Cannot write file", path, err);
  }
}

bool EnsureDirectory(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !EnsureDirectory(trimmed.substr(0, slash), mode)) return false;
  return ::mkdir(trimmed.c_str(), mode) == 0 || errno == EEXIST;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace runtime
