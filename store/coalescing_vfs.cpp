#include "store/coalescing_vfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace store {
namespace {

constexpr const char* kVfsName = "tamvirel-coalescing";
// Gathered frames go out at this size at the latest; a listing's commit is some hundred KB.
constexpr int kGatherLimit = 1 << 20;
// The default layer takes at most 128 KB less one byte per call (it cuts larger writes short),
// so gathered frames go out, and the log is read ahead, in pieces of this size.
constexpr int kPiece = 64 << 10;
// The log starts with a header of 32 bytes; each frame is a 24-byte header and a page. A frame
// header's bytes 4-7 hold the database's size in pages after a commit, zero in any other frame.
constexpr sqlite3_int64 kLogHeaderSize = 32;
constexpr int kFrameHeaderSize = 24;
// Two reads this close together count as a walk through the log (a frame header lies between).
constexpr sqlite3_int64 kReadGap = kFrameHeaderSize;

// The layer's own file: the default layer's file lives in the memory right behind it.
struct TFile {
  sqlite3_file Base;
  sqlite3_file* Real;
  bool IsLog;
  // Frames written and not yet passed on, adjacent to each other, from GatheredAt on.
  char* Gathered;
  int GatheredSize;
  sqlite3_int64 GatheredAt;
  // Where the page of the last frame header written goes, or -1.
  sqlite3_int64 PageAt;
  bool PageEndsCommit;
  // Bytes read ahead, from AheadAt on; only while ReadAhead is on.
  bool ReadAhead;
  bool AheadShort;  // the log ended within the last chunk: no more chunks until forgotten
  char* Ahead;
  int AheadSize;
  sqlite3_int64 AheadAt;
  sqlite3_int64 LastReadEnd;
};

TFile* Own(sqlite3_file* file) { return reinterpret_cast<TFile*>(file); }
const sqlite3_io_methods* RealMethods(TFile* f) { return f->Real->pMethods; }
sqlite3_vfs* RealVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

int PassOn(TFile* f) {
  if (f->GatheredSize == 0) return SQLITE_OK;
  const int size = f->GatheredSize;
  f->GatheredSize = 0;  // whether written or failed, SQLite writes them anew if it must
  for (int done = 0; done < size; done += kPiece) {
    const int rc = RealMethods(f)->xWrite(f->Real, f->Gathered + done, std::min(kPiece, size - done),
                                          f->GatheredAt + done);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

void ForgetAhead(TFile* f) {
  f->AheadSize = 0;
  f->AheadShort = false;
  f->LastReadEnd = -1;
}

// Before anything but a write of a frame: SQLite, and every other connection, finds in the file
// what was written.
int Settle(TFile* f) {
  ForgetAhead(f);
  return PassOn(f);
}

bool Gather(TFile* f, const void* data, int size, sqlite3_int64 offset) {
  if (f->GatheredSize > 0 && offset == f->GatheredAt + f->GatheredSize && f->GatheredSize + size <= kGatherLimit) {
    std::memcpy(f->Gathered + f->GatheredSize, data, size);
    f->GatheredSize += size;
    return true;
  }
  if (f->GatheredSize > 0 || size > kGatherLimit) return false;
  if (f->Gathered == nullptr && (f->Gathered = static_cast<char*>(std::malloc(kGatherLimit))) == nullptr) return false;
  std::memcpy(f->Gathered, data, size);
  f->GatheredSize = size;
  f->GatheredAt = offset;
  return true;
}

int Write(sqlite3_file* file, const void* data, int size, sqlite3_int64 offset) {
  TFile* f = Own(file);
  ForgetAhead(f);
  if (!f->IsLog) return RealMethods(f)->xWrite(f->Real, data, size, offset);
  bool endsCommit = false;
  if (size == kFrameHeaderSize && offset >= kLogHeaderSize) {
    const auto* header = static_cast<const unsigned char*>(data);
    const bool commit = (header[4] | header[5] | header[6] | header[7]) != 0;
    f->PageAt = offset + kFrameHeaderSize;
    f->PageEndsCommit = commit;
    // A commit's header rewritten on its own (its checksum recomputed) is not followed by its page.
    endsCommit = commit;
  } else if (offset == f->PageAt) {
    endsCommit = f->PageEndsCommit;
    f->PageAt = -1;
  } else {
    // Not a frame as this layer knows it (the log's header, a page written over in place): it
    // goes to the file at once, after what came before it.
    f->PageAt = -1;
    const int rc = PassOn(f);
    return rc != SQLITE_OK ? rc : RealMethods(f)->xWrite(f->Real, data, size, offset);
  }
  if (!Gather(f, data, size, offset)) {
    const int rc = PassOn(f);
    if (rc != SQLITE_OK) return rc;
    if (!Gather(f, data, size, offset)) return RealMethods(f)->xWrite(f->Real, data, size, offset);
  }
  return endsCommit ? PassOn(f) : SQLITE_OK;
}

int Read(sqlite3_file* file, void* data, int size, sqlite3_int64 offset) {
  TFile* f = Own(file);
  const int rc = PassOn(f);
  if (rc != SQLITE_OK) return rc;
  if (!f->ReadAhead) return RealMethods(f)->xRead(f->Real, data, size, offset);
  const bool inOrder = f->LastReadEnd >= 0 && offset >= f->LastReadEnd && offset - f->LastReadEnd <= kReadGap;
  f->LastReadEnd = offset + size;
  const bool held = f->AheadSize > 0 && offset >= f->AheadAt && offset + size <= f->AheadAt + f->AheadSize;
  if (!held && inOrder && !f->AheadShort && size <= kPiece / 4) {
    if (f->Ahead == nullptr) f->Ahead = static_cast<char*>(std::malloc(kPiece));
    f->AheadSize = 0;
    // Near the log's end the chunk comes back short: that read, and the rest, are made as asked.
    if (f->Ahead != nullptr && RealMethods(f)->xRead(f->Real, f->Ahead, kPiece, offset) == SQLITE_OK) {
      f->AheadAt = offset;
      f->AheadSize = kPiece;
    } else {
      f->AheadShort = true;
    }
  }
  if (f->AheadSize > 0 && offset >= f->AheadAt && offset + size <= f->AheadAt + f->AheadSize) {
    std::memcpy(data, f->Ahead + (offset - f->AheadAt), size);
    return SQLITE_OK;
  }
  return RealMethods(f)->xRead(f->Real, data, size, offset);
}

int Close(sqlite3_file* file) {
  TFile* f = Own(file);
  // Whatever is still gathered belongs to no commit: it must not reach the file.
  std::free(f->Gathered);
  std::free(f->Ahead);
  f->Gathered = f->Ahead = nullptr;
  return RealMethods(f)->xClose(f->Real);
}

// Writes out what is gathered, then passes the call on: `call(real file, its methods)`.
template <typename TCall>
int SettledThen(sqlite3_file* file, TCall call) {
  TFile* f = Own(file);
  const int rc = Settle(f);
  return rc != SQLITE_OK ? rc : call(f->Real, RealMethods(f));
}

int Truncate(sqlite3_file* file, sqlite3_int64 size) {
  return SettledThen(file, [&](sqlite3_file* real, const sqlite3_io_methods* m) { return m->xTruncate(real, size); });
}
int Sync(sqlite3_file* file, int flags) {
  return SettledThen(file, [&](sqlite3_file* real, const sqlite3_io_methods* m) { return m->xSync(real, flags); });
}
int FileSize(sqlite3_file* file, sqlite3_int64* size) {
  return SettledThen(file, [&](sqlite3_file* real, const sqlite3_io_methods* m) { return m->xFileSize(real, size); });
}
int Lock(sqlite3_file* file, int level) {
  return SettledThen(file, [&](sqlite3_file* real, const sqlite3_io_methods* m) { return m->xLock(real, level); });
}
int Unlock(sqlite3_file* file, int level) {
  return SettledThen(file, [&](sqlite3_file* real, const sqlite3_io_methods* m) { return m->xUnlock(real, level); });
}
int FileControl(sqlite3_file* file, int op, void* arg) {
  return SettledThen(file,
                     [&](sqlite3_file* real, const sqlite3_io_methods* m) { return m->xFileControl(real, op, arg); });
}
int Fetch(sqlite3_file* file, sqlite3_int64 offset, int size, void** at) {
  return SettledThen(file,
                     [&](sqlite3_file* real, const sqlite3_io_methods* m) { return m->xFetch(real, offset, size, at); });
}

int CheckReservedLock(sqlite3_file* file, int* reserved) {
  TFile* f = Own(file);
  return RealMethods(f)->xCheckReservedLock(f->Real, reserved);
}

int SectorSize(sqlite3_file* file) {
  TFile* f = Own(file);
  return RealMethods(f)->xSectorSize(f->Real);
}

int DeviceCharacteristics(sqlite3_file* file) {
  TFile* f = Own(file);
  return RealMethods(f)->xDeviceCharacteristics(f->Real);
}

// The shared index and memory mapping belong to the database file, which gathers nothing.
int ShmMap(sqlite3_file* file, int page, int pageSize, int extend, void volatile** at) {
  TFile* f = Own(file);
  return RealMethods(f)->xShmMap(f->Real, page, pageSize, extend, at);
}

int ShmLock(sqlite3_file* file, int offset, int n, int flags) {
  TFile* f = Own(file);
  return RealMethods(f)->xShmLock(f->Real, offset, n, flags);
}

void ShmBarrier(sqlite3_file* file) {
  TFile* f = Own(file);
  RealMethods(f)->xShmBarrier(f->Real);
}

int ShmUnmap(sqlite3_file* file, int deleteFlag) {
  TFile* f = Own(file);
  return RealMethods(f)->xShmUnmap(f->Real, deleteFlag);
}

int Unfetch(sqlite3_file* file, sqlite3_int64 offset, void* at) {
  TFile* f = Own(file);
  return RealMethods(f)->xUnfetch(f->Real, offset, at);
}

constexpr sqlite3_io_methods kMethods = {
    3,          Close,       Read,    Write,  Truncate,  Sync,      FileSize, Lock,  Unlock, CheckReservedLock,
    FileControl, SectorSize, DeviceCharacteristics, ShmMap, ShmLock, ShmBarrier, ShmUnmap, Fetch, Unfetch};

int Open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  TFile* f = Own(file);
  std::memset(f, 0, sizeof(TFile));
  f->Real = reinterpret_cast<sqlite3_file*>(f + 1);
  f->PageAt = -1;
  f->LastReadEnd = -1;
  const int rc = RealVfs(vfs)->xOpen(RealVfs(vfs), name, f->Real, flags, outFlags);
  if (rc != SQLITE_OK) return rc;
  // The layer stands in only where the default one gives every method it passes calls on to.
  if (f->Real->pMethods == nullptr || f->Real->pMethods->iVersion < 3) {
    if (f->Real->pMethods != nullptr) f->Real->pMethods->xClose(f->Real);
    return SQLITE_CANTOPEN;
  }
  f->IsLog = (flags & SQLITE_OPEN_WAL) != 0;
  f->Base.pMethods = &kMethods;
  return SQLITE_OK;
}

// The rest of the layer is the default one's.
int Delete(sqlite3_vfs* vfs, const char* name, int syncDir) { return RealVfs(vfs)->xDelete(RealVfs(vfs), name, syncDir); }
int Access(sqlite3_vfs* vfs, const char* name, int flags, int* result) {
  return RealVfs(vfs)->xAccess(RealVfs(vfs), name, flags, result);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return RealVfs(vfs)->xFullPathname(RealVfs(vfs), name, size, out);
}
void* DlOpen(sqlite3_vfs* vfs, const char* name) { return RealVfs(vfs)->xDlOpen(RealVfs(vfs), name); }
void DlError(sqlite3_vfs* vfs, int size, char* out) { RealVfs(vfs)->xDlError(RealVfs(vfs), size, out); }
void (*DlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return RealVfs(vfs)->xDlSym(RealVfs(vfs), handle, symbol);
}
void DlClose(sqlite3_vfs* vfs, void* handle) { RealVfs(vfs)->xDlClose(RealVfs(vfs), handle); }
int Randomness(sqlite3_vfs* vfs, int size, char* out) { return RealVfs(vfs)->xRandomness(RealVfs(vfs), size, out); }
int Sleep(sqlite3_vfs* vfs, int microseconds) { return RealVfs(vfs)->xSleep(RealVfs(vfs), microseconds); }
int CurrentTime(sqlite3_vfs* vfs, double* now) { return RealVfs(vfs)->xCurrentTime(RealVfs(vfs), now); }
int GetLastError(sqlite3_vfs* vfs, int size, char* out) { return RealVfs(vfs)->xGetLastError(RealVfs(vfs), size, out); }
int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* now) {
  return RealVfs(vfs)->xCurrentTimeInt64(RealVfs(vfs), now);
}

const char* Register() {
  sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
  if (real == nullptr || real->iVersion < 2 || real->xCurrentTimeInt64 == nullptr) return nullptr;
  static sqlite3_vfs vfs;
  vfs.iVersion = 2;
  vfs.szOsFile = static_cast<int>(sizeof(TFile)) + real->szOsFile;
  vfs.mxPathname = real->mxPathname;
  vfs.zName = kVfsName;
  vfs.pAppData = real;
  vfs.xOpen = Open;
  vfs.xDelete = Delete;
  vfs.xAccess = Access;
  vfs.xFullPathname = FullPathname;
  vfs.xDlOpen = DlOpen;
  vfs.xDlError = DlError;
  vfs.xDlSym = DlSym;
  vfs.xDlClose = DlClose;
  vfs.xRandomness = Randomness;
  vfs.xSleep = Sleep;
  vfs.xCurrentTime = CurrentTime;
  vfs.xGetLastError = GetLastError;
  vfs.xCurrentTimeInt64 = CurrentTimeInt64;
  return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? kVfsName : nullptr;
}

// The connection's log, when it is open and one of this layer's files.
TFile* LogOf(sqlite3* db) {
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &file) != SQLITE_OK || file == nullptr ||
      file->pMethods != &kMethods)
    return nullptr;
  TFile* f = Own(file);
  return f->IsLog ? f : nullptr;
}

}  // namespace

const char* CoalescingVfsName() {
  static const char* const name = Register();
  return name;
}

void DropUncommitted(sqlite3* db) {
  if (TFile* f = LogOf(db)) {
    f->GatheredSize = 0;
    f->PageAt = -1;
  }
}

void SetLogReadAhead(sqlite3* db, bool on) {
  if (TFile* f = LogOf(db)) {
    ForgetAhead(f);
    f->ReadAhead = on;
  }
}

}  // namespace store
