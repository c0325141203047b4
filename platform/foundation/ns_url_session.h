// NSURLSession: downloads over HTTP and HTTPS with libcurl.
//
// A download task fetches one URL into a new file in the sandbox's temporary folder
// (NSTemporaryDirectory(), see sandbox.h), named "CFNetworkDownload_XXXXXX.tmp"
// with six random characters. When the transfer ends, the task's completion runs exactly once,
// as a block of the session's delegate queue, with:
//   - on success: the file's path, the response (an NSHTTPURLResponse with the status code,
//     also 404 or 500, which are not errors) and no error;
//   - on failure: an empty path, the response when one had arrived, and an NSURLErrorDomain
//     error whose user info holds a localized description and the URL text under
//     NSURLErrorFailingURLStringErrorKey.
// The file belongs to the completion only while it runs: it is removed as soon as the
// completion returns, so a caller that wants to keep it copies or moves it first.
//
// Failures and their codes:
//   no scheme, or text libcurl cannot read as a URL        NSURLErrorBadURL
//   a scheme other than http and https                     NSURLErrorUnsupportedURL
//   the host name does not resolve                         NSURLErrorCannotFindHost
//   nothing accepts the connection                         NSURLErrorCannotConnectToHost
//   idle longer than the request's time-out interval       NSURLErrorTimedOut
//   the task was cancelled                                 NSURLErrorCancelled
//   the connection broke or the server answered nothing    NSURLErrorNetworkConnectionLost
//   the download file cannot be made or written            NSURLErrorCannotCreateFile /
//                                                          NSURLErrorCannotWriteToFile
// Redirects are followed. No proxy is ever used. Each running task has a transfer thread of its
// own; a session and its delegate queue live as long as the caller or a running task holds them.
//
// Example:
//
//   auto task = NSURLSession::sharedSession()->downloadTaskWithURL(
//       "http://127.0.0.1:8000/model.zip",
//       [](const std::string& location, std::shared_ptr<NSURLResponse> response,
//          std::shared_ptr<NSError> error) {
//         if (error != nullptr) return;  // error->localizedDescription() says why
//         CopyFile(location, destination);
//       });
//   task->resume();
#ifndef PLATFORM_FOUNDATION_NS_URL_SESSION_H_
#define PLATFORM_FOUNDATION_NS_URL_SESSION_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_operation_queue.h"
#include "platform/foundation/ns_url_response.h"

class NSURLSessionConfiguration {
 public:
  static std::shared_ptr<NSURLSessionConfiguration> defaultSessionConfiguration();

  // Used by `downloadTaskWithURL`, whose request has no interval of its own.
  double timeoutIntervalForRequest() const { return timeout_interval_for_request_; }
  void setTimeoutIntervalForRequest(double seconds) { timeout_interval_for_request_ = seconds; }
  // The longest a whole transfer may take.
  double timeoutIntervalForResource() const { return timeout_interval_for_resource_; }
  void setTimeoutIntervalForResource(double seconds) { timeout_interval_for_resource_ = seconds; }

 private:
  double timeout_interval_for_request_ = 60.0;
  double timeout_interval_for_resource_ = 7 * 24 * 3600.0;
};

// The session's delegate; the stand-in calls none of its methods and only keeps it.
class NSURLSessionDelegate {
 public:
  virtual ~NSURLSessionDelegate() = default;
};

enum NSURLSessionTaskState : long {
  NSURLSessionTaskStateRunning = 0,
  NSURLSessionTaskStateSuspended = 1,
  NSURLSessionTaskStateCanceling = 2,
  NSURLSessionTaskStateCompleted = 3,
};

class NSURLSession;

using NSURLSessionDownloadCompletion =
    std::function<void(const std::string& location, std::shared_ptr<NSURLResponse> response,
                       std::shared_ptr<NSError> error)>;

// A task starts suspended; `resume` starts it (once; later calls do nothing). `cancel` ends it
// with NSURLErrorCancelled: a suspended task completes at once (on the delegate queue), a
// running one as soon as its transfer notices, a finished one is not affected.
class NSURLSessionTask : public std::enable_shared_from_this<NSURLSessionTask> {
 public:
  virtual ~NSURLSessionTask() = default;

  void resume();
  void cancel();

  unsigned long taskIdentifier() const { return identifier_; }
  const std::shared_ptr<NSURLRequest>& originalRequest() const { return request_; }
  NSURLSessionTaskState state() const;
  // Known once the task has completed.
  std::shared_ptr<NSURLResponse> response() const;
  std::shared_ptr<NSError> error() const;

 protected:
  NSURLSessionTask(std::shared_ptr<NSURLSession> session, std::shared_ptr<NSURLRequest> request,
                   NSURLSessionDownloadCompletion completion);

 private:
  friend class NSURLSession;
  struct Transfer;

  void Run();
  void Complete(const std::string& location, std::shared_ptr<NSURLResponse> response,
                std::shared_ptr<NSError> error);
  bool IsCancelled() const;

  const std::shared_ptr<NSURLSession> session_;
  const std::shared_ptr<NSURLRequest> request_;
  const unsigned long identifier_;
  mutable std::mutex mutex_;
  NSURLSessionTaskState state_ = NSURLSessionTaskStateSuspended;
  bool started_ = false;
  NSURLSessionDownloadCompletion completion_;
  std::shared_ptr<NSURLResponse> response_;
  std::shared_ptr<NSError> error_;
};

class NSURLSessionDownloadTask : public NSURLSessionTask {
 public:
  NSURLSessionDownloadTask(std::shared_ptr<NSURLSession> session,
                           std::shared_ptr<NSURLRequest> request,
                           NSURLSessionDownloadCompletion completion)
      : NSURLSessionTask(std::move(session), std::move(request), std::move(completion)) {}
};

class NSURLSession : public std::enable_shared_from_this<NSURLSession> {
 public:
  // One session for the process, with the default configuration and a delegate queue of its
  // own.
  static std::shared_ptr<NSURLSession> sharedSession();
  // A session over a copy of `configuration`. Without a delegate queue the session makes a
  // serial queue of its own for its completions.
  static std::shared_ptr<NSURLSession> sessionWithConfiguration(
      const std::shared_ptr<NSURLSessionConfiguration>& configuration,
      std::shared_ptr<NSURLSessionDelegate> delegate = nullptr,
      std::shared_ptr<NSOperationQueue> delegateQueue = nullptr);

  // A suspended task; call `resume` on it.
  std::shared_ptr<NSURLSessionDownloadTask> downloadTaskWithURL(
      const std::string& url, NSURLSessionDownloadCompletion completionHandler);
  std::shared_ptr<NSURLSessionDownloadTask> downloadTaskWithRequest(
      const std::shared_ptr<NSURLRequest>& request,
      NSURLSessionDownloadCompletion completionHandler);

  const std::shared_ptr<NSOperationQueue>& delegateQueue() const { return delegate_queue_; }
  const std::shared_ptr<NSURLSessionDelegate>& delegate() const { return delegate_; }
  const NSURLSessionConfiguration& configuration() const { return configuration_; }

  NSURLSession(NSURLSessionConfiguration configuration,
               std::shared_ptr<NSURLSessionDelegate> delegate,
               std::shared_ptr<NSOperationQueue> delegateQueue);

 private:
  const NSURLSessionConfiguration configuration_;
  const std::shared_ptr<NSURLSessionDelegate> delegate_;
  const std::shared_ptr<NSOperationQueue> delegate_queue_;
};

#endif  // PLATFORM_FOUNDATION_NS_URL_SESSION_H_
