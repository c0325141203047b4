#include "platform/foundation/ns_url_session.h"

#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/local_http_server.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using platform::foundation::ClosedPort;
using platform::foundation::LocalHttpServer;

// What one completion saw, read on the delegate queue while the download file still exists.
struct Outcome {
  int calls = 0;
  std::string location;
  bool file_existed = false;
  std::string content;
  std::shared_ptr<NSURLResponse> response;
  std::shared_ptr<NSError> error;
  bool on_delegate_queue = false;
  std::thread::id thread;
};

class NSURLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = folder_.Path("sandbox");
    platform::foundation::SetSandboxRoot(directory_.string());
    queue_ = NSOperationQueue::init();
    queue_->setName("test delegate");
    session_ = NSURLSession::sessionWithConfiguration(
        NSURLSessionConfiguration::defaultSessionConfiguration(), nullptr, queue_);
  }

  void TearDown() override {
    platform::foundation::SetSandboxRoot("");
  }

  NSURLSessionDownloadCompletion Recorder(Outcome* outcome) {
    return [this, outcome](const std::string& location, std::shared_ptr<NSURLResponse> response,
                           std::shared_ptr<NSError> error) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++outcome->calls;
      outcome->location = location;
      outcome->file_existed = !location.empty() && std::filesystem::exists(location);
      if (outcome->file_existed) {
        std::ifstream in(location, std::ios::binary);
        outcome->content.assign(std::istreambuf_iterator<char>(in), {});
      }
      outcome->response = std::move(response);
      outcome->error = std::move(error);
      outcome->on_delegate_queue = NSOperationQueue::currentQueue() == queue_.get();
      outcome->thread = std::this_thread::get_id();
      done_.notify_all();
    };
  }

  Outcome Download(const std::shared_ptr<NSURLRequest>& request) {
    Outcome outcome;
    auto task = session_->downloadTaskWithRequest(request, Recorder(&outcome));
    EXPECT_EQ(task->state(), NSURLSessionTaskStateSuspended);
    task->resume();
    WaitFor(&outcome);
    EXPECT_EQ(task->state(), NSURLSessionTaskStateCompleted);
    return outcome;
  }

  Outcome Download(const std::string& url) { return Download(NSURLRequest::requestWithURL(url)); }

  void WaitFor(Outcome* outcome) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [&] { return outcome->calls > 0; });
    }
    // The completion's block has returned once the queue is idle; the file is gone by then.
    queue_->waitUntilAllOperationsAreFinished();
  }

  platform::foundation::ScopedTestFolder folder_;
  std::filesystem::path directory_;
  std::shared_ptr<NSOperationQueue> queue_;
  std::shared_ptr<NSURLSession> session_;
  std::mutex mutex_;
  std::condition_variable done_;
};

TEST_F(NSURLSessionTest, DownloadsIntoATemporaryFileRemovedAfterTheCompletion) {
  const std::string archive("PK\x03\x04 archive bytes\0\xff", 20);
  LocalHttpServer server({
      {"/model.zip", {200, "Content-Type: application/zip\r\nX-Tag: a\r\nX-Tag: b\r\n",
                      archive}},
      {"/moved", {302, "Location: /model.zip\r\nX-Redirect: yes\r\n", ""}},
  });
  for (const std::string path : {"/model.zip", "/moved"}) {
    SCOPED_TRACE(path);
    Outcome outcome = Download(server.URL(path));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.error, nullptr);
    ASSERT_TRUE(outcome.file_existed);
    EXPECT_EQ(outcome.content, archive);
    std::filesystem::path location(outcome.location);
    EXPECT_EQ(location.parent_path(), directory_ / "tmp");
    EXPECT_EQ(location.filename().string().rfind("CFNetworkDownload_", 0), 0u);
    EXPECT_EQ(location.extension(), ".tmp");
    EXPECT_FALSE(std::filesystem::exists(location));  // removed after the completion returned

    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(outcome.response);
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(http->statusCode(), 200);
    EXPECT_EQ(http->URL(), server.URL("/model.zip"));  // the redirect's target
    EXPECT_EQ(http->valueForHTTPHeaderField("content-type"), "application/zip");
    EXPECT_EQ(http->valueForHTTPHeaderField("X-Tag"), "a, b");
    EXPECT_EQ(http->valueForHTTPHeaderField("X-Redirect"), std::nullopt);
    EXPECT_EQ(http->expectedContentLength(), 20);

    EXPECT_TRUE(outcome.on_delegate_queue);
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
  }
}

TEST_F(NSURLSessionTest, NotFoundIsAResponseWithItsBodyNotAnError) {
  LocalHttpServer server({});
  Outcome outcome = Download(server.URL("/missing"));
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.error, nullptr);
  ASSERT_TRUE(outcome.file_existed);
  EXPECT_EQ(outcome.content, "no such page");
  auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(outcome.response);
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(http->statusCode(), 404);
  EXPECT_TRUE(outcome.on_delegate_queue);
}

