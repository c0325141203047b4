#ifndef PLATFORM_ZIPFOUNDATION_UNZIP_H_
#define PLATFORM_ZIPFOUNDATION_UNZIP_H_

// Unpacking ZIP archives through a file manager, in the shape of the ZIP library the views
// use on the platform (an unzipItem extension of the file manager), over minizip.
//
//   std::shared_ptr<NSError> error;
//   if (!unzipItem(*NSFileManager::defaultManager(), *archive_url, *folder_url,
//                  /*skipCRC32=*/true, &error)) {
//     print("Extraction of ZIP archive failed with error:" + error->description());
//   }
//
// Every entry is checked before anything is written, and the archive is refused as a whole
// (nothing written) when an entry name is empty, absolute, contains a ".." component or a
// backslash, is a symbolic link, names the archive itself (an archive unpacked into its own
// folder), or names an item that already exists at the destination. Then directories are made
// and files written below the destination folder, which is created when missing. With
// skipCRC32 false a file whose checksum does not match fails the unpack (entries written
// before it stay). An archive whose entries declare, or turn out to hold, more than
// kZIPArchiveMaxUncompressedBytes together is refused as too large; when that shows only while
// writing, everything this call wrote is removed again. Errors are NSErrors of the domain ZIPArchiveErrorDomain, with a description
// that names the entry. Thread-safe (no shared state).

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/ns_url.h"

extern const std::string ZIPArchiveErrorDomain;

enum ZIPArchiveError : long {
  ZIPArchiveErrorUnreadableArchive = 1,
  ZIPArchiveErrorInvalidEntryPath = 2,
  ZIPArchiveErrorSymbolicLinkEntry = 3,
  ZIPArchiveErrorEntryExists = 4,
  ZIPArchiveErrorInvalidCRC32 = 5,
  ZIPArchiveErrorWriteFailed = 6,
  ZIPArchiveErrorTooLarge = 7,
};

// The most bytes the entries of one archive may unpack to, together.
inline constexpr uint64_t kZIPArchiveMaxUncompressedBytes = uint64_t{512} << 20;

bool unzipItem(const NSFileManager& file_manager, const NSURL& source, const NSURL& destination,
               bool skipCRC32, std::shared_ptr<NSError>* error);

#endif  // PLATFORM_ZIPFOUNDATION_UNZIP_H_
