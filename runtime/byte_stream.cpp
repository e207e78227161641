#include "runtime/byte_stream.h"

#include <algorithm>
#include <cstring>

#include <sys/mman.h>

#include "runtime/file_io.h"

namespace runtime {

size_t TMemoryStream::Write(const void* data, size_t count) {
  if (count == 0) return 0;
  if (FPosition == FData.size()) {
    // Appending: one pass over the bytes instead of clearing the new room first.
    const char* bytes = static_cast<const char*>(data);
    FData.insert(FData.end(), bytes, bytes + count);
    FPosition += count;
    return count;
  }
  if (FPosition + count > FData.size()) FData.resize(FPosition + count);
  std::memcpy(FData.data() + FPosition, data, count);
  FPosition += count;
  return count;
}

size_t TMemoryStream::Read(void* data, size_t count) {
  size_t n = FPosition < FData.size() ? std::min(count, FData.size() - FPosition) : 0;
  if (n > 0) std::memcpy(data, FData.data() + FPosition, n);
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::Beginning ? 0 : origin == TSeekOrigin::Current ? Position() : Size();
  int64_t target = std::clamp<int64_t>(base + offset, 0, Size());
  FPosition = static_cast<size_t>(target);
  return target;
}

void TMemoryStream::SetSize(int64_t size) {
  const size_t old = FData.size();
  const size_t wanted = static_cast<size_t>(std::max<int64_t>(size, 0));
  FData.resize(wanted);
  if (wanted > old) std::memset(FData.data() + old, 0, wanted - old);
  FPosition = std::min(FPosition, FData.size());
}

char* TMemoryStream::AppendUnfilled(size_t count) {
  const size_t old = FData.size();
  FData.resize(old + count);
  FPosition = FData.size();
  return FData.data() + old;
}

void TMemoryStream::TrimTail(size_t count) {
  FData.resize(FData.size() - std::min(count, FData.size()));
  FPosition = std::min(FPosition, FData.size());
}

void TMemoryStream::Reserve(int64_t size) {
  if (size <= 0 || static_cast<size_t>(size) <= FData.capacity()) return;
  FData.reserve(static_cast<size_t>(size));
  // A large buffer is filled once from start to end: large pages spare one page fault per
  // 4 KB, which would otherwise cost more than copying the bytes in.
  constexpr uintptr_t kLargePage = 2u << 20;
  if (FData.capacity() >= 4 * kLargePage) {
    const auto begin = reinterpret_cast<uintptr_t>(FData.data());
    const uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
    const uintptr_t last = (begin + FData.capacity()) & ~(kLargePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
}

void TMemoryStream::SaveToFile(const std::string& path) const { WriteFileAtomic(path, Bytes()); }

void TMemoryStream::LoadFromFile(const std::string& path) {
  const std::string bytes = ReadWholeFile(path);
  FData.assign(bytes.begin(), bytes.end());
  FPosition = 0;
}

}  // namespace runtime
