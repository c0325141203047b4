#include "platform/foundation/ns_url_session.h"
#include "platform/foundation/sandbox.h"

#include <curl/curl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <thread>
#include <utility>

namespace {

std::atomic<unsigned long> next_task_identifier{1};

std::shared_ptr<NSError> URLError(long code, const std::string& url,
                                  const std::string& detail = "") {
  std::string description;
  switch (code) {
    case NSURLErrorBadURL: description = "bad URL"; break;
    case NSURLErrorUnsupportedURL: description = "unsupported URL"; break;
    case NSURLErrorCannotFindHost:
      description = "A server with this host name could not be found.";
      break;
    case NSURLErrorCannotConnectToHost: description = "Could not connect to the server."; break;
    case NSURLErrorTimedOut: description = "The request timed out."; break;
    case NSURLErrorCancelled: description = "cancelled"; break;
    case NSURLErrorNetworkConnectionLost:
      description = "The network connection was lost.";
      break;
    case NSURLErrorBadServerResponse:
      description = "The server returned a response that could not be read.";
      break;
    case NSURLErrorHTTPTooManyRedirects: description = "too many HTTP redirects"; break;
    case NSURLErrorSecureConnectionFailed:
      description = "An SSL error has occurred and a secure connection to the server cannot be "
                    "made.";
      break;
    case NSURLErrorCannotCreateFile: description = "The download file could not be created."; break;
    case NSURLErrorCannotWriteToFile:
      description = "The download file could not be written.";
      break;
    default: description = "An unknown error occurred."; break;
  }
  NSErrorUserInfo info{{NSLocalizedDescriptionKey, description},
                       {NSURLErrorFailingURLStringErrorKey, url}};
  if (!detail.empty()) info[NSDebugDescriptionErrorKey] = detail;
  return NSError::errorWithDomain(NSURLErrorDomain, code, std::move(info));
}

long URLErrorCodeForCurlCode(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT: return NSURLErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL: return NSURLErrorUnsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT: return NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return NSURLErrorTimedOut;
    case CURLE_ABORTED_BY_CALLBACK: return NSURLErrorCancelled;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: return NSURLErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return NSURLErrorBadServerResponse;
    case CURLE_TOO_MANY_REDIRECTS: return NSURLErrorHTTPTooManyRedirects;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: return NSURLErrorSecureConnectionFailed;
    case CURLE_WRITE_ERROR: return NSURLErrorCannotWriteToFile;
    default: return NSURLErrorUnknown;
  }
}

// Checks what libcurl would otherwise guess at: an RFC 3986 scheme followed by ":", one of the
// two this layer loads, and no blank or control character.
std::shared_ptr<NSError> CheckURLText(const std::string& url) {
  size_t colon = url.find(':');
  bool has_scheme = colon != std::string::npos && colon > 0 &&
                    std::isalpha(static_cast<unsigned char>(url[0]));
  for (size_t i = 0; has_scheme && i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(url[i]);
    has_scheme = std::isalnum(c) || c == '+' || c == '-' || c == '.';
  }
  if (!has_scheme) return URLError(NSURLErrorBadURL, url);
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7F) return URLError(NSURLErrorBadURL, url);
  }
  std::string scheme = url.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "http" && scheme != "https") return URLError(NSURLErrorUnsupportedURL, url);
  return nullptr;
}

std::shared_ptr<NSOperationQueue> OwnDelegateQueue() {
  auto queue = NSOperationQueue::init();
  queue->setName("NSURLSession delegate queue");
  return queue;
}

void InitializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

// One libcurl transfer into a download file; lives on the task's transfer thread.
struct NSURLSessionTask::Transfer {
  NSURLSessionTask* task = nullptr;
  int fd = -1;
  bool write_failed = false;
  long status_code = 0;
  NSHTTPURLResponse::HeaderFields headers;

  static size_t OnBody(char* data, size_t size, size_t count, void* self_ptr) {
    auto* self = static_cast<Transfer*>(self_ptr);
    size_t total = size * count;
    size_t written = 0;
    while (written < total) {
      ssize_t n = ::write(self->fd, data + written, total - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        self->write_failed = true;
        return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
      }
      written += static_cast<size_t>(n);
    }
    return total;
  }

  // Collects the header fields of the last response.
  static size_t OnHeader(char* data, size_t size, size_t count, void* self_ptr) {
    auto* self = static_cast<Transfer*>(self_ptr);
    NSHTTPURLResponse::AddReceivedHeaderLine(std::string(data, size * count), &self->headers);
    return size * count;
  }

  static int OnProgress(void* self_ptr, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* self = static_cast<Transfer*>(self_ptr);
    return self->task->IsCancelled() ? 1 : 0;  // non-zero aborts the transfer
  }
};

NSURLSessionTask::NSURLSessionTask(std::shared_ptr<NSURLSession> session,
                                   std::shared_ptr<NSURLRequest> request,
                                   NSURLSessionDownloadCompletion completion)
    : session_(std::move(session)),
      request_(std::move(request)),
      identifier_(next_task_identifier++),
      completion_(std::move(completion)) {}

NSURLSessionTaskState NSURLSessionTask::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

std::shared_ptr<NSURLResponse> NSURLSessionTask::response() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return response_;
}

std::shared_ptr<NSError> NSURLSessionTask::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

bool NSURLSessionTask::IsCancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == NSURLSessionTaskStateCanceling;
}

