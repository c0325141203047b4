// URL requests and responses of the URL-loading layer.
//
// `NSURLRequest` names what to load: the URL text and the time-out interval, the longest a
// transfer may stay idle (connecting, or waiting for the next bytes) before it fails with
// NSURLErrorTimedOut. `NSURLResponse` describes what came back; over HTTP it is an
// `NSHTTPURLResponse` with the status code and the header fields of the final response (after
// redirects). A status code of 404 or 500 is a response like any other, not an error.
// All three are immutable and may be shared between threads.
#ifndef PLATFORM_FOUNDATION_NS_URL_RESPONSE_H_
#define PLATFORM_FOUNDATION_NS_URL_RESPONSE_H_

#include <map>
#include <memory>
#include <optional>
#include <string>

enum NSURLRequestCachePolicy : unsigned long {
  NSURLRequestUseProtocolCachePolicy = 0,
};

class NSURLRequest {
 public:
  static constexpr double kDefaultTimeoutInterval = 60.0;

  static std::shared_ptr<NSURLRequest> requestWithURL(std::string url);
  static std::shared_ptr<NSURLRequest> requestWithURL(std::string url,
                                                      NSURLRequestCachePolicy cachePolicy,
                                                      double timeoutInterval);

  const std::string& URL() const { return url_; }
  NSURLRequestCachePolicy cachePolicy() const { return cache_policy_; }
  double timeoutInterval() const { return timeout_interval_; }

  NSURLRequest(std::string url, NSURLRequestCachePolicy cachePolicy, double timeoutInterval)
      : url_(std::move(url)), cache_policy_(cachePolicy), timeout_interval_(timeoutInterval) {}

 private:
  std::string url_;
  NSURLRequestCachePolicy cache_policy_;
  double timeout_interval_;
};

class NSURLResponse {
 public:
  NSURLResponse(std::string url, long long expectedContentLength)
      : url_(std::move(url)), expected_content_length_(expectedContentLength) {}
  virtual ~NSURLResponse() = default;

  // The URL the response came from (the last one after redirects).
  const std::string& URL() const { return url_; }
  // The announced length of the body, or -1 when unknown.
  long long expectedContentLength() const { return expected_content_length_; }

 private:
  std::string url_;
  long long expected_content_length_;
};

class NSHTTPURLResponse : public NSURLResponse {
 public:
  // Field names as the server sent them; repeated fields are joined with ", ".
  using HeaderFields = std::map<std::string, std::string>;

  NSHTTPURLResponse(std::string url, long statusCode, HeaderFields headerFields,
                    long long expectedContentLength)
      : NSURLResponse(std::move(url), expectedContentLength),
        status_code_(statusCode),
        header_fields_(std::move(headerFields)) {}

  long statusCode() const { return status_code_; }
  const HeaderFields& allHeaderFields() const { return header_fields_; }
  // The value of a header field, its name compared without regard to case.
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;

 private:
  long status_code_;
  HeaderFields header_fields_;
};

#endif  // PLATFORM_FOUNDATION_NS_URL_RESPONSE_H_
