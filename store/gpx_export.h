#pragma once
// The caches of the listings database as one GPX 1.0 file with the cache extension that GPS
// receivers, geocaching apps and cache managers read: a waypoint per cache with its listing,
// attributes, logs and trackables, then one per additional waypoint of it.
//
// The database is only read, on a connection of its own opened read-only, inside one read
// transaction: a batch writing it at the same time is neither held up nor seen half-way.

#include <cstddef>
#include <string>
#include <vector>

namespace store {

struct TGpxExportResult {
  size_t Written = 0;  // caches in the file
  // Codes not in the file: named ones the database does not hold (in the order named), and any
  // cache the database holds without coordinates (a GPX point needs them).
  std::vector<std::string> Missing;
};

// Writes the caches of `databasePath` to `outputPath` ("-": standard output). `codes` empty:
// every cache, ordered by code; else the caches named, in the order named (a code named twice
// is written once). Addresses in the file name the host `siteAddressHost` (with its port, if
// any). When no cache is found nothing is written. The file is written aside and renamed into
// place, so a failure leaves an earlier file whole. Throws EStoreError (the database) or
// runtime::EFileError (the file).
TGpxExportResult ExportGpx(const std::string& databasePath, const std::vector<std::string>& codes,
                           const std::string& outputPath, const std::string& siteAddressHost);

}  // namespace store
