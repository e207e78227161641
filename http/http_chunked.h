#pragma once
// The chunked transfer coding, decoded byte by byte so that a reply split anywhere decodes
// the same. Bytes in, data slices out; it never copies the data and never touches a socket.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace http {

class THttpChunkDecoder {
 public:
  enum class TStatus {
    NeedMore,  // all input consumed, the body goes on
    Data,      // `out` holds chunk data (a slice of the input)
    Done,      // the last chunk's size line has ended
    Error,     // the size line cannot be a size (see ErrorText)
  };

  void Reset();
  // Reads from `data`; `consumed` tells how much of it was used (data slices included).
  TStatus Step(const char* data, size_t length, size_t& consumed, std::string_view& out);

  // True while the decoder stands in a chunk's data (its size is known).
  bool InData() const { return FState == TState::Data; }
  uint64_t ChunkSize() const { return FSize; }
  uint64_t ChunkRead() const { return FRead; }
  const char* ErrorText() const { return FError; }

  // Sizes of more hexadecimal digits than this would overflow 64 bits.
  static constexpr int kMaxSizeDigits = 16;
  // Longest size line (extensions included) and longest run of bytes between a chunk's data
  // and its line end: the bytes skipped there count toward no body limit, so without a bound
  // a server could keep one reply going for ever.
  static constexpr uint64_t kMaxLineLength = 64 * 1024;
  // Error texts of those bounds.
  static constexpr const char* kSizeTooLong = "Chunk size too long";
  static constexpr const char* kLineTooLong = "Chunk line too long";

 private:
  enum class TState {
    Size,         // the size: hexadecimal digits, ended by any other byte
    SizeLineEnd,  // extensions and the line end of the size line: wait for LF
    Data,         // chunk data, FSize - FRead bytes still to come
    DataLineEnd,  // the line end after the data: wait for LF, ignore all else
    Done,         // the last chunk's size line has ended: nothing more belongs to the body
  };

  TState FState = TState::Size;
  uint64_t FSize = 0;
  uint64_t FRead = 0;
  int FDigits = 0;
  uint64_t FSkipped = 0;  // bytes skipped so far in SizeLineEnd or DataLineEnd
  const char* FError = "";
};

}  // namespace http
