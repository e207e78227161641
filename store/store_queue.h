#pragma once
// The listings database on a thread of its own: a batch hands each converted cache's rows over
// and goes on to download the next page while they are written, in the order given.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "listing/cache_rows.h"
#include "store/listing_store.h"

namespace store {

class TStoreQueue {
 public:
  // Told about each cache whose rows could not be written, on the queue's thread, with the cache
  // code and the EStoreError text (which names the file and gives SQLite's reason).
  using TFailureHandler = std::function<void(const std::string& code, const std::string& failure)>;
  // Told about each cache whose transaction has committed, on the queue's thread. Every cache
  // pushed is told about once, to one handler or the other, in the order pushed.
  using TCommitHandler = std::function<void(const std::string& code)>;

  // The database is opened on the queue's thread when the first cache arrives; one that cannot be
  // opened is tried again for the next. At most `depth` caches wait: Push blocks beyond that, so a
  // database slower than the downloads does not gather the whole batch in memory.
  TStoreQueue(std::string path, int busyTimeoutMs, TFailureHandler onFailure, TCommitHandler onCommitted = {},
              size_t depth = 16);
  // Finishes what was pushed.
  ~TStoreQueue();
  TStoreQueue(const TStoreQueue&) = delete;
  TStoreQueue& operator=(const TStoreQueue&) = delete;

  // Queues one cache's rows (see TListingStore::Apply).
  void Push(std::string code, listing::TCacheRows rows);

  // Writes everything pushed, closes the database and stops the thread. Returns how many caches
  // failed. Nothing may be pushed afterwards.
  int Finish();

 private:
  struct TItem {
    std::string Code;
    listing::TCacheRows Rows;
  };
  void Run();

  const std::string FPath;
  const int FBusyTimeoutMs;
  const TFailureHandler FOnFailure;
  const TCommitHandler FOnCommitted;
  const size_t FDepth;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::deque<TItem> FItems;  // guarded by FLock
  bool FFinishing = false;   // guarded by FLock
  int FFailures = 0;         // written by the thread, read after the join
  std::thread FThread;
};

}  // namespace store
