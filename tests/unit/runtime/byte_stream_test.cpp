#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/byte_stream.h"

namespace {

using runtime::TMemoryStream;

TEST(MemoryStream, WritesAtThePositionWhetherAppendingOrOverwriting) {
  TMemoryStream s;
  s.Reserve(64 << 20);  // room only: nothing changes
  EXPECT_EQ(0, s.Size());
  s.Write("hello world");
  s.Seek(6, TMemoryStream::TSeekOrigin::Beginning);
  s.Write("there, all");  // overwrites and grows
  EXPECT_EQ("hello there, all", s.Bytes());
  s.Seek(0, TMemoryStream::TSeekOrigin::Beginning);
  s.Write("J");
  EXPECT_EQ("Jello there, all", s.Bytes());
  EXPECT_EQ(1, s.Position());
  s.SetSize(5);
  s.Seek(0, TMemoryStream::TSeekOrigin::End);
  s.Write("!");
  s.Reserve(2);  // smaller than the content: nothing lost
  EXPECT_EQ("Jello!", s.Bytes());
  char buf[4] = {};
  s.Seek(1, TMemoryStream::TSeekOrigin::Beginning);
  EXPECT_EQ(4u, s.Read(buf, 4));
  EXPECT_EQ("ello", std::string(buf, 4));
}

// Room filled in place is kept only as far as it was filled; growth by SetSize reads as zeros,
// even over bytes that were filled and trimmed away before.
TEST(MemoryStream, RoomFilledInPlaceKeepsOnlyWhatWasFilled) {
  TMemoryStream s;
  s.Write("ab");
  char* room = s.AppendUnfilled(5);
  EXPECT_EQ(7, s.Size());
  EXPECT_EQ(7, s.Position());
  room[0] = 'c';
  room[1] = 'd';
  s.TrimTail(3);
  EXPECT_EQ("abcd", s.Bytes());
  EXPECT_EQ(4, s.Position());
  s.Write("e");
  EXPECT_EQ("abcde", s.Bytes());
  std::memset(s.AppendUnfilled(4), 'x', 4);
  s.TrimTail(4);
  s.SetSize(8);
  EXPECT_EQ(std::string("abcde\0\0\0", 8), s.Bytes());
  s.TrimTail(100);  // more than held: empty, not an underflow
  EXPECT_EQ(0, s.Size());
  EXPECT_EQ(0, s.Position());
}

}  // namespace
