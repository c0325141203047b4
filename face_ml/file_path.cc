#include "face_ml/file_path.h"

namespace file {
namespace {

bool StartsWithSlash(std::string_view s) { return !s.empty() && s.front() == '/'; }
bool EndsWithSlash(std::string_view s) { return !s.empty() && s.back() == '/'; }

}  // namespace

namespace internal {

std::string JoinPathImpl(bool honor_absolute, std::initializer_list<std::string_view> paths) {
  std::string result;
  for (std::string_view path : paths) {
    if (path.empty()) continue;
    if (StartsWithSlash(path)) {
      if (honor_absolute) {
        result.assign(path);
        continue;
      }
      if (EndsWithSlash(result)) path.remove_prefix(1);
    } else if (!result.empty() && !EndsWithSlash(result)) {
      result += '/';
    }
    result.append(path);
  }
  return result;
}

std::pair<std::string_view, std::string_view> SplitBasename(std::string_view path) {
  std::string_view base = Basename(path);
  size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return {base, std::string_view()};
  return {base.substr(0, dot), base.substr(dot + 1)};
}

}  // namespace internal

std::string JoinPath(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (b.empty()) return std::string(a);
  std::string result(a);
  if (EndsWithSlash(a)) {
    if (StartsWithSlash(b)) b.remove_prefix(1);
  } else if (!StartsWithSlash(b)) {
    result += '/';
  }
  result.append(b);
  return result;
}

bool IsAbsolutePath(std::string_view path) { return StartsWithSlash(path); }

std::string AddSlash(std::string_view path) {
  std::string result(path);
  if (!result.empty() && !EndsWithSlash(result)) result += '/';
  return result;
}

std::pair<std::string_view, std::string_view> SplitPath(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {std::string_view(), path};
  if (slash == 0) return {path.substr(0, 1), path.substr(1)};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

std::string_view Dirname(std::string_view path) { return SplitPath(path).first; }
std::string_view Basename(std::string_view path) { return SplitPath(path).second; }
std::string_view Stem(std::string_view path) { return internal::SplitBasename(path).first; }
std::string_view Extension(std::string_view path) { return internal::SplitBasename(path).second; }

std::string CleanPath(std::string_view path) {
  std::string out;
  size_t i = 0;
  const size_t n = path.size();
  const bool absolute = StartsWithSlash(path);
  if (absolute) {
    out = "/";
    while (i < n && path[i] == '/') ++i;
  }
  // Nothing before this position of `out` may be removed by "..".
  size_t backtrack_limit = out.size();
  while (i < n) {
    size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = n;
    const std::string_view component = path.substr(i, end - i);
    const bool followed_by_slash = end < n;
    i = end;
    while (i < n && path[i] == '/') ++i;

    if (component == ".") continue;
    if (component == "..") {
      if (out.size() > backtrack_limit) {
        // `out` ends with "<previous component>/": cut back to the slash before it.
        size_t previous = out.rfind('/', out.size() - 2);
        out.resize(previous == std::string::npos || previous + 1 < backtrack_limit
                       ? backtrack_limit
                       : previous + 1);
      } else if (!absolute) {
        out += followed_by_slash ? "../" : "..";
        backtrack_limit = out.size();
      }
      continue;
    }
    out.append(component);
    if (followed_by_slash) out += '/';
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  if (out.empty()) out = ".";
  return out;
}

std::string CollapseSlashes(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/' && EndsWithSlash(out)) continue;
    out += c;
  }
  return out;
}

}  // namespace file
