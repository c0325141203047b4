// Whole-file reads and writes of byte buffers (the platform's data objects are
// std::vector<uint8_t> here).
//
//   std::shared_ptr<NSError> error;
//   NSDataWriteToURL(bytes, *url, NSDataWritingAtomic, &error);
//   auto read = NSDataWithContentsOfURL(*url, &error);   // none on failure
//
// An atomic write never shows a partial file under the destination's name: the bytes go to a
// new file ".<name>.<unique>.tmp" in the same folder, which is flushed to the disk (fsync),
// renamed onto the destination (replacing it in one step), and the folder is flushed too so
// that the rename survives a crash. A reader (or a process that starts after a crash) sees the
// old file or the new one, never a mixture. If the writer dies midway, the temporary file may
// stay behind; its name starts with "." so listings that skip hidden files do not show it.
//
// A plain write truncates and rewrites the destination in place. Errors are NSCocoaErrorDomain
// errors as described in ns_file_manager.h.
#ifndef PLATFORM_FOUNDATION_NS_DATA_H_
#define PLATFORM_FOUNDATION_NS_DATA_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url.h"

enum NSDataWritingOptions : unsigned long {
  NSDataWritingAtomic = 1UL << 0,
  // Fail with NSFileWriteFileExistsError when the destination exists.
  NSDataWritingWithoutOverwriting = 1UL << 1,
};

std::optional<std::vector<uint8_t>> NSDataWithContentsOfFile(const std::string& path,
                                                             std::shared_ptr<NSError>* error);
std::optional<std::vector<uint8_t>> NSDataWithContentsOfURL(const NSURL& url,
                                                            std::shared_ptr<NSError>* error);

// The file's contents as UTF-8 text; none with NSFileReadInapplicableStringEncodingError when
// they are not valid UTF-8 (bad sequences, overlong forms, surrogates, values past U+10FFFF).
std::optional<std::string> NSStringWithContentsOfFile(const std::string& path,
                                                      std::shared_ptr<NSError>* error);
std::optional<std::string> NSStringWithContentsOfURL(const NSURL& url,
                                                     std::shared_ptr<NSError>* error);

bool NSDataWriteToFile(const std::vector<uint8_t>& data, const std::string& path,
                       unsigned long options, std::shared_ptr<NSError>* error);
bool NSDataWriteToURL(const std::vector<uint8_t>& data, const NSURL& url, unsigned long options,
                      std::shared_ptr<NSError>* error);
// The short form: atomic or plain, no error details.
bool NSDataWriteToFile(const std::vector<uint8_t>& data, const std::string& path, bool atomically);

namespace platform::foundation {

// The points between the steps of an atomic write, in order.
enum class AtomicWriteStep {
  kTemporaryFileCreated,  // the temporary file exists and is empty
  kHalfWritten,           // the first half of the bytes is in the temporary file
  kWritten,               // all bytes are written, not yet flushed
  kFlushed,               // the temporary file is flushed and closed
  kRenamed,               // the temporary file carries the destination's name
  kFolderFlushed,         // the folder is flushed: the write is complete
};

// Called at every step of every atomic write with the step and the temporary file's path.
// When it answers true the write stops right there, as if the process had been killed: nothing
// is cleaned up, and the write fails with NSFileWriteUnknownError. An empty hook (the default)
// never stops a write. Process-wide; meant for tests that show what a crash leaves behind.
using AtomicWriteFaultHook = std::function<bool(AtomicWriteStep step, const std::string& path)>;
void SetAtomicWriteFaultHook(AtomicWriteFaultHook hook);

// Removes, in `folder` and the folders below it down to `depth` levels, the temporary files that
// atomic writes of a process that died left behind: names of the form ".<name>.<unique>.tmp"
// whose unique part names a process that no longer runs, or that are older than an hour (no
// write takes that long). Other files, and temporaries of running writes, stay. Returns how many
// files went; a folder that cannot be read is skipped.
int RemoveStaleAtomicWriteTemporaries(const std::string& folder, int depth);

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_NS_DATA_H_
