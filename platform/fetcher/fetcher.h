// An HTTP fetcher: one request (any method, header fields, body bytes) sent over libcurl, its
// answer delivered to a completion on a thread of the fetcher's own.
//
//   auto request = NSMutableURLRequest::requestWithURL("https://logs.example.com/log");
//   request->setHTTPMethod("POST");
//   request->setValue("gzip", "Content-Encoding");
//   auto fetch = platform::fetcher::Fetcher::fetcherWithRequest(request);
//   fetch->setBodyData(compressed);                 // also makes a GET a POST
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
//   - any other status: (body, error) with the error in kStatusErrorDomain, its code the
//     status, and the body also kept in the error's user info under kStatusDataKey;
//   - no response at all: (none, error) in NSURLErrorDomain, and statusCode() reads 0:
//       -1000 bad URL, -1001 timed out (the request's timeout interval bounds connecting and
//       every stretch without a byte), -1003 host not found, -1004 connection refused,
//       -1005 connection closed without an answer, -1009 network unreachable,
//       -1011 a reply that is not HTTP, -1 anything else.
// The response (status code and header fields) is readable through `response()` once the
// completion runs.
//
// Header fields whose name or value holds CR, LF or NUL are dropped, with a line in the system
// log; the request still goes. Proxies are never used. Nothing is retried here: a retry switch is
// kept for callers that state their wish, and only `false` is supported. `allowsCellularAccess`
// is recorded (there is no cellular network here).
//
// Cookies: a fetch sends the cookies of its cookie storage that match the request's host and
// stores the cookies its response sets; a fetch without a storage neither sends nor keeps any.
//
// A fetch is used once. Its setters belong to the thread that builds it, before the fetch
// begins; `stopFetching` and the readers may be called from any thread.
//
// Tests send fixed HTTPS hosts to a local server with SetHostMapForTesting, and make the next
// fetches fail without network with ScriptErrorForTesting.
#ifndef PLATFORM_FETCHER_FETCHER_H_
#define PLATFORM_FETCHER_FETCHER_H_

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
extern const char* const kStatusErrorDomain;
// User-info key of a status error: the response body, std::vector<uint8_t>.
extern const char* const kStatusDataKey;

// Signs a request before it is sent, for example with an "Authorization" header field.
class Authorizer {
 public:
  virtual ~Authorizer() = default;
  virtual void authorizeRequest(NSMutableURLRequest& request) = 0;
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

  // A fetch of a copy of `request` (its URL, method, header fields, body and time-out).
  static std::shared_ptr<Fetcher> fetcherWithRequest(std::shared_ptr<const NSURLRequest> request);

  void setAuthorizer(std::shared_ptr<Authorizer> authorizer);
  // The body to send; a request whose method is still "GET" is sent as "POST".
  void setBodyData(std::vector<uint8_t> body);
  // A free text naming the fetch for diagnostics.
  void setComment(std::string comment);
  const std::string& comment() const { return comment_; }
  void setCookieStorage(std::shared_ptr<CookieStorage> storage);
  std::shared_ptr<CookieStorage> cookieStorage() const { return cookie_storage_; }
  // Only `false` is supported: this fetcher never retries.
  void setRetryEnabled(bool enabled);
  bool retryEnabled() const { return false; }
  void setAllowsCellularAccess(bool allowed) { allows_cellular_access_ = allowed; }
  bool allowsCellularAccess() const { return allows_cellular_access_; }

  // Starts the fetch on a thread of its own. A second call is ignored.
  void beginFetchWithCompletionHandler(Completion completion);
  // Abandons the fetch: its completion is not called (also when it is being delivered now and
  // has not started yet). A transfer in progress is cut off.
  void stopFetching();
  bool isFetching() const;

  // The request as it is sent (after the authorizer and the body were applied once begun).
  std::shared_ptr<NSMutableURLRequest> mutableRequest() const;
  // The HTTP response, or null before one came.
  std::shared_ptr<NSHTTPURLResponse> response() const;
  // The response's status code, 0 when there is none.
  long statusCode() const;

  // Test seam: each key "https://host" (or "https://host:port") is sent to its value
  // ("http://127.0.0.1:<port>") instead; the path and query stay. An empty map ends it.
  static void SetHostMapForTesting(std::map<std::string, std::string> hosts);
  // Test seam: the next fetch begun fails with this NSURLErrorDomain code, without network;
  // calls queue up, one per fetch.
  static void ScriptErrorForTesting(long urlErrorCode);
  // Test seam: every fetch's time-out interval, in seconds; 0 restores the request's own.
  static void SetTimeoutIntervalForTesting(double seconds);

  explicit Fetcher(std::shared_ptr<NSMutableURLRequest> request) : request_(std::move(request)) {}

 private:
  struct Outcome;
  void Run(Completion completion);
  Outcome Transfer(const std::string& url, const NSMutableURLRequest& request);
  void Deliver(Completion completion, Outcome outcome);

  std::shared_ptr<NSMutableURLRequest> request_;
  std::shared_ptr<Authorizer> authorizer_;
  std::optional<std::vector<uint8_t>> body_;
  std::string comment_;
  std::shared_ptr<CookieStorage> cookie_storage_;
  bool allows_cellular_access_ = true;

  mutable std::mutex mutex_;
  bool begun_ = false;
  bool stopped_ = false;
  bool finished_ = false;
  std::shared_ptr<NSHTTPURLResponse> response_;
};

}  // namespace platform::fetcher

#endif  // PLATFORM_FETCHER_FETCHER_H_
