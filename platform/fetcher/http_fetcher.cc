#include "platform/fetcher/http_fetcher.h"

#include <curl/curl.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <deque>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/foundation/ns_url.h"
#include "platform/utility/base_logger.h"

namespace platform::fetcher {
namespace {

// Test seams, shared by every fetch of the process.
struct TestSeams {
  std::mutex mutex;
  std::map<std::string, std::string> hosts;
  std::deque<long> scripted_errors;
  double timeout_seconds = 0;
};

TestSeams& Seams() {
  static TestSeams* seams = new TestSeams;
  return *seams;
}

void InitializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool HoldsLineBreakOrNul(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// A method goes on the request line as it is: only an HTTP token (letters, digits and
// "!#$%&'*+-.^_`|~") may, so no line break or space can add a header or a second request.
bool IsHTTPToken(const std::string& text) {
  static constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kSymbols.find(c) != std::string_view::npos;
  });
}

// The URL with its scheme and authority replaced when the host is mapped.
std::string MappedURL(const std::string& url) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return url;
  const size_t authority = scheme_end + 3;
  size_t path = url.find_first_of("/?#", authority);
  if (path == std::string::npos) path = url.size();
  std::string host = url.substr(authority, path - authority);
  if (size_t at = host.rfind('@'); at != std::string::npos) host = host.substr(at + 1);
  if (size_t colon = host.find(':'); colon != std::string::npos) host = host.substr(0, colon);
  std::lock_guard<std::mutex> lock(Seams().mutex);
  auto it = Seams().hosts.find(host);
  return it == Seams().hosts.end() ? url : it->second + url.substr(path);
}

std::optional<long> NextScriptedError() {
  std::lock_guard<std::mutex> lock(Seams().mutex);
  if (Seams().scripted_errors.empty()) return std::nullopt;
  long code = Seams().scripted_errors.front();
  Seams().scripted_errors.pop_front();
  return code;
}

long URLErrorCode(CURLcode code, long os_errno) {
  switch (code) {
    case CURLE_URL_MALFORMAT: return NSURLErrorBadURL;
    // The scheme was checked before: libcurl reports a reply without a status line so.
    case CURLE_UNSUPPORTED_PROTOCOL: return NSURLErrorBadServerResponse;
    case CURLE_COULDNT_RESOLVE_HOST: return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return os_errno == ENETUNREACH || os_errno == EHOSTUNREACH || os_errno == ENETDOWN
                 ? NSURLErrorNotConnectedToInternet
                 : NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return NSURLErrorTimedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION: return NSURLErrorSecureConnectionFailed;
    // Nothing, a cut-off or a non-HTTP answer: no usable reply.
    default: return NSURLErrorBadServerResponse;
  }
}

std::shared_ptr<NSError> URLError(long code, const std::string& url, const std::string& detail) {
  NSErrorUserInfo info{{NSURLErrorFailingURLStringErrorKey, url}};
  if (!detail.empty()) info[NSDebugDescriptionErrorKey] = detail;
  return NSError::errorWithDomain(NSURLErrorDomain, code, std::move(info));
}

bool DomainMatches(const std::string& host, const std::string& domain) {
  if (domain.empty()) return false;
  if (domain[0] != '.') return host == domain;
  std::string bare = domain.substr(1);
  return host == bare ||
         (host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(),
                                                      domain) == 0);
}

// What one transfer gave.
struct Received {
  std::vector<uint8_t> body;
  NSHTTPURLResponse::HeaderFields headers;
  const Fetcher* fetcher = nullptr;
  std::function<bool()> stopped;

  static size_t OnBody(char* data, size_t size, size_t count, void* self_ptr) {
    auto* self = static_cast<Received*>(self_ptr);
    self->body.insert(self->body.end(), data, data + size * count);
    return size * count;
  }

  // Keeps the fields of the last response only: a status line starts a new set.
  static size_t OnHeader(char* data, size_t size, size_t count, void* self_ptr) {
    auto* self = static_cast<Received*>(self_ptr);
    NSHTTPURLResponse::AddReceivedHeaderLine(std::string(data, size * count), &self->headers);
    return size * count;
  }

  static int OnProgress(void* self_ptr, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Received*>(self_ptr)->stopped() ? 1 : 0;  // non-zero aborts
  }
};

}  // namespace

