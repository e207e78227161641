#include "runtime/file_io.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(FileIo, OverwriteRewritesItsOwnFileOnlyAndNeverWritesThroughLinks) {
  std::string dir = ::testing::TempDir() + "file_io_overwrite";
  std::system(("rm -rf '" + dir + "'").c_str());
  ASSERT_TRUE(EnsureDirectory(dir, 0700));
  const std::string path = dir + "/htmlcopy.htm";
  auto modeOf = [](const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? st.st_mode : 0u;
  };
  OverwriteFile(path, "a long first page", 0640);
  EXPECT_EQ(modeOf(path) & 0777, 0640u);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  OverwriteFile(path, std::string("sh\0rt", 5));  // shorter: nothing of the old page is left
  EXPECT_EQ(ReadWholeFile(path), std::string("sh\0rt", 5));
  OverwriteFile(path, "a longer page than the one before");
  EXPECT_EQ(ReadWholeFile(path), "a longer page than the one before");
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // rewritten, not replaced
  EXPECT_EQ(after.st_mode & 0777, 0640u);

  // A link in the file's place is replaced by a plain file; what it led to is not touched.
  const std::string outside = dir + "/outside.txt";
  WriteFileAtomic(outside, "keep me");
  const std::string symlinked = dir + "/symlinked.htm";
  ASSERT_EQ(::symlink(outside.c_str(), symlinked.c_str()), 0);
  OverwriteFile(symlinked, "page");
  EXPECT_TRUE(S_ISREG(modeOf(symlinked)));
  EXPECT_EQ(ReadWholeFile(symlinked), "page");
  const std::string hardlinked = dir + "/hardlinked.htm";
  ASSERT_EQ(::link(outside.c_str(), hardlinked.c_str()), 0);
  OverwriteFile(hardlinked, "page");
  EXPECT_EQ(ReadWholeFile(hardlinked), "page");
  EXPECT_EQ(ReadWholeFile(outside), "keep me");
  const std::string pipe = dir + "/pipe.htm";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  OverwriteFile(pipe, "page");  // replaced, not waited on
  EXPECT_EQ(ReadWholeFile(pipe), "page");

  EXPECT_THROW(OverwriteFile(dir + "/missing/f", "x"), EFileError);
  EXPECT_THROW(OverwriteFile(dir, "x"), EFileError);  // a folder is not written
}

TEST(FileIo, DeferredRewritesKeepContentModeAndLeaveOnlyTheFileBehind) {
  std::string dir = ::testing::TempDir() + "file_io_deferred";
  std::system(("rm -rf '" + dir + "'").c_str());
  ASSERT_TRUE(EnsureDirectory(dir, 0700));
  auto entries = [&] {
    int n = 0;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
  };
  const std::string ini = dir + "/settings.ini", once = dir + "/once.sql", older = dir + "/older.sql";
  // Files replaced while deferred take the place of their old selves through one spare per
  // folder: a file with another name elsewhere, and a link, must never become that spare.
  const std::string other = dir + "_other";
  std::system(("rm -rf '" + other + "'").c_str());
  ASSERT_TRUE(EnsureDirectory(other, 0700));
  const std::string linked = dir + "/linked.sql", symlinked = dir + "/symlinked.sql";
  WriteFileAtomic(linked, "kept under its other name");
  ASSERT_EQ(::link(linked.c_str(), (other + "/hard").c_str()), 0);
  WriteFileAtomic(other + "/target", "the link's target");
  ASSERT_EQ(::symlink((other + "/target").c_str(), symlinked.c_str()), 0);
  WriteFileAtomic(older, "from an earlier run", 0640);
  WriteFileAtomic(ini, "[S]\r\nTC=0\r\n", 0600);
  DeferFlushes(true);
  WriteFileAtomic(once, "written once");
  WriteFileAtomic(linked, "new linked");
  WriteFileAtomic(symlinked, "new symlinked");
  WriteFileAtomic(older, "this run's");
  for (int i = 1; i <= 5; ++i) {
    const std::string text = "[S]\r\nTC=" + std::string(static_cast<size_t>(6 - i), '9') + "\r\n";  // shrinking
    WriteFileAtomic(ini, text);
    EXPECT_EQ(ReadWholeFile(ini), text) << i;
    EXPECT_LE(entries(), 6) << i;  // the five files and at most one spare
  }
  DeferFlushes(false);
  EXPECT_TRUE(FlushDeferredWrites());
  EXPECT_EQ(ReadWholeFile(ini), "[S]\r\nTC=9\r\n");
  EXPECT_EQ(ReadWholeFile(once), "written once");
  EXPECT_EQ(ReadWholeFile(older), "this run's");
  EXPECT_EQ(ReadWholeFile(linked), "new linked");
  EXPECT_EQ(ReadWholeFile(symlinked), "new symlinked");
  EXPECT_EQ(ReadWholeFile(other + "/hard"), "kept under its other name");
  EXPECT_EQ(ReadWholeFile(other + "/target"), "the link's target");
  struct stat st {};
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(older.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(::lstat(symlinked.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(entries(), 5);
  WriteFileAtomic(ini, "after");  // no spare is used once flushes are no longer deferred
  EXPECT_EQ(ReadWholeFile(ini), "after");
  EXPECT_EQ(entries(), 5);
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

TEST(FileIo, AFailedOverwriteLeavesNoHalfPage) {
  std::string dir = ::testing::TempDir() + "file_io_overwrite_fails";
  std::system(("rm -rf '" + dir + "'").c_str());
  ASSERT_TRUE(EnsureDirectory(dir, 0700));
  const std::string path = dir + "/htmlcopy.htm";
  OverwriteFile(path, "old page");
  // A file size limit makes the write fail half way, as a full disk would.
  rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* const oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_THROW(OverwriteFile(path, std::string(10000, 'x')), EFileError);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  struct stat st {};
  EXPECT_NE(::stat(path.c_str(), &st), 0) << "a half-written copy was left, " << st.st_size << " bytes";
}
