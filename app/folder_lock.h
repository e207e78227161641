#pragma once
// One run at a time on a data folder: runs that download or sign in share tmp/htmlcopy.htm
// (rewritten in place) and rewrite rovkast.ini, so each holds an exclusive advisory lock on a
// lock file beside the settings file for as long as it runs. Converting saved pages touches
// neither and takes no lock.

#include <string>

namespace app {

inline constexpr const char* kLockFileName = "rovkast.lock";

class TFolderLock {
 public:
  TFolderLock() = default;
  ~TFolderLock();
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;

  // Takes the lock of `folder` (ending in "/") without waiting. False when another process
  // holds it or the lock file cannot be opened; Failure() then says why, in English, and what
  // to do. Once it is taken, the copies a run that ended abruptly left beside the settings file
  // and the SQL files (see runtime::DeferFlushes) are removed: no other run can be using them.
  bool Acquire(const std::string& folder);
  const std::string& Failure() const { return FFailure; }

 private:
  int FFd = -1;
  std::string FFailure;
};

}  // namespace app