struct Fetcher::Outcome {
  std::optional<std::vector<uint8_t>> data;
  std::shared_ptr<NSError> error;
  std::shared_ptr<NSHTTPURLResponse> response;
};

std::vector<std::shared_ptr<NSHTTPCookie>> CookieStorage::cookies() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cookies_;
}

void CookieStorage::setCookies(const std::vector<std::shared_ptr<NSHTTPCookie>>& cookies) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& cookie : cookies) {
    std::erase_if(cookies_, [&](const std::shared_ptr<NSHTTPCookie>& kept) {
      return kept->name() == cookie->name() && kept->domain() == cookie->domain() &&
             kept->path() == cookie->path();
    });
    cookies_.push_back(cookie);
  }
}

std::vector<std::shared_ptr<NSHTTPCookie>> CookieStorage::cookiesForHost(
    const std::string& host, const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<NSHTTPCookie>> matching;
  for (const auto& cookie : cookies_) {
    if (DomainMatches(host, cookie->domain()) && path.rfind(cookie->path(), 0) == 0) {
      matching.push_back(cookie);
    }
  }
  return matching;
}

std::shared_ptr<Fetcher> Fetcher::fetcherWithRequest(std::shared_ptr<NSMutableURLRequest> request) {
  if (request == nullptr) return nullptr;
  return std::make_shared<Fetcher>(std::move(request));
}

void Fetcher::setAuthorizer(std::shared_ptr<Authorizer> authorizer) {
  authorizer_ = std::move(authorizer);
}

void Fetcher::setBodyData(std::vector<uint8_t> body) {
  request_->setHTTPBody(std::move(body));
  if (request_->HTTPMethod() == "GET") request_->setHTTPMethod("POST");
}

void Fetcher::setComment(std::string comment) { comment_ = std::move(comment); }

void Fetcher::setCookieStorage(std::shared_ptr<CookieStorage> storage) {
  cookie_storage_ = std::move(storage);
}

void Fetcher::beginFetchWithCompletionHandler(Completion completion) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (begun_) return;
    begun_ = true;
  }
  std::thread([self = shared_from_this(), completion = std::move(completion)]() mutable {
    pthread_setname_np(pthread_self(), "HTTPFetcher");
    self->Run(std::move(completion));
  }).detach();
}

void Fetcher::stopFetching() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
}

bool Fetcher::isFetching() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return begun_ && !stopped_ && !finished_;
}

std::shared_ptr<NSHTTPURLResponse> Fetcher::response() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return response_;
}

long Fetcher::statusCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return response_ == nullptr ? 0 : response_->statusCode();
}

void SetHostMap(std::map<std::string, std::string> hosts) {
  std::lock_guard<std::mutex> lock(Seams().mutex);
  Seams().hosts = std::move(hosts);
}

void ScriptErrors(std::vector<long> codes) {
  std::lock_guard<std::mutex> lock(Seams().mutex);
  Seams().scripted_errors.assign(codes.begin(), codes.end());
}

void SetTimeoutOverride(double seconds) {
  std::lock_guard<std::mutex> lock(Seams().mutex);
  Seams().timeout_seconds = seconds;
}

void Fetcher::Run(Completion completion) {
  const std::string& url = request_->URL();
  if (std::optional<long> scripted = NextScriptedError()) {
    Deliver(std::move(completion), {std::nullopt, URLError(*scripted, url, "scripted"), nullptr});
    return;
  }
  if (authorizer_ != nullptr) {
    std::shared_ptr<NSError> error;
    if (!authorizer_->authorizeRequest(*request_, &error)) {
      if (error == nullptr) error = URLError(NSURLErrorUnknown, url, "not authorized");
      Deliver(std::move(completion), {std::nullopt, std::move(error), nullptr});
      return;
    }
  }
  if (!IsHTTPToken(request_->HTTPMethod())) {
    Deliver(std::move(completion),
            {std::nullopt, URLError(NSURLErrorUnknown, url, "the HTTP method is not a token"),
             nullptr});
    return;
  }
  std::string target = MappedURL(url);
  auto parsed = NSURL::URLWithString(target);
  if (parsed == nullptr || (parsed->scheme() != "http" && parsed->scheme() != "https") ||
      parsed->host().empty()) {
    Deliver(std::move(completion), {std::nullopt, URLError(NSURLErrorBadURL, url, ""), nullptr});
    return;
  }
  Outcome outcome = Transfer(target);
  if (outcome.response != nullptr && cookie_storage_ != nullptr) {
    cookie_storage_->setCookies(
        NSHTTPCookie::cookiesWithResponseHeaderFields(outcome.response->allHeaderFields(), *parsed));
  }
  Deliver(std::move(completion), std::move(outcome));
}

