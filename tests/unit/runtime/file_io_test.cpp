#include "runtime/file_io.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "runtime/byte_stream.h"

using namespace runtime;

TEST(FileIo, AtomicWriteReplacesAndLeavesNoTemporaryBehind) {
  std::string dir = ::testing::TempDir() + "file_io_atomic";
  std::system(("rm -rf '" + dir + "'").c_str());
  ASSERT_TRUE(EnsureDirectory(dir + "/a/b", 0700));
  std::string path = dir + "/a/b/f.sql";
  WriteFileAtomic(path, "old", 0640);
  WriteFileAtomic(path, std::string("new\0data", 8));
  EXPECT_EQ(ReadWholeFile(path), std::string("new\0data", 8));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the existing file's mode is kept
  int entries = 0;
  DIR* d = ::opendir((dir + "/a/b").c_str());
  while (dirent* e = ::readdir(d)) entries += e->d_name[0] != '.';
  ::closedir(d);
  EXPECT_EQ(entries, 1);
  EXPECT_THROW(WriteFileAtomic(dir + "/missing/f", "x"), EFileError);
  EXPECT_THROW(WriteFileAtomic(dir + "/a", "x"), EFileError);  // a folder is not replaced
  EXPECT_FALSE(EnsureDirectory(path));                            // a file is not a folder
}

TEST(ByteStream, WriteSeekReadAndSave) {
  TMemoryStream s;
  s.Write("hello world");
  EXPECT_EQ(s.Position(), 11);
  s.Seek(6, TMemoryStream::TSeekOrigin::Beginning);
  s.Write("W");
  char buf[16] = {};
  s.Seek(-5, TMemoryStream::TSeekOrigin::End);
  EXPECT_EQ(s.Read(buf, sizeof buf), 5u);
  EXPECT_STREQ(buf, "World");
  EXPECT_EQ(s.Seek(100, TMemoryStream::TSeekOrigin::Current), 11);
  EXPECT_EQ(s.Read(buf, 4), 0u);
  std::string path = ::testing::TempDir() + "byte_stream.bin";
  s.SaveToFile(path);
  TMemoryStream back;
  back.LoadFromFile(path);
  EXPECT_EQ(back.Bytes(), "hello World");
  back.SetSize(5);
  EXPECT_EQ(back.Bytes(), "hello");
}
