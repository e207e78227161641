#include "net/buffer_chain.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace net {

TNetBuffer::TNetBuffer(int size)
    : FSize(size > 0 ? size : kDefaultBlockSize) {
  FMemory = std::make_unique<char[]>(static_cast<size_t>(FSize));
}

int TNetBuffer::Write(const void* source, int offset, int length) {
  if (length <= 0 || source == nullptr) return 0;
  const int count = std::min(length, FSize - FWriteCount);
  if (count <= 0) return 0;
  std::memcpy(FMemory.get() + FWriteCount, static_cast<const char*>(source) + offset,
              static_cast<size_t>(count));
  FWriteCount += count;
  return count;
}

int TNetBuffer::Peek(const char** data) const {
  const int count = UnsentCount();
  *data = count > 0 ? FMemory.get() + FReadCount : nullptr;
  return count;
}

int TNetBuffer::Remove(int count) {
  if (count <= 0) return 0;
  count = std::min(count, UnsentCount());
  FReadCount += count;
  if (FReadCount >= FWriteCount) Reset();  // emptied: reuse from the start
  return count;
}

TNetBufferLinkedList::~TNetBufferLinkedList() {
  while (TNetBuffer* block = RemoveFromHead()) delete block;
}

void TNetBufferLinkedList::AddToHead(TNetBuffer* block) {
  block->Prev = nullptr;
  block->Next = FHead;
  if (FHead) FHead->Prev = block; else FTail = block;
  FHead = block;
}

void TNetBufferLinkedList::AddToTail(TNetBuffer* block) {
  block->Next = nullptr;
  block->Prev = FTail;
  if (FTail) FTail->Next = block; else FHead = block;
  FTail = block;
}

TNetBuffer* TNetBufferLinkedList::RemoveFromHead() {
  TNetBuffer* block = FHead;
  if (!block) return nullptr;
  FHead = block->Next;
  if (FHead) FHead->Prev = nullptr; else FTail = nullptr;
  block->Next = block->Prev = nullptr;
  return block;
}

int TNetBufferLinkedList::Count() const {
  int count = 0;
  for (TNetBuffer* b = FHead; b; b = b->Next) ++count;
  return count;
}

TNetBuffer* TNetBufferHandler::GetBlock() {
  TNetBuffer* block = FFree.RemoveFromHead();
  if (!block) block = new TNetBuffer(FBlockSize);
  FInUse.AddToTail(block);
  return block;
}

void TNetBufferHandler::AppendData(const void* data, int length) {
  if (length <= 0 || data == nullptr) return;
  TNetBuffer* block = FInUse.Tail();
  if (!block) block = GetBlock();
  int offset = 0;
  for (;;) {
    const int copied = block->Write(data, offset, length - offset);
    offset += copied;
    if (offset >= length) break;
    block = GetBlock();
  }
}

int TNetBufferHandler::FirstBlockData(const char** data) const {
  *data = nullptr;
  TNetBuffer* block = FInUse.Head();
  return block ? block->Peek(data) : 0;
}

void TNetBufferHandler::Remove(int count) {
  if (count < 0)
    throw std::runtime_error(kInvalidLength + std::to_string(count));
  TNetBuffer* block = FInUse.Head();
  if (!block) throw std::runtime_error(kNothingToRemove);
  block->Remove(count);
  if (block->UnsentCount() == 0) FFree.AddToHead(FInUse.RemoveFromHead());
}

int TNetBufferHandler::GatherData(const char** data, int* lengths, int maxBlocks) const {
  int filled = 0;
  for (TNetBuffer* block = FInUse.Head(); block != nullptr && filled < maxBlocks; block = block->Next) {
    const int count = block->Peek(&data[filled]);
    if (count == 0) continue;
    lengths[filled++] = count;
  }
  return filled;
}

void TNetBufferHandler::RemoveSent(int count) {
  if (count < 0)
    throw std::runtime_error(kInvalidLength + std::to_string(count));
  while (count > 0) {
    TNetBuffer* block = FInUse.Head();
    if (!block) throw std::runtime_error(kNothingToRemove);
    const int part = std::min(count, block->UnsentCount());
    Remove(part);
    count -= part;  // an emptied block leaves the chain inside Remove, even for part 0
  }
}

bool TNetBufferHandler::NothingQueued() const {
  return FInUse.Empty() || FInUse.Head()->UnsentCount() == 0;
}

void TNetBufferHandler::DiscardAll() {
  while (TNetBuffer* block = FInUse.RemoveFromHead()) {
    block->Reset();
    FFree.AddToHead(block);
  }
}

}  // namespace net