struct FailureCase {
  std::string name;
  std::function<std::shared_ptr<NSURLRequest>(const LocalHttpServer&)> request;
  long code;
  std::string description;
};

TEST_F(NSURLSessionTest, TransportFailuresAreURLErrorsOnTheDelegateQueue) {
  LocalHttpServer server({});
  const int closed_port = ClosedPort();
  const std::vector<FailureCase> cases = {
      {"connection refused",
       [&](const LocalHttpServer&) {
         return NSURLRequest::requestWithURL("http://127.0.0.1:" + std::to_string(closed_port) +
                                             "/model.zip");
       },
       NSURLErrorCannotConnectToHost, "Could not connect to the server."},
      {"idle past the time-out",
       [](const LocalHttpServer& s) {
         return NSURLRequest::requestWithURL(s.URL("/stall"), NSURLRequestUseProtocolCachePolicy,
                                             1.0);
       },
       NSURLErrorTimedOut, "The request timed out."},
      {"no scheme",
       [](const LocalHttpServer&) { return NSURLRequest::requestWithURL("not a url"); },
       NSURLErrorBadURL, "bad URL"},
      {"port out of range",
       [](const LocalHttpServer&) {
         return NSURLRequest::requestWithURL("http://127.0.0.1:99999/");
       },
       NSURLErrorBadURL, "bad URL"},
      {"other scheme",
       [](const LocalHttpServer&) { return NSURLRequest::requestWithURL("ftp://127.0.0.1/x"); },
       NSURLErrorUnsupportedURL, "unsupported URL"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto request = c.request(server);
    Outcome outcome = Download(request);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.location.empty());
    EXPECT_EQ(outcome.response, nullptr);
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->domain(), NSURLErrorDomain);
    EXPECT_EQ(outcome.error->code(), c.code);
    EXPECT_EQ(outcome.error->localizedDescription(), c.description);
    ASSERT_NE(outcome.error->userInfoValue<std::string>(NSURLErrorFailingURLStringErrorKey),
              nullptr);
    EXPECT_EQ(*outcome.error->userInfoValue<std::string>(NSURLErrorFailingURLStringErrorKey),
              request->URL());
    EXPECT_TRUE(outcome.on_delegate_queue);
  }
  // No download file stays behind after a failure.
  EXPECT_TRUE(std::filesystem::is_empty(directory_ / "tmp"));
}

TEST_F(NSURLSessionTest, CancellingCompletesOnceWithCancelled) {
  LocalHttpServer server({});
  // A running transfer that would never end by itself.
  Outcome running;
  auto task = session_->downloadTaskWithURL(server.URL("/stall"), Recorder(&running));
  task->resume();
  task->cancel();
  task->cancel();
  WaitFor(&running);
  // A task cancelled before it started; resuming it afterwards does nothing.
  Outcome suspended;
  auto never_started = session_->downloadTaskWithURL(server.URL("/model.zip"),
                                                     Recorder(&suspended));
  never_started->cancel();
  never_started->resume();
  WaitFor(&suspended);

  for (Outcome* outcome : {&running, &suspended}) {
    EXPECT_EQ(outcome->calls, 1);
    ASSERT_NE(outcome->error, nullptr);
    EXPECT_EQ(outcome->error->code(), NSURLErrorCancelled);
    EXPECT_TRUE(outcome->on_delegate_queue);
  }
  EXPECT_EQ(task->state(), NSURLSessionTaskStateCompleted);
  EXPECT_EQ(never_started->error()->code(), NSURLErrorCancelled);
}

TEST_F(NSURLSessionTest, SharedSessionDeliversOnAQueueOfItsOwn) {
  LocalHttpServer server({{"/a", {200, "", "shared"}}});
  auto shared = NSURLSession::sharedSession();
  EXPECT_EQ(shared, NSURLSession::sharedSession());
  ASSERT_NE(shared->delegateQueue(), nullptr);
  std::mutex mutex;
  std::condition_variable done;
  std::string content;
  NSOperationQueue* queue = nullptr;
  shared
      ->downloadTaskWithURL(server.URL("/a"),
                            [&](const std::string& location, std::shared_ptr<NSURLResponse>,
                                std::shared_ptr<NSError> error) {
                              std::ifstream in(location);
                              std::lock_guard<std::mutex> lock(mutex);
                              content.assign(std::istreambuf_iterator<char>(in), {});
                              queue = NSOperationQueue::currentQueue();
                              done.notify_all();
                            })
      ->resume();
  std::unique_lock<std::mutex> lock(mutex);
  done.wait(lock, [&] { return queue != nullptr; });
  EXPECT_EQ(content, "shared");
  EXPECT_EQ(queue, shared->delegateQueue().get());
}

}  // namespace
