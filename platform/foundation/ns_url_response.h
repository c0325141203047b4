// URL requests and responses of the URL-loading layer.
//
// `NSURLRequest` names what to load: the URL text, the time-out interval (the longest a
// transfer may stay idle, connecting or waiting for the next bytes, before it fails with
// NSURLErrorTimedOut), and for HTTP the method, the header fields and the body.
// `NSMutableURLRequest` is the same value with setters, for callers that build a request step
// by step:
//
//   auto request = NSMutableURLRequest::requestWithURL("https://example.com/log");
//   request->setHTTPMethod("POST");
//   request->setValue("gzip", "Content-Encoding");
//   request->setHTTPBody(compressed);
//
// Header field names are compared without regard to case: setting "content-encoding" replaces
// "Content-Encoding", and the field keeps the spelling of its latest setter.
//
// `NSURLResponse` describes what came back; over HTTP it is an `NSHTTPURLResponse` with the
// status code and the header fields of the final response (after redirects). A status code of
// 404 or 500 is a response like any other, not an error.
// Requests and responses are not changed after they are handed on and may then be shared
// between threads; a mutable request is owned by one thread while it is being built.
#ifndef PLATFORM_FOUNDATION_NS_URL_RESPONSE_H_
#define PLATFORM_FOUNDATION_NS_URL_RESPONSE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum NSURLRequestCachePolicy : unsigned long {
  NSURLRequestUseProtocolCachePolicy = 0,
};

class NSURLRequest {
 public:
  // Field names with the spelling they were set with.
  using HeaderFields = std::map<std::string, std::string>;

  static constexpr double kDefaultTimeoutInterval = 60.0;

  static std::shared_ptr<NSURLRequest> requestWithURL(std::string url);
  static std::shared_ptr<NSURLRequest> requestWithURL(std::string url,
                                                      NSURLRequestCachePolicy cachePolicy,
                                                      double timeoutInterval);

  const std::string& URL() const { return url_; }
  NSURLRequestCachePolicy cachePolicy() const { return cache_policy_; }
  double timeoutInterval() const { return timeout_interval_; }
  // "GET" unless set otherwise.
  const std::string& HTTPMethod() const { return http_method_; }
  const HeaderFields& allHTTPHeaderFields() const { return header_fields_; }
  // The value of a header field, its name compared without regard to case.
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
  const std::vector<uint8_t>& HTTPBody() const { return http_body_; }

  NSURLRequest(std::string url, NSURLRequestCachePolicy cachePolicy, double timeoutInterval)
      : url_(std::move(url)), cache_policy_(cachePolicy), timeout_interval_(timeoutInterval) {}
  virtual ~NSURLRequest() = default;

 protected:
  std::string url_;
  NSURLRequestCachePolicy cache_policy_;
  double timeout_interval_;
  std::string http_method_ = "GET";
  HeaderFields header_fields_;
  std::vector<uint8_t> http_body_;
};

class NSMutableURLRequest : public NSURLRequest {
 public:
  static std::shared_ptr<NSMutableURLRequest> requestWithURL(std::string url);

  using NSURLRequest::NSURLRequest;

  void setURL(std::string url) { url_ = std::move(url); }
  void setTimeoutInterval(double timeoutInterval) { timeout_interval_ = timeoutInterval; }
  void setHTTPMethod(std::string method) { http_method_ = std::move(method); }
  // Sets the field, replacing a field of the same name in any case; an empty value removes it.
  void setValue(const std::string& value, const std::string& field);
  // Appends to the field, separated by ",", or sets it when there is none.
  void addValue(const std::string& value, const std::string& field);
  void setAllHTTPHeaderFields(const HeaderFields& fields);
  void setHTTPBody(std::vector<uint8_t> body) { http_body_ = std::move(body); }
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

  // A response made by the caller (tests, caches): the length is unknown (-1).
  static std::shared_ptr<NSHTTPURLResponse> initWithURL(std::string url, long statusCode,
                                                        HeaderFields headerFields);

  NSHTTPURLResponse(std::string url, long statusCode, HeaderFields headerFields,
                    long long expectedContentLength)
      : NSURLResponse(std::move(url), expectedContentLength),
        status_code_(statusCode),
        header_fields_(std::move(headerFields)) {}

  long statusCode() const { return status_code_; }
  const HeaderFields& allHeaderFields() const { return header_fields_; }
  // The value of a header field, its name compared without regard to case.
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;

  // Takes one header line as a transfer receives it, line end included: a status line starts a
  // new set (so only the last response's fields stay, not those of redirects), "Name: value"
  // adds a field or joins a repeated one, anything else is ignored.
  static void AddReceivedHeaderLine(std::string line, HeaderFields* fields);

 private:
  long status_code_;
  HeaderFields header_fields_;
};

#endif  // PLATFORM_FOUNDATION_NS_URL_RESPONSE_H_
