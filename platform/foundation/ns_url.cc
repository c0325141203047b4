#include "platform/foundation/ns_url.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <utility>

#include "platform/foundation/file_system.h"
#include "platform/foundation/ns_date.h"
#include "platform/foundation/percent_encoding.h"

const char* const NSURLIsExcludedFromBackupKey = "NSURLIsExcludedFromBackupKey";
const char* const NSURLIsDirectoryKey = "NSURLIsDirectoryKey";
const char* const NSURLFileSizeKey = "NSURLFileSizeKey";
const char* const NSURLContentModificationDateKey = "NSURLContentModificationDateKey";
const char* const NSURLCreationDateKey = "NSURLCreationDateKey";

namespace {

using platform::foundation::internal::FileError;
using platform::foundation::internal::HexDigitValue;

bool IsUnreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Characters a path keeps unencoded.
bool IsPathCharacter(unsigned char c) {
  return IsUnreserved(c) ||
         std::string_view("/!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
}

// Characters allowed anywhere in URL text ("%" is checked separately).
bool IsURLCharacter(unsigned char c) {
  return IsUnreserved(c) || std::string_view(":/?#[]@!$&'()*+,;=").find(static_cast<char>(c)) !=
                                std::string_view::npos;
}

std::string EncodePath(const std::string& path) {
  return platform::foundation::internal::PercentEncode(path, IsPathCharacter);
}

std::string Decode(const std::string& text) {
  return platform::foundation::internal::PercentDecode(text).value_or(text);
}

bool IsValidURLText(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      if (i + 2 >= text.size() || HexDigitValue(text[i + 1]) < 0 ||
          HexDigitValue(text[i + 2]) < 0) {
        return false;
      }
      i += 2;
    } else if (!IsURLCharacter(c)) {
      return false;
    }
  }
  return true;
}

// Splits an encoded path into (everything before the last component, last component, trailing
// slash present). The root "/" has an empty last component.
struct PathParts {
  std::string head;
  std::string last;
  bool trailing_slash = false;
};

PathParts SplitLast(std::string encoded) {
  PathParts parts;
  if (encoded.size() > 1 && encoded.back() == '/') {
    parts.trailing_slash = true;
    while (encoded.size() > 1 && encoded.back() == '/') encoded.pop_back();
  }
  if (encoded == "/") {
    parts.head = "/";
    return parts;
  }
  size_t slash = encoded.rfind('/');
  parts.head = slash == std::string::npos ? "" : encoded.substr(0, slash + 1);
  parts.last = slash == std::string::npos ? encoded : encoded.substr(slash + 1);
  return parts;
}

// The position of the dot that starts the extension of a (decoded or encoded) component.
size_t ExtensionDot(const std::string& component) {
  size_t dot = component.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == component.size()) {
    return std::string::npos;
  }
  return dot;
}

}  // namespace

NSURL::NSURL(std::string text, std::string scheme, std::string host, std::optional<int> port,
             std::string prefix, std::string encoded_path, std::string suffix)
    : text_(std::move(text)),
      scheme_(std::move(scheme)),
      host_(std::move(host)),
      port_(port),
      prefix_(std::move(prefix)),
      encoded_path_(std::move(encoded_path)),
      suffix_(std::move(suffix)) {
  if (!suffix_.empty() && suffix_[0] == '?') query_ = suffix_.substr(1, suffix_.find('#') - 1);
}

std::shared_ptr<NSURL> NSURL::fileURLWithPath(const std::string& path, bool isDirectory) {
  if (path.empty()) return nullptr;
  std::string absolute = path;
  if (absolute[0] != '/') {
    char cwd[4096];
    std::string base = getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "/";
    absolute = base + (base.back() == '/' ? "" : "/") + absolute;
  }
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  if (isDirectory && absolute != "/") absolute += '/';
  std::string encoded = EncodePath(absolute);
  return std::make_shared<NSURL>("file://" + encoded, "file", "", std::nullopt, "file://", encoded,
                                 "");
}

std::shared_ptr<NSURL> NSURL::fileURLWithPath(const std::string& path) {
  struct stat status {};
  bool is_directory = !path.empty() && path.back() == '/';
  if (!path.empty() && stat(path.c_str(), &status) == 0) is_directory = S_ISDIR(status.st_mode);
  return fileURLWithPath(path, is_directory);
}

std::shared_ptr<NSURL> NSURL::URLWithString(const std::string& text) {
  if (text.empty() || !IsValidURLText(text)) return nullptr;
  size_t position = 0;
  std::string scheme;
  size_t colon = text.find(':');
  size_t first_delimiter = text.find_first_of("/?#");
  if (colon != std::string::npos && colon < first_delimiter) {
    if (colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0]))) return nullptr;
    for (size_t i = 0; i < colon; ++i) {
      char c = text[i];
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
        return nullptr;
      }
      scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    position = colon + 1;
  }
  std::string host;
  std::optional<int> port;
  if (text.compare(position, 2, "//") == 0) {
    size_t end = text.find_first_of("/?#", position + 2);
    if (end == std::string::npos) end = text.size();
    std::string authority = text.substr(position + 2, end - position - 2);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority = authority.substr(at + 1);
    size_t port_colon = authority.rfind(':');
    if (port_colon != std::string::npos && authority.find(']', port_colon) == std::string::npos) {
      std::string digits = authority.substr(port_colon + 1);
      authority.resize(port_colon);
      if (!digits.empty()) {
        if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
          return nullptr;
        }
        port = std::stoi(digits);
      }
    }
    host = Decode(authority);
    position = end;
  }
  size_t path_end = text.find_first_of("?#", position);
  if (path_end == std::string::npos) path_end = text.size();
  return std::make_shared<NSURL>(text, scheme, host, port, text.substr(0, position),
                                 text.substr(position, path_end - position), text.substr(path_end));
}

