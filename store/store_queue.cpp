#include "store/store_queue.h"

namespace store {
namespace {

// A checkpoint is asked for once the log holds this many pages (4 MB of 4 KB pages), and the writer
// copies the log itself past the backstop (should the other connection fail).
constexpr int kCheckpointFrames = 1000;
constexpr int kBackstopFrames = 25000;

}  // namespace

TStoreQueue::TStoreQueue(std::string path, int busyTimeoutMs, TFailureHandler onFailure, size_t depth)
    : FPath(std::move(path)),
      FBusyTimeoutMs(busyTimeoutMs),
      FOnFailure(std::move(onFailure)),
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
      if (store->WalFrames() >= kCheckpointFrames) {
        std::lock_guard<std::mutex> lock(FLock);
        FCheckpointWanted = true;
        FCheckpointChanged.notify_all();
      }
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
    {
      std::unique_lock<std::mutex> lock(FLock);
      FCheckpointChanged.wait(lock, [this] { return FCheckpointWanted || FCheckpointStop; });
      if (FCheckpointStop) break;
      FCheckpointWanted = false;
    }
    try {
      // Opened once the writer has made the file; should it fail, the writer copies the log itself.
      if (!checkpointer) checkpointer = std::make_unique<TWalCheckpointer>(FPath);
      checkpointer->Checkpoint();
    } catch (const EStoreError&) {
    }
  }
}

}  // namespace store
