#include <gtest/gtest.h>

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

}  // namespace
