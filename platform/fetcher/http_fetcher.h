// The HTTP fetcher: one request (method, header fields, body bytes) sent with libcurl, its
// answer handed to a completion on a fetcher thread.
//
//   auto request = NSMutableURLRequest::requestWithURL("https://logs.example.com/log");
//   request->setHTTPMethod("POST");
//   request->setValue("gzip", "Content-Encoding");
//   auto fetch = platform::fetcher::Fetcher::fetcherWithRequest(request);
//   fetch->setBodyData(compressed);                 // the request's body; a GET becomes a POST
//   fetch->setComment("Uploader");
//   fetch->setCookieStorage(platform::fetcher::CookieStorage::make());
//   fetch->setRetryEnabled(false);
//   fetch->beginFetchWithCompletionHandler(
//       [fetch](std::optional<std::vector<uint8_t>> data, std::shared_ptr<NSError> error) {
//         long status = fetch->statusCode();        // 0 when no response came
//         ...
//       });
//
// Outcomes. The completion is called exactly once per begun fetch, unless the fetch was
// stopped first (then never), on a fetcher thread and never inside `beginFetch...`:
//   - a status in 200..299: (body, null);
//   - any other status: (body, error) with the error in kFetcherStatusDomain, its code the
//     status, and the body also kept in the error's user info under kFetcherStatusDataKey;
//   - no response at all: (none, error) in NSURLErrorDomain, and statusCode() reads 0:
//       -1000 bad URL, -1001 timed out, -1003 host not found, -1004 connection refused,
//       -1009 network unreachable, -1011 a reply that is not HTTP or a connection closed
//       without one (and other transfer failures);
//   - an authorizer that refuses: (none, its error).
// The time-out (setTimeout, else the request's interval) bounds connecting and every stretch
// without a byte, not the whole exchange, so a slow large upload is not cut off. libcurl judges
// "without a byte" by its speed over the last few seconds, so a server that stops answering
// right after a body was sent is noticed a few seconds after the time-out.
// The response (status code and header fields) is readable through `response()` once the
// completion runs.
//
// Header fields whose name or value holds CR, LF or NUL are dropped, with a line in the system
// log; the request still goes. Proxies are never used. Nothing is retried here: a retry switch is
// kept for callers that state their wish, and only `false` is supported. `allowsCellularAccess`
// is recorded (there is no cellular network here).
//
// A method that is not an HTTP token (RFC 7230: letters, digits and "!#$%&'*+-.^_`|~") is
// refused before anything is sent: (none, an NSURLErrorDomain error -1).
//
// Cookies: a fetch sends the cookies of its cookie storage that match the request's host and
// path (a Secure cookie only when the request's URL is https) and stores the cookies its
// response sets; a fetch without a storage neither sends nor keeps any.
//
// A fetch is used once. Its setters belong to the thread that builds it, before the fetch
// begins; `stopFetching` and the readers may be called from any thread.
//
// Tests reach the fixed service hosts on a local server through `SetHostMap`, and make fetches
// fail without a connection through `ScriptErrors`.
#ifndef PLATFORM_FETCHER_HTTP_FETCHER_H_
#define PLATFORM_FETCHER_HTTP_FETCHER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_http_cookie.h"
#include "platform/foundation/ns_url_response.h"

namespace platform::fetcher {

// The domain of errors for an HTTP status outside 200..299; the error's code is the status.
inline constexpr char kFetcherStatusDomain[] = "com.quillmere.fetcher.HTTPStatus";
// User-info key of a status error: the response body, std::vector<uint8_t>.
inline constexpr char kFetcherStatusDataKey[] = "data";

// Signs a request before it is sent (an account's credentials), on the fetcher thread.
class Authorizer {
 public:
  virtual ~Authorizer() = default;
  // False (with *error) when the request cannot be signed; the fetch then fails with that error.
  virtual bool authorizeRequest(NSMutableURLRequest& request, std::shared_ptr<NSError>* error) = 0;
};

// Cookies kept between the fetches that share a storage. Thread-safe.
class CookieStorage {
 public:
  static std::shared_ptr<CookieStorage> make() { return std::make_shared<CookieStorage>(); }

