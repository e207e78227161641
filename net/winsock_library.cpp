#include "net/winsock_library.h"

#include <atomic>
#include <mutex>
#include <string_view>

namespace net {

namespace {

struct TErrorEntry {
  int Code;
  std::string_view Text;
};

constexpr TErrorEntry kErrorTexts[] = {
    {0, "No Error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Address not available"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "No Data"},
};

// One lock for the whole library state, as loading and releasing must not interleave.
std::mutex& LibraryLock() {
  static std::mutex lock;
  return lock;
}

std::atomic<bool> gLoaded{false};
int gLiveSockets = 0;
int gStartups = 0;
uint8_t gReqVerLow = 1;
uint8_t gReqVerHigh = 1;

}  // namespace

std::string WinSockErrorText(int code) {
  for (const TErrorEntry& entry : kErrorTexts)
    if (entry.Code == code) return std::string(entry.Text);
  return "Not a WinSock error";
}

std::string WinSockErrorMessage(int code, const std::string& operation) {
  return WinSockErrorText(code) + " (#" + std::to_string(code) + " in " + operation + ")";
}

std::string WinSockErrorDesc(int code) {
  return WinSockErrorText(code) + " (#" + std::to_string(code) + ")";
}

void WinSockEnsureLoaded() {
  if (gLoaded.load(std::memory_order_acquire)) return;  // every send and receive passes here
  std::lock_guard<std::mutex> guard(LibraryLock());
  if (gLoaded) return;
  gLoaded = true;
  ++gStartups;
}

bool WinSockLoaded() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  return gLoaded;
}

void WinSockAddSocket() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  ++gLiveSockets;
}

void WinSockRemoveSocket() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  --gLiveSockets;
  if (gLiveSockets < 1) {
    gLiveSockets = 0;
    gLoaded = false;  // released: the next socket function starts it again
  }
}

int WinSockLiveSocketCount() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  return gLiveSockets;
}

uint16_t WinSockRequestedVersion() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  return static_cast<uint16_t>(gReqVerLow | (gReqVerHigh << 8));
}

uint8_t WinSockReqVerLow() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  return gReqVerLow;
}

uint8_t WinSockReqVerHigh() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  return gReqVerHigh;
}

bool WinSockSetReqVerLow(uint8_t value) {
  std::lock_guard<std::mutex> guard(LibraryLock());
  if (value == gReqVerLow) return true;
  if (gLoaded) return false;
  gReqVerLow = value;
  return true;
}

bool WinSockSetReqVerHigh(uint8_t value) {
  std::lock_guard<std::mutex> guard(LibraryLock());
  if (value == gReqVerHigh) return true;
  if (gLoaded) return false;
  gReqVerHigh = value;
  return true;
}

int WinSockStartupCount() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  return gStartups;
}

}  // namespace net
