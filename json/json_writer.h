#pragma once
// Writers: where JSON text goes. A write returns a count (or a running size); a negative
// result is a failure and ends the writing of a value.

#include <cstdint>
#include <string>
#include <string_view>

namespace runtime {
class TMemoryStream;
}

namespace json {

class TJsonWriter {
 public:
  virtual ~TJsonWriter() = default;
  virtual int32_t WriteChars(const char16_t* chars, int32_t count) = 0;
  // A NUL-terminated text.
  virtual int32_t WriteText(const char16_t* text);
  virtual void Restart() = 0;
};

// Collects the text in memory.
class TJsonWriterString : public TJsonWriter {
 public:
  TJsonWriterString() { FBuffer.reserve(32); }
  int32_t WriteChars(const char16_t* chars, int32_t count) override;
  void Restart() override { FBuffer.clear(); }
  std::u16string_view Text() const { return FBuffer; }
  std::u16string TakeText() { return std::move(FBuffer); }
  size_t Position() const { return FBuffer.size(); }
  // Removes trailing line feeds, carriage returns and blanks.
  void Trim();

 private:
  std::u16string FBuffer;
};

// Appends to a byte stream at its position.
class TJsonWriterStream : public TJsonWriter {
 public:
  explicit TJsonWriterStream(runtime::TMemoryStream& stream) : FStream(stream) {}
  // Truncates the stream.
  void Restart() override;

 protected:
  runtime::TMemoryStream& FStream;
};

// One byte per unit: the low 8 bits (meant for escaped, all-ASCII text).
class TJsonAnsiWriterStream : public TJsonWriterStream {
 public:
  using TJsonWriterStream::TJsonWriterStream;
  int32_t WriteChars(const char16_t* chars, int32_t count) override;
};

// The 16-bit units as they are, little-endian.
class TJsonUnicodeWriterStream : public TJsonWriterStream {
 public:
  using TJsonWriterStream::TJsonWriterStream;
  int32_t WriteChars(const char16_t* chars, int32_t count) override;
};

// Only counts.
class TJsonWriterFake : public TJsonWriter {
 public:
  // Returns the new size (saturated at the 32-bit range; Size() keeps the full count).
  int32_t WriteChars(const char16_t* chars, int32_t count) override;
  void Restart() override { FSize = 0; }
  int64_t Size() const { return FSize; }

 private:
  int64_t FSize = 0;
};

// Sends one byte per unit over a connected socket (a plain descriptor). A short send is
// continued until everything is out; a failed send returns -1. SIGPIPE is never raised.
class TJsonWriterSock : public TJsonWriter {
 public:
  explicit TJsonWriterSock(int socket) : FSocket(socket) {}
  int32_t WriteChars(const char16_t* chars, int32_t count) override;
  void Restart() override { FSize = 0; }
  int64_t Size() const { return FSize; }

 private:
  int FSocket;
  int64_t FSize = 0;
};

}  // namespace json
