#include "platform/fetcher/http_fetcher.h"

#include <pthread.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/fetcher/recording_http_server_test_util.h"
#include "platform/foundation/local_http_server.h"
#include "platform/utility/base_logger.h"

namespace platform::fetcher {
namespace {

using foundation::ClosedPort;
using foundation::LocalHttpServer;
using ::testing::HasSubstr;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// What a completion received, and where.
struct Result {
  int calls = 0;
  std::optional<std::vector<uint8_t>> data;
  std::shared_ptr<NSError> error;
  std::string thread_name;
  long status_in_completion = -1;
};

class Waiter {
 public:
  Fetcher::Completion Recorder(const std::shared_ptr<Fetcher>& fetch) {
    return [this, weak = std::weak_ptr<Fetcher>(fetch)](std::optional<std::vector<uint8_t>> data,
                                                        std::shared_ptr<NSError> error) {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof(name));
      std::lock_guard<std::mutex> lock(mutex_);
      ++result_.calls;
      result_.data = std::move(data);
      result_.error = std::move(error);
      result_.thread_name = name;
      if (auto fetch = weak.lock()) result_.status_in_completion = fetch->statusCode();
      done_.notify_all();
    };
  }
  Result Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return result_.calls > 0; });
    return result_;
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return result_.calls;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  Result result_;
};

Result Fetch(std::shared_ptr<NSMutableURLRequest> request, std::vector<uint8_t> body = {},
             std::shared_ptr<CookieStorage> cookies = nullptr,
             std::shared_ptr<Authorizer> authorizer = nullptr) {
  auto fetch = Fetcher::fetcherWithRequest(request);
  if (!body.empty()) fetch->setBodyData(std::move(body));
  fetch->setCookieStorage(std::move(cookies));
  fetch->setAuthorizer(std::move(authorizer));
  Waiter waiter;
  fetch->beginFetchWithCompletionHandler(waiter.Recorder(fetch));
  return waiter.Wait();
}

class Bearer : public Authorizer {
 public:
  explicit Bearer(bool grants = true) : grants_(grants) {}
  bool authorizeRequest(NSMutableURLRequest& request, std::shared_ptr<NSError>* error) override {
    if (!grants_) {
      *error = NSError::errorWithDomain("test.auth", 7);
      return false;
    }
    request.setValue("Bearer t0k", "Authorization");
    return true;
  }

 private:
  bool grants_;
};

TEST(HttpFetcherDetailsTest, PostsHeadersAndBodyAndCompletesOnAFetcherThread) {
  RecordingHttpServer server;
  server.Script("/log", {200, std::string("ok\0!", 4)});
  auto request = NSMutableURLRequest::requestWithURL(server.Base() + "/log");
  request->setValue("gzip", "Content-Encoding");
  request->setValue("tok", "X-SERVER-TOKEN");
  std::string body("\x1f\x8b\0binary\r\n", 11);
  Result result = Fetch(request, Bytes(body), CookieStorage::make(), std::make_shared<Bearer>());

  EXPECT_EQ(result.error, nullptr);
  ASSERT_TRUE(result.data.has_value());
  EXPECT_EQ(Text(*result.data), std::string("ok\0!", 4));
  EXPECT_EQ(result.status_in_completion, 200);
  EXPECT_EQ(result.thread_name, "HTTPFetcher");
  ASSERT_EQ(server.Requests().size(), 1u);
  const auto received = server.Requests()[0];
  EXPECT_EQ(received.method, "POST");
  EXPECT_EQ(received.body, body);
  EXPECT_EQ(received.headers.at("content-encoding"), "gzip");
  EXPECT_EQ(received.headers.at("x-server-token"), "tok");
  EXPECT_EQ(received.headers.at("authorization"), "Bearer t0k");
  EXPECT_EQ(received.headers.count("content-type"), 0u);
  EXPECT_EQ(received.headers.count("cookie"), 0u);
  EXPECT_EQ(received.headers.count("expect"), 0u);

  Result refused = Fetch(NSMutableURLRequest::requestWithURL(server.Base() + "/log"), Bytes("b"),
                         nullptr, std::make_shared<Bearer>(false));
  ASSERT_NE(refused.error, nullptr);
  EXPECT_EQ(refused.error->domain(), "test.auth");
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(HttpFetcherDetailsTest, StatusOutsideSuccessIsAStatusErrorThatKeepsTheBody) {
  for (int status : {207, 299, 301, 400, 404, 500, 503, 507}) {
    SCOPED_TRACE(status);
    LocalHttpServer server({{"/x", {status, "", "body " + std::to_string(status)}}});
    auto request = NSMutableURLRequest::requestWithURL(server.URL("/x"));
    Result result = Fetch(request, Bytes("b"));
    EXPECT_EQ(result.status_in_completion, status);
    ASSERT_TRUE(result.data.has_value());
    EXPECT_EQ(Text(*result.data), "body " + std::to_string(status));
    if (status < 300) {
      EXPECT_EQ(result.error, nullptr);
      continue;
    }
    ASSERT_NE(result.error, nullptr);
    EXPECT_EQ(result.error->domain(), kFetcherStatusDomain);
    EXPECT_EQ(result.error->code(), status);
    const auto* kept = result.error->userInfoValue<std::vector<uint8_t>>(kFetcherStatusDataKey);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(Text(*kept), "body " + std::to_string(status));
  }
}

// A server that answers every connection with bytes that are not HTTP.
class GarbageServer {
 public:
  GarbageServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd_, 4);
    socklen_t length = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      int client;
      while ((client = accept(fd_, nullptr, nullptr)) >= 0) {
        char buffer[4096];
        (void)read(client, buffer, sizeof(buffer));
        const char reply[] = "\x01\x02 garbage that is no status line\r\n\r\n";
        (void)write(client, reply, sizeof(reply) - 1);
        close(client);
      }
    });
  }
  ~GarbageServer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
  std::thread thread_;
};

