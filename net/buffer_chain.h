#pragma once
// The send-buffer chain: whatever a socket is asked to send is copied into fixed-size blocks
// and written to the network as far as the platform takes it. Emptied blocks are kept on a
// free list and reused, so a steady transfer allocates nothing.

#include <memory>
#include <mutex>

namespace net {

constexpr int kDefaultBlockSize = 1460;

// One block. Invariant: 0 <= ReadCount() <= WriteCount() <= Size(); when everything written
// has been read both counts go back to 0 so the block is reused from its start.
class TNetBuffer {
 public:
  // A size of 0 or less means kDefaultBlockSize.
  explicit TNetBuffer(int size);
  TNetBuffer(const TNetBuffer&) = delete;
  TNetBuffer& operator=(const TNetBuffer&) = delete;

  // Copies min(length, free space) bytes from source + offset; returns the count copied.
  int Write(const void* source, int offset, int length);
  // Points `data` at the first unsent byte; returns the unsent count (0: data is null).
  int Peek(const char** data) const;
  // Marks up to `count` unsent bytes as taken; returns the count removed.
  int Remove(int count);
  int UnsentCount() const { return FWriteCount - FReadCount; }

  int Size() const { return FSize; }
  int WriteCount() const { return FWriteCount; }
  int ReadCount() const { return FReadCount; }
  void Reset() { FWriteCount = FReadCount = 0; }

  TNetBuffer* Next = nullptr;
  TNetBuffer* Prev = nullptr;

 private:
  std::unique_ptr<char[]> FMemory;
  int FSize;
  int FWriteCount = 0;
  int FReadCount = 0;
};

// A doubly linked list of blocks that owns them: destroying the list frees every block.
class TNetBufferLinkedList {
 public:
  TNetBufferLinkedList() = default;
  TNetBufferLinkedList(const TNetBufferLinkedList&) = delete;
  TNetBufferLinkedList& operator=(const TNetBufferLinkedList&) = delete;
  ~TNetBufferLinkedList();

  void AddToHead(TNetBuffer* block);
  void AddToTail(TNetBuffer* block);
  // Unlinks and returns the head block (nullptr when empty); the caller owns it.
  TNetBuffer* RemoveFromHead();

  TNetBuffer* Head() const { return FHead; }
  TNetBuffer* Tail() const { return FTail; }
  bool Empty() const { return FHead == nullptr; }
  int Count() const;

 private:
  TNetBuffer* FHead = nullptr;
  TNetBuffer* FTail = nullptr;
};

// The chain of one socket: blocks holding unsent data (oldest first) and a free list.
// Every operation expects the caller to hold the lock (Lock/Unlock or a std::lock_guard on
// Mutex()), so another thread may queue data while the owner sends.
class TNetBufferHandler {
 public:
  // Texts of the errors Remove and RemoveSent throw (std::runtime_error); a negative count
  // follows kInvalidLength.
  static constexpr const char* kInvalidLength = "TNetBufferHandler.Remove: Invalid Len ";
  static constexpr const char* kNothingToRemove = "TNetBufferHandler.Remove: nothing to remove";

  TNetBufferHandler() = default;
  TNetBufferHandler(const TNetBufferHandler&) = delete;
  TNetBufferHandler& operator=(const TNetBufferHandler&) = delete;

  // Appends `length` bytes: fills the free space of the last block first, then opens new
  // blocks (from the free list when possible). A length of 0 or less changes nothing.
  void AppendData(const void* data, int length);
  // The unsent bytes of the first block only (never spans blocks); 0 when empty.
  int FirstBlockData(const char** data) const;
  // Marks `count` bytes of the first block sent; an emptied block moves to the head of the
  // free list. Throws std::runtime_error for a negative count or an empty chain.
  void Remove(int count);
  // The unsent bytes of up to `maxBlocks` blocks from the first on, as (data, length) pairs in
  // `data` and `lengths`, for one gathered send; returns the number of blocks filled in.
  int GatherData(const char** data, int* lengths, int maxBlocks) const;
  // Marks `count` bytes sent across as many blocks as they span, oldest first; emptied blocks
  // go to the free list as with Remove. Throws as Remove does, and when `count` exceeds what
  // is queued.
  void RemoveSent(int count);
  // True when nothing is waiting to be sent.
  bool NothingQueued() const;
  // Moves every in-use block to the free list with its counts reset.
  void DiscardAll();

  // Size given to blocks created from now on; existing blocks keep theirs.
  int BlockSize() const { return FBlockSize; }
  void SetBlockSize(int size) { FBlockSize = size > 0 ? size : kDefaultBlockSize; }

  void Lock() { FMutex.lock(); }
  void Unlock() { FMutex.unlock(); }
  std::mutex& Mutex() { return FMutex; }

  // Introspection for callers that size things and for tests.
  int InUseBlockCount() const { return FInUse.Count(); }
  int FreeBlockCount() const { return FFree.Count(); }
  const TNetBufferLinkedList& InUse() const { return FInUse; }

 private:
  TNetBuffer* GetBlock();

  TNetBufferLinkedList FInUse;
  TNetBufferLinkedList FFree;
  int FBlockSize = kDefaultBlockSize;
  std::mutex FMutex;
};

}  // namespace net
