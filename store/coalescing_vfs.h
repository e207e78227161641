#pragma once
// A file layer between SQLite and the system's own that turns the many small writes and reads of
// a write-ahead log into few large ones. SQLite writes each page of a commit to the log as two
// writes (a 24-byte frame header, then the page), and a checkpoint reads the log back one page at
// a time: for a batch of listings that is some hundred thousand system calls, each paying the
// kernel's full cost. Here a transaction's frames are gathered in memory and written as one when
// its commit frame is written, and a checkpoint reads the log ahead in large chunks.
//
// What reaches the log, and in which order, is exactly what SQLite wrote, only later and in larger
// pieces, and never later than the write of the commit frame returns: before SQLite tells readers
// the commit is there, and so that a failed write fails the commit. Any other access to the log
// (a read, sync, truncation) first writes what is gathered. A write of any other shape than a
// frame's header or page goes through at once.
//
// The layer cannot see a transaction end, nor a checkpoint begin, so the connection's owner says
// so: DropUncommitted after every transaction, SetLogReadAhead around each checkpoint.

struct sqlite3;

namespace store {

// The name to open connections with (sqlite3_open_v2's last argument), registering the layer
// over the default one on the first call; nullptr (SQLite's default layer) when it cannot be.
const char* CoalescingVfsName();

// Forgets the frames `db` gathered of a transaction that did not commit (a commit writes all of
// them), so that they are never written over another connection's later frames. Call after
// every COMMIT or ROLLBACK of a connection opened with the layer.
void DropUncommitted(sqlite3* db);

// While on, reads of `db`'s log that follow each other read ahead in chunks. Only for a
// checkpoint: the log's frames up to the checkpoint's end do not change while it runs, but after
// it the writer may start the log over. Each call forgets what was read ahead.
void SetLogReadAhead(sqlite3* db, bool on);

}  // namespace store
