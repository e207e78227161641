#pragma once
// File helpers shared by every subsystem: whole-file reads, atomic replacement, folders.

#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace runtime {

// An I/O failure; what() names the operation and the file.
class EFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole file as bytes. Throws EFileError when it cannot be opened or read.
std::string ReadWholeFile(const std::string& path);

// Replaces `path` with `bytes`: writes a temporary file in the same folder, flushes it and
// renames it into place, so readers see the old file or the new one, never a half. A new
// file gets `mode`; an existing file keeps its mode. Throws EFileError. `durable` false skips
// the flush to the disk: still all-or-nothing for readers, but a crash may lose the new
// content. For scratch copies that are rewritten all the time.
void WriteFileAtomic(const std::string& path, std::string_view bytes, mode_t mode = 0644, bool durable = true);

// Rewrites a scratch file in place: the same file (a new one gets `mode`) receives `bytes` and
// is cut to their length. Unlike WriteFileAtomic a reader may see a half-written file, and a
// crash may leave one; in exchange no file is created and dropped per write, which for a copy
// rewritten at every request cost more than the request. A path that is not a plain file of
// its own (a link, or a name with other hard links) is replaced by WriteFileAtomic instead, so
// nothing outside the folder is written through it. Not flushed to the disk. A write that
// fails removes the file (a half page is never left to be read as a whole one) and throws
// EFileError.
void OverwriteFile(const std::string& path, std::string_view bytes, mode_t mode = 0644);

// Batch work that writes many small files can defer the flushes: while deferred, durable
// writes skip their per-file flush (readers still see old or new, never a half), and
// FlushDeferredWrites flushes every file system written to since, once. Process-wide.
// A file written a second time while deferred is replaced by exchanging it with a spare file
// beside it (still old or new for readers); FlushDeferredWrites removes the spares.
void DeferFlushes(bool deferred);
// Flushes what deferred writes left in memory; returns false when a flush failed.
bool FlushDeferredWrites();
// Test seam: while set, FlushDeferredWrites flushes as always and then reports a failure, as a
// file system that refused the flush would. Process-wide.
void FailDeferredFlushesForTesting(bool fail);

// Creates the folder (and missing parents) with `mode` when it does not exist. Returns
// false when it could not be created.
bool EnsureDirectory(const std::string& path, mode_t mode = 0700);

bool FileExists(const std::string& path);

}  // namespace runtime