  std::vector<std::shared_ptr<NSHTTPCookie>> cookies() const;
  // Adds the cookies, replacing kept ones of the same name, domain and path.
  void setCookies(const std::vector<std::shared_ptr<NSHTTPCookie>>& cookies);
  // The kept cookies that apply to `host` and `path`.
  std::vector<std::shared_ptr<NSHTTPCookie>> cookiesForHost(const std::string& host,
                                                            const std::string& path) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<NSHTTPCookie>> cookies_;
};

class Fetcher : public std::enable_shared_from_this<Fetcher> {
 public:
  using Completion =
      std::function<void(std::optional<std::vector<uint8_t>> data, std::shared_ptr<NSError> error)>;

  // A fetch of `request`, which the fetch then owns (null for none).
  static std::shared_ptr<Fetcher> fetcherWithRequest(std::shared_ptr<NSMutableURLRequest> request);

  void setAuthorizer(std::shared_ptr<Authorizer> authorizer);
  // Sets the request's body; a request whose method is still "GET" is sent as "POST".
  void setBodyData(std::vector<uint8_t> body);
  // A free text naming the fetch for diagnostics.
  void setComment(std::string comment);
  const std::string& comment() const { return comment_; }
  void setCookieStorage(std::shared_ptr<CookieStorage> storage);
  std::shared_ptr<CookieStorage> cookieStorage() const { return cookie_storage_; }
  // Recorded only: this fetcher never retries.
  void setRetryEnabled(bool enabled) { retry_enabled_ = enabled; }
  bool retryEnabled() const { return retry_enabled_; }
  void setAllowsCellularAccess(bool allowed) { allows_cellular_access_ = allowed; }
  bool allowsCellularAccess() const { return allows_cellular_access_; }
  // Seconds of idle time allowed (default: the request's timeout interval).
  void setTimeout(double seconds) { timeout_ = seconds; }

  // Starts the fetch on a thread of its own. A second call is ignored.
  void beginFetchWithCompletionHandler(Completion completion);
  // Abandons the fetch: its completion is not called (also when it is being delivered now and
  // has not started yet). A transfer in progress is cut off.
  void stopFetching();
  bool isFetching() const;

  // The request as it is sent (the authorizer's fields are added on the fetcher thread).
  const std::shared_ptr<NSMutableURLRequest>& request() const { return request_; }
  // The HTTP response, or null before one came.
  std::shared_ptr<NSHTTPURLResponse> response() const;
  // The response's status code, 0 when there is none.
  long statusCode() const;

  explicit Fetcher(std::shared_ptr<NSMutableURLRequest> request) : request_(std::move(request)) {}

 private:
  struct Outcome;
  void Run(Completion completion);
  Outcome Transfer(const std::string& url);
  void Deliver(Completion completion, Outcome outcome);

  std::shared_ptr<NSMutableURLRequest> request_;
  std::shared_ptr<Authorizer> authorizer_;
  std::string comment_;
  std::shared_ptr<CookieStorage> cookie_storage_;
  bool retry_enabled_ = false;
  bool allows_cellular_access_ = true;
  std::optional<double> timeout_;

  mutable std::mutex mutex_;
  bool begun_ = false;
  bool stopped_ = false;
  bool finished_ = false;
  std::shared_ptr<NSHTTPURLResponse> response_;
};

// Tests: requests to a host of `hosts` go to its base instead ("http://127.0.0.1:8080"); the
// path and query stay. An empty map ends the redirection.
void SetHostMap(std::map<std::string, std::string> hosts);
// Tests: the next fetches fail with these NSURLErrorDomain codes, one each, in order, without
// connecting. Replaces codes still queued.
void ScriptErrors(std::vector<long> codes);
// Tests: every fetch's time-out in seconds, over setTimeout and the request's; 0 ends it.
void SetTimeoutOverride(double seconds);

}  // namespace platform::fetcher

#endif  // PLATFORM_FETCHER_HTTP_FETCHER_H_