Fetcher::Outcome Fetcher::Transfer(const std::string& url) {
  InitializeCurlOnce();
  const NSMutableURLRequest& request = *request_;
  double timeout = timeout_.value_or(request.timeoutInterval());
  if (timeout <= 0) timeout = NSURLRequest::kDefaultTimeoutInterval;
  {
    std::lock_guard<std::mutex> lock(Seams().mutex);
    if (Seams().timeout_seconds > 0) timeout = Seams().timeout_seconds;
  }

  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.allHTTPHeaderFields()) {
    if (HoldsLineBreakOrNul(name) || HoldsLineBreakOrNul(value) || name.empty()) {
      platform::utility::LogError(__func__, "Dropped a header with a line break or NUL: %@",
                                  {name.substr(0, name.find_first_of(std::string("\r\n\0", 3)))});
      continue;
    }
    headers = curl_slist_append(headers, (name + ": " + value).c_str());
  }
  // libcurl adds these on its own unless told not to; a request states its fields itself.
  headers = curl_slist_append(headers, "Expect:");
  if (!request.valueForHTTPHeaderField("Content-Type").has_value()) {
    headers = curl_slist_append(headers, "Content-Type:");
  }
  if (cookie_storage_ != nullptr && !request.valueForHTTPHeaderField("Cookie").has_value()) {
    auto parsed = NSURL::URLWithString(request.URL());
    std::string cookie_line;
    if (parsed != nullptr) {
      // Secure cookies only go over https (the scheme the caller asked for).
      const bool secure_channel = parsed->scheme() == "https";
      for (const auto& cookie :
           cookie_storage_->cookiesForHost(parsed->host(), parsed->path().empty() ? "/" : parsed->path())) {
        if (cookie->isSecure() && !secure_channel) continue;
        if (!cookie_line.empty()) cookie_line += "; ";
        cookie_line += cookie->name() + "=" + cookie->value();
      }
    }
    if (!cookie_line.empty() && !HoldsLineBreakOrNul(cookie_line)) {
      headers = curl_slist_append(headers, ("Cookie: " + cookie_line).c_str());
    }
  }

  Received received;
  received.stopped = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
  };
  char curl_message[CURL_ERROR_SIZE] = {};
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(curl, CURLOPT_POSTREDIR, CURL_REDIR_POST_ALL);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_message);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.HTTPMethod().c_str());
  const std::vector<uint8_t>& body = request.HTTPBody();
  if (!body.empty() || request.HTTPMethod() == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  // The interval bounds idle time: connecting, and any stretch without a byte.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, static_cast<long>(std::ceil(timeout))));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Received::OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Received::OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &received);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Received::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &received);

  CURLcode result = curl_easy_perform(curl);
  long status_code = 0;
  long os_errno = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status_code);
  curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &os_errno);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);

  Outcome outcome;
  if (result != CURLE_OK || status_code <= 0) {
    long code = result == CURLE_OK ? NSURLErrorBadServerResponse : URLErrorCode(result, os_errno);
    outcome.error = URLError(code, request.URL(), curl_message);
    return outcome;
  }
  outcome.response = std::make_shared<NSHTTPURLResponse>(
      request.URL(), status_code, std::move(received.headers),
      static_cast<long long>(received.body.size()));
  if (status_code < 200 || status_code > 299) {
    outcome.error = NSError::errorWithDomain(kFetcherStatusDomain, status_code,
                                             {{kFetcherStatusDataKey, received.body}});
  }
  outcome.data = std::move(received.body);
  return outcome;
}

void Fetcher::Deliver(Completion completion, Outcome outcome) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    response_ = outcome.response;
    finished_ = true;
    if (stopped_) return;
  }
  if (completion) completion(std::move(outcome.data), std::move(outcome.error));
}

}  // namespace platform::fetcher
