#include "store/store_queue.h"

#include <chrono>

namespace store {
namespace {

// A checkpoint is asked for after every commit once the log holds this many pages (4 MB of 4 KB
// pages), and the writer copies the log itself past the backstop (should the other connection
// fail).
constexpr int kCheckpointFrames = 1000;
constexpr int kBackstopFrames = 25000;
// The log starts over only when a transaction begins with every page of it copied, which a
// checkpoint running beside the writer never sees: once the log holds this many pages the writer
// waits for one checkpoint to copy all of it. A log that grew with the whole batch would be
// written to new blocks all the time and take long to remove at the end.
constexpr int kRestartFrames = 4096;
// How long the writer waits for that checkpoint; it goes on regardless.
constexpr auto kRestartWait = std::chrono::seconds(5);

}  // namespace

TStoreQueue::TStoreQueue(std::string path, int busyTimeoutMs, TFailureHandler onFailure, TCommitHandler onCommitted,
                         size_t depth)
    : FPath(std::move(path)),
      FBusyTimeoutMs(busyTimeoutMs),
      FOnFailure(std::move(onFailure)),
      FOnCommitted(std::move(onCommitted)),
      FDepth(depth == 0 ? 1 : depth),
      FCheckpointThread([this] { RunCheckpoints(); }),
      FThread([this] { Run(); }) {}

TStoreQueue::~TStoreQueue() { Finish(); }

void TStoreQueue::Push(std::string code, std::vector<std::string> statements) {
  std::unique_lock<std::mutex> lock(FLock);
  FChanged.wait(lock, [this] { return FItems.size() < FDepth; });
  FItems.push_back({std::move(code), std::move(statements)});
  FChanged.notify_all();
}

int TStoreQueue::Finish() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FFinishing = true;
    FChanged.notify_all();
  }
  if (FThread.joinable()) FThread.join();  // it stops the checkpoints before it ends
  return FFailures;
}

void TStoreQueue::Run() {
  std::unique_ptr<TListingStore> store;
  int restartAt = kRestartFrames;
  for (;;) {
    TItem item;
    {
      std::unique_lock<std::mutex> lock(FLock);
      FChanged.wait(lock, [this] { return !FItems.empty() || FFinishing; });
      if (FItems.empty()) break;
      item = std::move(FItems.front());
      FItems.pop_front();
      FChanged.notify_all();  // room for the next Push
    }
    try {
      if (!store) {
        store = std::make_unique<TListingStore>(FPath, FBusyTimeoutMs);
        store->LeaveCheckpointsToOthers(kBackstopFrames);
      }
      store->Apply(item.Statements);
      const int frames = store->WalFrames();
      if (frames >= restartAt) {
        WaitForCheckpoint(AskForCheckpoint());
        // A reader still on an old snapshot keeps the log from starting over: not every commit
        // waits for it then.
        restartAt = frames + kRestartFrames;
      } else if (frames >= kCheckpointFrames) {
        AskForCheckpoint();
      }
      if (frames < kRestartFrames) restartAt = kRestartFrames;
      if (FOnCommitted) FOnCommitted(item.Code);
    } catch (const std::exception& e) {
      ++FFailures;
      if (FOnFailure) FOnFailure(item.Code, e.what());
    }
  }
  // Closing checkpoints the write-ahead log into the file: part of the run, not left for later.
  // The other connection goes first, so that this one is the last and removes the log.
  StopCheckpoints();
  store.reset();
}

uint64_t TStoreQueue::AskForCheckpoint() {
  std::lock_guard<std::mutex> lock(FLock);
  FCheckpointChanged.notify_all();
  return ++FCheckpointAsked;
}

void TStoreQueue::WaitForCheckpoint(uint64_t ticket) {
  std::unique_lock<std::mutex> lock(FLock);
  FCheckpointChanged.wait_for(lock, kRestartWait, [&] { return FCheckpointDone >= ticket || FCheckpointStop; });
}

void TStoreQueue::StopCheckpoints() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FCheckpointStop = true;
    FCheckpointChanged.notify_all();
  }
  if (FCheckpointThread.joinable()) FCheckpointThread.join();
}

void TStoreQueue::RunCheckpoints() {
  std::unique_ptr<TWalCheckpointer> checkpointer;
  for (;;) {
    uint64_t serving = 0;
    {
      std::unique_lock<std::mutex> lock(FLock);
      FCheckpointChanged.wait(lock, [this] { return FCheckpointAsked > FCheckpointDone || FCheckpointStop; });
      if (FCheckpointStop) break;
      serving = FCheckpointAsked;  // one checkpoint serves every ticket handed out so far
    }
    try {
      // Opened once the writer has made the file; should it fail, the writer copies the log itself.
      if (!checkpointer) checkpointer = std::make_unique<TWalCheckpointer>(FPath);
      checkpointer->Checkpoint();
    } catch (const EStoreError&) {
    }
    std::lock_guard<std::mutex> lock(FLock);
    FCheckpointDone = serving;
    FCheckpointChanged.notify_all();
  }
}

}  // namespace store
