// NSURL: an immutable URL, either a file URL ("file:///path") or any absolute or relative URL
// text.
//
//   auto folder = NSURL::fileURLWithPath("/data/Documents", true);
//   auto file = folder->URLByAppendingPathComponent("model v1.zip");
//   file->path();               // "/data/Documents/model v1.zip"
//   file->absoluteString();     // "file:///data/Documents/model%20v1.zip"
//   file->pathExtension();      // "zip"
//   NSURL::URLWithString("not a url");   // null: a space is not allowed in URL text
//
// The path of a URL is kept percent-encoded as written; `path()` decodes it. Path operations
// work on the text and never ask the file system, except `fileURLWithPath(path)` without a
// directory flag, which looks whether a folder exists there (as the platform does) to decide
// whether the URL ends with "/". A URL that ends with "/" is a directory URL
// (`hasDirectoryPath`); `path()` never ends with "/" except for the root.
//
// Resource values of file URLs (excluded from backup, dates, size, kind) are read and written
// through getResourceValue / setResourceValue; see ns_file_manager.h for what they mean here.
#ifndef PLATFORM_FOUNDATION_NS_URL_H_
#define PLATFORM_FOUNDATION_NS_URL_H_

#include <any>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/ns_error.h"

// Resource-value keys.
extern const char* const NSURLIsExcludedFromBackupKey;     // bool, readable and writable
extern const char* const NSURLIsDirectoryKey;              // bool
extern const char* const NSURLFileSizeKey;                 // unsigned long long
extern const char* const NSURLContentModificationDateKey;  // std::shared_ptr<NSDate>
extern const char* const NSURLCreationDateKey;  // std::shared_ptr<NSDate>; empty when unknown

class NSURL {
 public:
  // A file URL for an absolute path, or a path relative to the working folder. Null for an
  // empty path.
  static std::shared_ptr<NSURL> fileURLWithPath(const std::string& path);
  static std::shared_ptr<NSURL> fileURLWithPath(const std::string& path, bool isDirectory);

  // Null when `text` is empty or is not URL text: characters outside the URL character set
  // (spaces, controls, non-ASCII), a "%" not followed by two hex digits, or a scheme that does
  // not start with a letter. Text without a scheme is a relative URL.
  static std::shared_ptr<NSURL> URLWithString(const std::string& text);

  const std::string& absoluteString() const { return text_; }
  // The same text: the form a URL takes in messages.
  const std::string& description() const { return text_; }

  // The lower-cased scheme ("file", "https"), empty for a relative URL.
  const std::string& scheme() const { return scheme_; }
  bool isFileURL() const { return scheme_ == "file"; }
  // The host, empty when there is none; the port, none when not given.
  const std::string& host() const { return host_; }
  std::optional<int> port() const { return port_; }
  const std::string& query() const { return query_; }

  // The decoded path without a trailing "/" (the root stays "/").
  std::string path() const;
  bool hasDirectoryPath() const;
  // The last component of the path ("" for an empty path, "/" for the root).
  std::string lastPathComponent() const;
  // The text after the last "." of the last component, when that dot is neither its first nor
  // its last character; else "".
  std::string pathExtension() const;

  std::shared_ptr<NSURL> URLByAppendingPathComponent(const std::string& component) const;
  std::shared_ptr<NSURL> URLByAppendingPathComponent(const std::string& component,
                                                     bool isDirectory) const;
  std::shared_ptr<NSURL> URLByAppendingPathExtension(const std::string& extension) const;
  // The URL of the folder that holds this one, as a directory URL. The root stays the root.
  std::shared_ptr<NSURL> URLByDeletingLastPathComponent() const;
  std::shared_ptr<NSURL> URLByDeletingPathExtension() const;

  bool isEqual(const NSURL& other) const { return text_ == other.text_; }

  // File URLs only. `value` receives the value of `key` (types listed at the keys); an empty
  // value means the file system does not know it. False with an error for a missing file, a
  // URL that is not a file URL, an unknown key, or a file system that refuses the attribute.
  bool getResourceValue(std::any* value, const std::string& key,
                        std::shared_ptr<NSError>* error) const;
  // Only NSURLIsExcludedFromBackupKey (a bool) can be set.
  bool setResourceValue(const std::any& value, const std::string& key,
                        std::shared_ptr<NSError>* error) const;

  // Use the factories above.
  NSURL(std::string text, std::string scheme, std::string host, std::optional<int> port,
        std::string prefix, std::string encoded_path, std::string suffix);

 private:
  std::shared_ptr<NSURL> WithEncodedPath(std::string encoded_path) const;

  std::string text_;
  std::string scheme_;
  std::string host_;
  std::optional<int> port_;
  std::string query_;
  // text_ = prefix_ + encoded_path_ + suffix_, where prefix_ holds the scheme and authority
  // and suffix_ the query and fragment.
  std::string prefix_;
  std::string encoded_path_;
  std::string suffix_;
};

#endif  // PLATFORM_FOUNDATION_NS_URL_H_
