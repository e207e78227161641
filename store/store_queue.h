#pragma once
// The listings database on a thread of its own: a batch hands each converted cache's statements
// over and goes on to download the next page while they are applied, in the order given.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/listing_store.h"

namespace store {

class TStoreQueue {
 public:
  // Told about each cache whose statements could not be applied, on the queue's thread, with the
  // cache code and the EStoreError text (which names the file and gives SQLite's reason).
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

  // Queues one cache's statements (see TListingStore::Apply).
  void Push(std::string code, std::vector<std::string> statements);

  // Applies everything pushed, closes the database and stops the thread. Returns how many caches
  // failed. Nothing may be pushed afterwards.
  int Finish();

 private:
  struct TItem {
    std::string Code;
    std::vector<std::string> Statements;
  };
  void Run();
  // The second thread: copies the write-ahead log into the file when the writer asks, so that the
  // writer's commits never wait for the disk's syncs.
  void RunCheckpoints();
  // Asks for a checkpoint that sees every commit so far; returns its ticket.
  uint64_t AskForCheckpoint();
  void WaitForCheckpoint(uint64_t ticket);
  void StopCheckpoints();

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
  std::condition_variable FCheckpointChanged;
  uint64_t FCheckpointAsked = 0;   // guarded by FLock: tickets handed out
  uint64_t FCheckpointDone = 0;    // guarded by FLock: the last ticket served
  bool FCheckpointStop = false;    // guarded by FLock
  std::thread FCheckpointThread;
  std::thread FThread;
};

}  // namespace store