TEST(HttpFetcherDetailsTest, NoResponseIsAURLErrorWithStatusZero) {
  RecordingHttpServer server;
  server.Script("/closed", {0, "", true});
  LocalHttpServer stalling({});
  GarbageServer garbage;
  SetTimeoutOverride(1);
  struct Case {
    std::string url;
    long code;
  };
  for (const Case& c : std::vector<Case>{
           {"not a url", NSURLErrorBadURL},
           {"ftp://127.0.0.1/x", NSURLErrorBadURL},
           {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x",
            NSURLErrorCannotConnectToHost},
           {"http://no-such-host.invalid/x", NSURLErrorCannotFindHost},
           {server.Base() + "/closed", NSURLErrorBadServerResponse},
           {stalling.URL("/stall"), NSURLErrorTimedOut},
           {"http://127.0.0.1:" + std::to_string(garbage.port()) + "/x",
            NSURLErrorBadServerResponse},
       }) {
    SCOPED_TRACE(c.url);
    Result result = Fetch(NSMutableURLRequest::requestWithURL(c.url), Bytes("b"));
    ASSERT_NE(result.error, nullptr);
    EXPECT_EQ(result.error->domain(), NSURLErrorDomain);
    EXPECT_EQ(result.error->code(), c.code);
    EXPECT_FALSE(result.data.has_value());
    EXPECT_EQ(result.status_in_completion, 0);
  }
  SetTimeoutOverride(0);
}

TEST(HttpFetcherDetailsTest, HeaderFieldsWithLineBreaksOrNulAreDroppedAndTheRequestStillGoes) {
  RecordingHttpServer server;
  server.Script("/x", {200, "ok"});
  auto request = NSMutableURLRequest::requestWithURL(server.Base() + "/x");
  request->setValue("t\r\nX-Evil: 1", "X-SERVER-TOKEN");
  request->setValue(std::string("a\0b", 3), "X-Nul");
  request->setValue("kept", "X-Kept");
  utility::BaseLoggerCapture capture;
  EXPECT_EQ(Fetch(request, Bytes("b")).error, nullptr);
  ASSERT_EQ(server.Requests().size(), 1u);
  const auto headers = server.Requests()[0].headers;
  EXPECT_EQ(headers.count("x-server-token"), 0u);
  EXPECT_EQ(headers.count("x-evil"), 0u);
  EXPECT_EQ(headers.count("x-nul"), 0u);
  EXPECT_EQ(headers.at("x-kept"), "kept");
  ASSERT_EQ(capture.lines().size(), 2u);
  EXPECT_THAT(capture.lines()[0].message, HasSubstr("X-Nul"));
}

TEST(HttpFetcherDetailsTest, CookiesStayInTheirStorage) {
  // Cookies do not tell ports apart: both servers are the host 127.0.0.1.
  LocalHttpServer setter({{"/set", {200, "Set-Cookie: NID=abc; Path=/\r\n", "ok"}}});
  RecordingHttpServer server;
  auto storage = CookieStorage::make();
  auto fetch = Fetcher::fetcherWithRequest(NSMutableURLRequest::requestWithURL(setter.URL("/set")));
  fetch->setCookieStorage(storage);
  Waiter waiter;
  fetch->beginFetchWithCompletionHandler(waiter.Recorder(fetch));
  waiter.Wait();
  EXPECT_EQ(fetch->response()->valueForHTTPHeaderField("set-cookie"), "NID=abc; Path=/");
  ASSERT_EQ(storage->cookies().size(), 1u);
  EXPECT_EQ(storage->cookies()[0]->value(), "abc");
  Fetch(NSMutableURLRequest::requestWithURL(server.Base() + "/next"), {}, storage);
  Fetch(NSMutableURLRequest::requestWithURL(server.Base() + "/next"), {}, CookieStorage::make());
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].headers.at("cookie"), "NID=abc");
  EXPECT_EQ(requests[1].headers.count("cookie"), 0u);
}

}  // namespace
}  // namespace platform::fetcher
