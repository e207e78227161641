#include "store/store_queue.h"

#include <memory>

namespace store {

TStoreQueue::TStoreQueue(std::string path, int busyTimeoutMs, TFailureHandler onFailure, TCommitHandler onCommitted,
                         size_t depth)
    : FPath(std::move(path)),
      FBusyTimeoutMs(busyTimeoutMs),
      FOnFailure(std::move(onFailure)),
      FOnCommitted(std::move(onCommitted)),
      FDepth(depth == 0 ? 1 : depth),
      FThread([this] { Run(); }) {}

TStoreQueue::~TStoreQueue() { Finish(); }

void TStoreQueue::Push(std::string code, listing::TCacheRows rows) {
  std::unique_lock<std::mutex> lock(FLock);
  FChanged.wait(lock, [this] { return FItems.size() < FDepth; });
  FItems.push_back({std::move(code), std::move(rows)});
  FChanged.notify_all();
}

int TStoreQueue::Finish() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FFinishing = true;
    FChanged.notify_all();
  }
  if (FThread.joinable()) FThread.join();
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
      if (!store) store = std::make_unique<TListingStore>(FPath, FBusyTimeoutMs);
      store->Apply(item.Rows);
      if (FOnCommitted) FOnCommitted(item.Code);
    } catch (const std::exception& e) {
      ++FFailures;
      if (FOnFailure) FOnFailure(item.Code, e.what());
    }
  }
  // Closing checkpoints the write-ahead log into the file: part of the run, not left for later.
  store.reset();
}

}  // namespace store
