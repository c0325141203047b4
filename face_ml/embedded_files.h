// The process-wide table of files linked into the program, addressed by "embedded:<name>"
// paths. A data library registers its files with a static EmbeddedFiles::TocInserter; nothing
// in this project links one, so the table is empty and every "embedded:" path is a miss.

#ifndef FACE_ML_EMBEDDED_FILES_H_
#define FACE_ML_EMBEDDED_FILES_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "absl/types/optional.h"

namespace research {
namespace sorvanti {
namespace api {

// One entry of a data library's table of contents; an entry whose name is null ends it.
struct FileToc {
  const char* name;
  const char* data;
  size_t size;
  uintptr_t reserved[2];  // not read
};

class EmbeddedFiles {
 public:
  struct File {
    const char* data;
    uint64_t size;
    std::string rule;  // the rule that registered the file
  };

  // Registers every entry of `toc` under `rule`. A name registered twice ends the process.
  class TocInserter {
   public:
    TocInserter(const FileToc* toc, const std::string& rule);
  };

  // The table, created empty on first use and never freed.
  static std::map<std::string, File>& GetMap();

  // True for "embedded:" followed by any name, the empty name included.
  static bool IsEmbeddedPath(std::string_view path);

  // The bytes of an embedded path's file; nothing when the path is not embedded or the file
  // is not registered.
  static absl::optional<std::string_view> Get(std::string_view path);
  // Get, ending the process when it gives nothing.
  static std::string_view GetOrDie(std::string_view path);
};

}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_EMBEDDED_FILES_H_
