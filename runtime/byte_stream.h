#pragma once
// An in-memory, growable byte buffer with a position: the request bodies and replies of the
// download operations and the HTTP client.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace runtime {

class TMemoryStream {
 public:
  enum class TSeekOrigin { Beginning, Current, End };

  // Writes at the position, growing the buffer as needed; returns the count written.
  size_t Write(const void* data, size_t count);
  size_t Write(std::string_view bytes) { return Write(bytes.data(), bytes.size()); }
  // Reads up to `count` bytes from the position; returns the count read.
  size_t Read(void* data, size_t count);
  // Moves the position (clamped to 0..Size()); returns the new position.
  int64_t Seek(int64_t offset, TSeekOrigin origin);

  int64_t Position() const { return static_cast<int64_t>(FPosition); }
  int64_t Size() const { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t size);
  // Makes room for `size` bytes in all without changing the content (a hint for large writes).
  void Reserve(int64_t size);
  void Clear() { FData.clear(); FPosition = 0; }

  // Appends `count` bytes left for the caller to fill in place (a receive straight into the
  // buffer, sparing a copy); returns where they start. Their content is undefined until filled;
  // TrimTail then takes back what was not filled. The position moves to the new end.
  char* AppendUnfilled(size_t count);
  // Removes the last `count` bytes (clamped to the size); the position stays within the size.
  void TrimTail(size_t count);

  std::string_view Bytes() const { return std::string_view(FData.data(), FData.size()); }
  // Saves the whole buffer to a file (atomically). Throws runtime::EFileError.
  void SaveToFile(const std::string& path) const;
  // Replaces the buffer with the file's bytes; position 0. Throws runtime::EFileError.
  void LoadFromFile(const std::string& path);

 private:
  // Growing the vector leaves new bytes as they are: a receive into them must not pay for
  // clearing them first. Growth that must read as zeros (SetSize) clears them itself.
  template <typename T>
  struct TNoInitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
      using other = TNoInitAllocator<U>;
    };
    TNoInitAllocator() = default;
    template <typename U>
    TNoInitAllocator(const TNoInitAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
      ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... A>
    void construct(U* p, A&&... args) {
      ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
    }
  };

  std::vector<char, TNoInitAllocator<char>> FData;
  size_t FPosition = 0;
};

}  // namespace runtime
