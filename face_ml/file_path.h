// Path strings: joining, splitting and normalising "/"-separated paths. Nothing here touches
// the file system.
//
//   file::JoinPath("models", "face.tflite")          // "models/face.tflite"
//   file::CleanPath("/a/./b/../../c/")               // "/c"
//   file::Stem("a/b.c.d")                            // "b.c"

#ifndef FACE_ML_FILE_PATH_H_
#define FACE_ML_FILE_PATH_H_

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace file {
namespace internal {

// Joins the non-empty parts with single "/" between them. A part beginning with "/" restarts
// the result when `honor_absolute` is true; otherwise it is appended, without its leading "/"
// when the result already ends with one.
std::string JoinPathImpl(bool honor_absolute, std::initializer_list<std::string_view> paths);

// Basename(path) split at its last dot (which belongs to neither part); without a dot, the
// whole base name and "".
std::pair<std::string_view, std::string_view> SplitBasename(std::string_view path);

}  // namespace internal

// a + "/" + b, adding or removing exactly one slash at the seam; an empty side gives the other.
std::string JoinPath(std::string_view a, std::string_view b);

bool IsAbsolutePath(std::string_view path);

// `path` with a trailing "/" (an empty path stays empty).
std::string AddSlash(std::string_view path);

// Directory and base name around the last "/": ("", path) without a slash, ("/", rest) when
// the only slash leads.
std::pair<std::string_view, std::string_view> SplitPath(std::string_view path);
std::string_view Dirname(std::string_view path);
std::string_view Basename(std::string_view path);
std::string_view Stem(std::string_view path);
std::string_view Extension(std::string_view path);

// Removes "." components, resolves ".." against the previous component (never above the root
// of an absolute path; kept at the front of a relative one), collapses slashes and drops a
// trailing one. An empty result is ".".
std::string CleanPath(std::string_view path);

// Every run of "/" becomes one "/".
std::string CollapseSlashes(std::string_view path);

}  // namespace file

#endif  // FACE_ML_FILE_PATH_H_
