#include "http/http_chunked.h"

#include <algorithm>
#include <cstring>

namespace http {

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

void THttpChunkDecoder::Reset() {
  FState = TState::Size;
  FSize = 0;
  FRead = 0;
  FDigits = 0;
  FSkipped = 0;
  FError = "";
}

THttpChunkDecoder::TStatus THttpChunkDecoder::Step(const char* data, size_t length,
                                                    size_t& consumed, std::string_view& out) {
  size_t i = 0;
  while (i < length) {
    switch (FState) {
      case TState::Size: {
        const int digit = HexValue(data[i]);
        if (digit < 0) {
          FState = TState::SizeLineEnd;
          break;  // the byte is looked at again by SizeLineEnd
        }
        if (++FDigits > kMaxSizeDigits) {
          consumed = i;
          FError = kSizeTooLong;
          return TStatus::Error;
        }
        FSize = FSize * 16 + static_cast<uint64_t>(digit);
        ++i;
        break;
      }
      case TState::SizeLineEnd: {
        const void* lf = std::memchr(data + i, '\n', length - i);
        const size_t end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) : length;
        FSkipped += end - i;
        if (FSkipped > kMaxLineLength) {
          consumed = i;
          FError = kLineTooLong;
          return TStatus::Error;
        }
        if (!lf) {
          i = length;
          break;
        }
        i = end + 1;
        FSkipped = 0;
        if (FSize == 0) {
          FState = TState::Done;
          consumed = i;
          return TStatus::Done;
        }
        FState = TState::Data;
        break;
      }
      case TState::Data: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(FSize - FRead, length - i));
        out = std::string_view(data + i, take);
        FRead += take;
        i += take;
        if (FRead == FSize) FState = TState::DataLineEnd;
        consumed = i;
        return TStatus::Data;
      }
      case TState::DataLineEnd: {
        const void* lf = std::memchr(data + i, '\n', length - i);
        const size_t end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) : length;
        FSkipped += end - i;
        if (FSkipped > kMaxLineLength) {
          consumed = i;
          FError = kLineTooLong;
          return TStatus::Error;
        }
        if (!lf) {
          i = length;
          break;
        }
        i = end + 1;
        FSkipped = 0;
        FState = TState::Size;
        FSize = 0;
        FRead = 0;
        FDigits = 0;
        break;
      }
      case TState::Done:
        consumed = i;
        return TStatus::Done;
    }
  }
  consumed = i;
  return FState == TState::Done ? TStatus::Done : TStatus::NeedMore;
}

}  // namespace http
