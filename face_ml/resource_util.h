// Resource files of the framework: relative paths name files in the resource folder of the
// bundle that holds the framework's code, absolute paths name themselves.
//
//   std::string contents;
//   RETURN_IF_ERROR(kaldren::GetResourceContents("face_detector.tflite", &contents));

#ifndef FACE_ML_RESOURCE_UTIL_H_
#define FACE_ML_RESOURCE_UTIL_H_

#include <string>

#include "base/status.h"
#include "base/statusor.h"

namespace kaldren {

// The full path of a resource. An absolute path is returned unchanged, without testing that
// it exists. A relative path is looked up in the bundle's resource folder, then retried with
// its part after the last "/" or "\"; a hit is logged at INFO ("Successfully loaded: " and the
// path that hit). Every lookup that misses writes an ERROR line naming the full path it tried,
// also a first try that the retry then recovers; a miss of both is INTERNAL
// "cannot find file: " and the full path tried last.
util::StatusOr<std::string> PathToResourceAsFile(const std::string& path);

// Reads the whole resource into `output`. A file that cannot be opened or read is INTERNAL
// "cannot open file: " and its full path; `output` is then left unchanged.
absl::Status GetResourceContents(const std::string& path, std::string* output);

}  // namespace kaldren

#endif  // FACE_ML_RESOURCE_UTIL_H_