std::string NSURL::path() const {
  std::string decoded = Decode(encoded_path_);
  while (decoded.size() > 1 && decoded.back() == '/') decoded.pop_back();
  return decoded;
}

bool NSURL::hasDirectoryPath() const {
  return !encoded_path_.empty() && encoded_path_.back() == '/';
}

std::string NSURL::lastPathComponent() const {
  PathParts parts = SplitLast(encoded_path_);
  if (parts.last.empty() && parts.head == "/") return "/";
  return Decode(parts.last);
}

std::string NSURL::pathExtension() const {
  std::string last = lastPathComponent();
  size_t dot = ExtensionDot(last);
  return dot == std::string::npos ? "" : last.substr(dot + 1);
}

std::shared_ptr<NSURL> NSURL::WithEncodedPath(std::string encoded_path) const {
  return std::make_shared<NSURL>(prefix_ + encoded_path + suffix_, scheme_, host_, port_, prefix_,
                                 encoded_path, suffix_);
}

std::shared_ptr<NSURL> NSURL::URLByAppendingPathComponent(const std::string& component,
                                                          bool isDirectory) const {
  std::string trimmed = component;
  while (!trimmed.empty() && trimmed.front() == '/') trimmed.erase(trimmed.begin());
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
  std::string encoded = encoded_path_;
  if (encoded.empty() && !prefix_.empty()) encoded = "/";
  if (!encoded.empty() && encoded.back() != '/') encoded += '/';
  encoded += EncodePath(trimmed);
  if (isDirectory && !trimmed.empty()) encoded += '/';
  return WithEncodedPath(encoded);
}

std::shared_ptr<NSURL> NSURL::URLByAppendingPathComponent(const std::string& component) const {
  return URLByAppendingPathComponent(component, !component.empty() && component.back() == '/');
}

std::shared_ptr<NSURL> NSURL::URLByAppendingPathExtension(const std::string& extension) const {
  PathParts parts = SplitLast(encoded_path_);
  if (parts.last.empty()) return WithEncodedPath(encoded_path_);
  return WithEncodedPath(parts.head + parts.last + "." + EncodePath(extension) +
                         (parts.trailing_slash ? "/" : ""));
}

std::shared_ptr<NSURL> NSURL::URLByDeletingLastPathComponent() const {
  PathParts parts = SplitLast(encoded_path_);
  return WithEncodedPath(parts.head);
}

std::shared_ptr<NSURL> NSURL::URLByDeletingPathExtension() const {
  PathParts parts = SplitLast(encoded_path_);
  size_t dot = ExtensionDot(parts.last);
  if (dot == std::string::npos) return WithEncodedPath(encoded_path_);
  return WithEncodedPath(parts.head + parts.last.substr(0, dot) +
                         (parts.trailing_slash ? "/" : ""));
}

bool NSURL::getResourceValue(std::any* value, const std::string& key,
                             std::shared_ptr<NSError>* error) const {
  namespace internal = platform::foundation::internal;
  if (!isFileURL()) {
    NSErrorAssign(
        error, FileError(NSFileReadUnsupportedSchemeError, text_, 0, "Not a file URL: " + text_));
    return false;
  }
  std::string file = path();
  if (key == NSURLIsExcludedFromBackupKey) {
    std::optional<bool> excluded = internal::IsExcludedFromBackup(file, error);
    if (!excluded.has_value()) return false;
    if (value != nullptr) *value = *excluded;
    return true;
  }
  std::optional<internal::FileStatus> status = internal::StatFile(file, true, error);
  if (!status.has_value()) return false;
  std::any result;
  if (key == NSURLIsDirectoryKey) {
    result = status->is_directory;
  } else if (key == NSURLFileSizeKey) {
    result = status->size;
  } else if (key == NSURLContentModificationDateKey) {
    result = NSDate::dateWithTimeIntervalSince1970(status->modification_time);
  } else if (key == NSURLCreationDateKey) {
    if (status->birth_time.has_value()) {
      result = NSDate::dateWithTimeIntervalSince1970(*status->birth_time);
    }
  } else {
    NSErrorAssign(error, FileError(NSFileReadUnknownError, file, 0, "Unknown resource key " + key));
    return false;
  }
  if (value != nullptr) *value = std::move(result);
  return true;
}

bool NSURL::setResourceValue(const std::any& value, const std::string& key,
                             std::shared_ptr<NSError>* error) const {
  const bool* flag = std::any_cast<bool>(&value);
  if (!isFileURL() || key != NSURLIsExcludedFromBackupKey || flag == nullptr) {
    NSErrorAssign(error, FileError(NSFileWriteUnknownError, path(), 0,
                                   "Cannot set resource value " + key + " of " + text_));
    return false;
  }
  return platform::foundation::internal::SetExcludedFromBackup(path(), *flag, error);
}