void NSURLSessionTask::resume() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_ || state_ != NSURLSessionTaskStateSuspended) return;
    started_ = true;
    state_ = NSURLSessionTaskStateRunning;
  }
  std::thread thread([self = shared_from_this()] { self->Run(); });
  pthread_setname_np(thread.native_handle(), "NSURLDownload");
  // The thread holds the task (and through it the session) until the transfer has ended and its
  // completion is queued; nothing waits for it.
  thread.detach();
}

void NSURLSessionTask::cancel() {
  bool complete_now = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == NSURLSessionTaskStateCompleted || state_ == NSURLSessionTaskStateCanceling) {
      return;
    }
    complete_now = !started_;
    started_ = true;
    state_ = NSURLSessionTaskStateCanceling;
  }
  if (complete_now) Complete("", nullptr, URLError(NSURLErrorCancelled, request_->URL()));
}

void NSURLSessionTask::Run() {
  const std::string& url = request_->URL();
  if (auto error = CheckURLText(url)) {
    Complete("", nullptr, std::move(error));
    return;
  }
  InitializeCurlOnce();

  std::string path = NSTemporaryDirectory() + "CFNetworkDownload_XXXXXX.tmp";
  Transfer transfer;
  transfer.task = this;
  transfer.fd = mkstemps(path.data(), 4);
  if (transfer.fd < 0) {
    Complete("", nullptr, URLError(NSURLErrorCannotCreateFile, url, path));
    return;
  }

  CURL* curl = curl_easy_init();
  char curl_message[CURL_ERROR_SIZE] = {};
  double timeout = request_->timeoutInterval() > 0 ? request_->timeoutInterval() : 60.0;
  double resource_timeout = session_->configuration().timeoutIntervalForResource();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_message);
  // The request's interval bounds idle time: connecting, and any stretch without a byte.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, static_cast<long>(std::ceil(timeout))));
  if (resource_timeout > 0) {
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(resource_timeout * 1000));
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

  CURLcode result = curl_easy_perform(curl);

  std::shared_ptr<NSURLResponse> response;
  long status_code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status_code);
  if (status_code > 0) {
    char* effective_url = nullptr;
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective_url);
    curl_off_t length = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    response = std::make_shared<NSHTTPURLResponse>(effective_url ? effective_url : url,
                                                   status_code, std::move(transfer.headers),
                                                   static_cast<long long>(length));
  }
  curl_easy_cleanup(curl);
  bool closed = ::close(transfer.fd) == 0;

  if (result == CURLE_OK && IsCancelled()) result = CURLE_ABORTED_BY_CALLBACK;
  if (result == CURLE_OK && !closed) transfer.write_failed = true;
  if (result == CURLE_OK && !transfer.write_failed) {
    Complete(path, std::move(response), nullptr);
    return;
  }
  ::unlink(path.c_str());
  long code = transfer.write_failed ? NSURLErrorCannotWriteToFile : URLErrorCodeForCurlCode(result);
  Complete("", std::move(response), URLError(code, url, curl_message));
}

void NSURLSessionTask::Complete(const std::string& location,
                                std::shared_ptr<NSURLResponse> response,
                                std::shared_ptr<NSError> error) {
  NSURLSessionDownloadCompletion completion;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = NSURLSessionTaskStateCompleted;
    response_ = response;
    error_ = error;
    completion = std::move(completion_);
    completion_ = nullptr;
  }
  session_->delegateQueue()->addOperationWithBlock(
      [self = shared_from_this(), completion = std::move(completion), location,
       response = std::move(response), error = std::move(error)]() mutable {
        if (completion) completion(location, response, error);
        completion = nullptr;
        if (!location.empty()) ::unlink(location.c_str());
      });
}

NSURLSession::NSURLSession(NSURLSessionConfiguration configuration,
                           std::shared_ptr<NSURLSessionDelegate> delegate,
                           std::shared_ptr<NSOperationQueue> delegateQueue)
    : configuration_(std::move(configuration)),
      delegate_(std::move(delegate)),
      delegate_queue_(delegateQueue != nullptr ? std::move(delegateQueue) : OwnDelegateQueue()) {}

std::shared_ptr<NSURLSessionConfiguration>
NSURLSessionConfiguration::defaultSessionConfiguration() {
  return std::make_shared<NSURLSessionConfiguration>();
}

std::shared_ptr<NSURLSession> NSURLSession::sharedSession() {
  static auto* session = new std::shared_ptr<NSURLSession>(
      sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration()));
  return *session;
}

std::shared_ptr<NSURLSession> NSURLSession::sessionWithConfiguration(
    const std::shared_ptr<NSURLSessionConfiguration>& configuration,
    std::shared_ptr<NSURLSessionDelegate> delegate,
    std::shared_ptr<NSOperationQueue> delegateQueue) {
  return std::make_shared<NSURLSession>(
      configuration != nullptr ? *configuration : NSURLSessionConfiguration(),
      std::move(delegate), std::move(delegateQueue));
}

std::shared_ptr<NSURLSessionDownloadTask> NSURLSession::downloadTaskWithURL(
    const std::string& url, NSURLSessionDownloadCompletion completionHandler) {
  return downloadTaskWithRequest(
      NSURLRequest::requestWithURL(url, NSURLRequestUseProtocolCachePolicy,
                                   configuration_.timeoutIntervalForRequest()),
      std::move(completionHandler));
}

std::shared_ptr<NSURLSessionDownloadTask> NSURLSession::downloadTaskWithRequest(
    const std::shared_ptr<NSURLRequest>& request,
    NSURLSessionDownloadCompletion completionHandler) {
  return std::make_shared<NSURLSessionDownloadTask>(shared_from_this(), request,
                                                    std::move(completionHandler));
}
