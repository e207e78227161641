#include "json/json_writer.h"

#include <sys/socket.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <vector>

#include "json/json_number.h"
#include "json/json_value.h"
#include "runtime/byte_stream.h"
#include "runtime/file_io.h"

namespace json {

// ----- writers --------------------------------------------------------------------------------

int32_t TJsonWriter::WriteText(const char16_t* text) {
  int32_t n = 0;
  while (text[n] != 0) ++n;
  return WriteChars(text, n);
}

int32_t TJsonWriterString::WriteChars(const char16_t* chars, int32_t count) {
  if (count <= 0) return count;
  if (static_cast<size_t>(count) >= FBuffer.capacity() - FBuffer.size()) {
    size_t capacity = FBuffer.capacity() * 2;
    if (capacity < FBuffer.size() + static_cast<size_t>(count) + 8) capacity = FBuffer.size() + count + 8;
    FBuffer.reserve(capacity);
  }
  FBuffer.append(chars, static_cast<size_t>(count));
  return count;
}

void TJsonWriterString::Trim() {
  while (!FBuffer.empty() && (FBuffer.back() == 10 || FBuffer.back() == 13 || FBuffer.back() == 32)) FBuffer.pop_back();
}

void TJsonWriterStream::Restart() {
  FStream.SetSize(0);
  FStream.Seek(0, runtime::TMemoryStream::TSeekOrigin::Beginning);
}

namespace {

// Converts through a 1,024-byte buffer on the stack, or one heap buffer for longer writes.
template <typename Sink>
int32_t WriteLowBytes(const char16_t* chars, int32_t count, Sink&& sink) {
  char local[1024];
  std::unique_ptr<char[]> heap;
  char* bytes = local;
  if (count > static_cast<int32_t>(sizeof local)) {
    heap.reset(new char[static_cast<size_t>(count)]);
    bytes = heap.get();
  }
  for (int32_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(chars[i] & 0xFF);
  return sink(bytes, count);
}

}  // namespace

int32_t TJsonAnsiWriterStream::WriteChars(const char16_t* chars, int32_t count) {
  if (count <= 0) return count;
  return WriteLowBytes(chars, count, [this](const char* bytes, int32_t n) {
    return static_cast<int32_t>(FStream.Write(bytes, static_cast<size_t>(n)));
  });
}

int32_t TJsonUnicodeWriterStream::WriteChars(const char16_t* chars, int32_t count) {
  if (count <= 0) return count;
  std::string bytes(static_cast<size_t>(count) * 2, '\0');
  for (int32_t i = 0; i < count; ++i) {
    bytes[2 * i] = static_cast<char>(chars[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(chars[i] >> 8);
  }
  FStream.Write(bytes);
  return count;
}

int32_t TJsonWriterFake::WriteChars(const char16_t*, int32_t count) {
  if (count > 0) FSize += count;
  return FSize > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                     : static_cast<int32_t>(FSize);
}

int32_t TJsonWriterSock::WriteChars(const char16_t* chars, int32_t count) {
  if (count <= 0) return count;
  return WriteLowBytes(chars, count, [this](const char* bytes, int32_t n) -> int32_t {
    int32_t sent = 0;
    while (sent < n) {
      const ssize_t r = ::send(FSocket, bytes + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
      if (r < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      sent += static_cast<int32_t>(r);
      FSize += r;
    }
    return sent;
  });
}

// ----- writing a value ------------------------------------------------------------------------

namespace {

class TTreeWriter {
 public:
  TTreeWriter(TJsonWriter& writer, bool indent, bool escape, int32_t level)
      : FWriter(writer), FIndent(indent), FEscape(escape), FLevel(level) {}

  ~TTreeWriter() {
    for (TFrame& f : FStack) f.Value->SetInProgress(false);
  }

  int32_t Run(TJsonValue* root) {
    if (!WriteValue(root)) return FResult;
    while (!FStack.empty() && !FFailed) {
      TFrame& f = FStack.back();
      TJsonValue* next = nullptr;
      const TJsonName* name = nullptr;
      bool done = false;
      if (f.Value->Kind() == vkObject) {
        TJsonAvlEntry* e;
        // Method members are never written.
        while ((e = f.Iterator.CurrentEntry()) != nullptr && e->Value && e->Value->Kind() == vkMethod)
          f.Iterator.MoveToNext();
        if (e == nullptr) {
          done = true;
        } else {
          next = e->Value.Get();
          name = e->NameBlock();
          f.Iterator.MoveToNext();
        }
      } else {
        TJsonArray* arr = f.Value->ToArray();
        while (f.Index < arr->Length() && arr->At(f.Index) && arr->At(f.Index)->Kind() == vkMethod) ++f.Index;
        if (f.Index >= arr->Length())
          done = true;
        else
          next = arr->At(f.Index++);
      }
      if (done) {
        const bool object = f.Value->Kind() == vkObject;
        f.Value->SetInProgress(false);
        FStack.pop_back();
        --FLevel;
        if (object && FIndent && !LineBreak()) break;
        if (!Put(object ? u"}" : u"]", 1)) break;
        continue;
      }
      if (f.Any && !Put(u",", 1)) break;
      f.Any = true;
      if (name != nullptr) {
        if (FIndent && !LineBreak()) break;
        if (!Put(u"\"", 1) || !PutEscaped(name->Text()) || !Put(FIndent ? u"\": " : u"\":", FIndent ? 3 : 2)) break;
      }
      if (!WriteValue(next)) break;
    }
    return FResult;
  }

 private:
  struct TFrame {
    TJsonValue* Value;
    TJsonAvlIterator Iterator;
    int32_t Index;
    bool Any;
  };

  bool Put(const char16_t* chars, size_t count) {
    while (count > 0) {
      const int32_t n = count > (1u << 30) ? (1 << 30) : static_cast<int32_t>(count);
      FResult = FWriter.WriteChars(chars, n);
      if (FResult < 0) {
        FFailed = true;
        return false;
      }
      chars += n;
      count -= static_cast<size_t>(n);
    }
    return true;
  }
  bool Put(const std::u16string& s) { return Put(s.data(), s.size()); }

  bool LineBreak() {
    FScratch.assign(u"\r\n");
    FScratch.append(static_cast<size_t>(FLevel > 0 ? FLevel : 0), u' ');
    return Put(FScratch);
  }

  bool PutEscaped(std::u16string_view s) {
    static constexpr char16_t kHex[] = u"0123456789abcdef";
    size_t run = 0;
    char16_t rep[6];
    for (size_t i = 0; i < s.size(); ++i) {
      const char16_t c = s[i];
      size_t n = 0;
      rep[0] = u'\\';
      if (c == u'"' || c == u'\\' || c == u'/') {
        rep[1] = c;
        n = 2;
      } else if (FEscape) {
        switch (c) {
          case 8: rep[1] = u'b'; n = 2; break;
          case 9: rep[1] = u't'; n = 2; break;
          case 10: rep[1] = u'n'; n = 2; break;
          case 12: rep[1] = u'f'; n = 2; break;
          case 13: rep[1] = u'r'; n = 2; break;
          default:
            if (c < 32 || c > 127) n = 6;
            break;
        }
      } else if (c == 0) {
        n = 6;
      }
      if (n == 0) continue;
      if (n == 6) {
        rep[1] = u'u';
        rep[2] = kHex[(c >> 12) & 15];
        rep[3] = kHex[(c >> 8) & 15];
        rep[4] = kHex[(c >> 4) & 15];
        rep[5] = kHex[c & 15];
      }
      if (i > run && !Put(s.data() + run, i - run)) return false;
      if (!Put(rep, n)) return false;
      run = i + 1;
    }
    return s.size() <= run || Put(s.data() + run, s.size() - run);
  }

  // Writes a scalar whole, or opens a container and pushes its frame. False on failure.
  bool WriteValue(TJsonValue* v) {
    if (v == nullptr || v->InProgress()) return Put(u"null", 4);  // absent, or a cycle
    FScratch.clear();
    switch (v->Kind()) {
      case vkNull: return Put(u"null", 4);
      case vkBoolean: return v->ToBoolean() ? Put(u"true", 4) : Put(u"false", 5);
      case vkDouble: number::AppendDouble(FScratch, v->ToDouble()); return Put(FScratch);
      case vkCurrency: number::AppendCurrency(FScratch, v->ToCurrency()); return Put(FScratch);
      case vkInteger: number::AppendInteger(FScratch, v->ToInteger()); return Put(FScratch);
      case vkString: return Put(u"\"", 1) && PutEscaped(v->StringUnits(FUnits)) && Put(u"\"", 1);
      case vkMethod: return true;
      case vkObject:
        if (v->ToObjectTable()->Count() == 0) return Put(u"{}", 2);
        if (!Put(u"{", 1)) return false;
        ++FLevel;
        v->SetInProgress(true);
        FStack.push_back(TFrame{v, TJsonAvlIterator(v->ToObjectTable()), 0, false});
        FStack.back().Iterator.MoveToFirst();
        return true;
      case vkArray:
        if (v->ToArray()->Length() == 0) return Put(u"[]", 2);
        if (!Put(u"[", 1)) return false;
        ++FLevel;
        v->SetInProgress(true);
        FStack.push_back(TFrame{v, TJsonAvlIterator(nullptr), 0, false});
        return !FIndent || LineBreak();
    }
    return true;
  }

  TJsonWriter& FWriter;
  const bool FIndent;
  const bool FEscape;
  int32_t FLevel;
  int32_t FResult = 0;
  bool FFailed = false;
  std::u16string FScratch;
  std::u16string FUnits;  // a narrow string's units, decoded
  std::vector<TFrame> FStack;
};

}  // namespace

int32_t TJsonValue::WriteTo(TJsonWriter& writer, bool indent, bool escape, int32_t level) {
  TTreeWriter w(writer, indent, escape, level);
  const int32_t r = w.Run(this);
  if (r >= 0 && (FKind == vkString || FKind == vkMethod)) return 0;
  return r;
}

std::u16string TJsonValue::ToJsonText(bool indent, bool escape) {
  TJsonWriterString w;
  const int32_t r = WriteTo(w, indent, escape, 0);
  if (r < 0 || w.Position() == 0) return {};
  return w.TakeText();
}

int64_t TJsonValue::SaveToStream(runtime::TMemoryStream& stream, bool indent, bool escape) {
  int32_t r;
  if (escape) {
    TJsonAnsiWriterStream w(stream);
    r = WriteTo(w, indent, escape, 0);
  } else {
    TJsonUnicodeWriterStream w(stream);
    r = WriteTo(w, indent, escape, 0);
  }
  if (r < 0) {
    stream.SetSize(0);
    return 0;
  }
  return stream.Size();
}

int64_t TJsonValue::SaveToFile(const std::string& name, bool indent, bool escape) {
  runtime::TMemoryStream stream;
  const int64_t size = SaveToStream(stream, indent, escape);
  runtime::WriteFileAtomic(name, stream.Bytes());
  return size;
}

int64_t TJsonValue::SendTo(int socket, bool indent, bool escape) {
  TJsonWriterSock w(socket);
  return WriteTo(w, indent, escape, 0) < 0 ? 0 : w.Size();
}

int64_t TJsonValue::CalcSize(bool indent, bool escape) {
  TJsonWriterFake w;
  return WriteTo(w, indent, escape, 0) < 0 ? 0 : w.Size();
}

}  // namespace json
