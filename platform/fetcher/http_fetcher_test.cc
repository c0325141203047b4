#include "platform/fetcher/http_fetcher.h"

#include <gtest/gtest.h>

#include <future>

#include "platform/fetcher/recording_http_server_test_util.h"
#include "platform/foundation/local_http_server.h"
#include "platform/utility/gzip.h"

namespace platform::fetcher {
namespace {

struct Result {
  std::optional<std::vector<uint8_t>> data;
  std::shared_ptr<NSError> error;
};

Result Fetch(const std::string& url, std::map<std::string, std::string> headers = {},
             std::string body = "", double timeout = 10) {
  auto request = NSMutableURLRequest::requestWithURL(url);
  request->setHTTPMethod("POST");
  for (const auto& [name, value] : headers) request->setValue(value, name);
  auto fetcher = Fetcher::fetcherWithRequest(request);
  fetcher->setBodyData(std::vector<uint8_t>(body.begin(), body.end()));
  fetcher->setTimeout(timeout);
  std::promise<Result> done;
  fetcher->beginFetchWithCompletionHandler([&done](auto data, auto error) {
    done.set_value({std::move(data), std::move(error)});
  });
  return done.get_future().get();
}

std::string Text(const std::optional<std::vector<uint8_t>>& data) {
  return data ? std::string(data->begin(), data->end()) : "<none>";
}

class HttpFetcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Script("/ok", {200, "fine"});
    server_.Script("/gone", {500, "broken"});
    server_.Script("/close", {0, "", true});
    SetHostMap({{"service.example", server_.Base()}});
  }
  void TearDown() override { SetHostMap({}); }
  RecordingHttpServer server_;
};

TEST_F(HttpFetcherTest, PostsHeadersAndBodyToTheMappedHost) {
  Result ok = Fetch("https://service.example/ok",
                    {{"Content-Encoding", "gzip"}, {"X-SERVER-TOKEN", "t\r\nX-Evil: 1"}}, "body");
  EXPECT_EQ(ok.error, nullptr);
  EXPECT_EQ(Text(ok.data), "fine");
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/ok");
  EXPECT_EQ(requests[0].body, "body");
  EXPECT_EQ(requests[0].headers.count("content-encoding"), 1u);
  // A header that would split the request goes; so does any cookie or default content type.
  EXPECT_EQ(requests[0].headers.count("x-server-token"), 0u);
  EXPECT_EQ(requests[0].headers.count("x-evil"), 0u);
  EXPECT_EQ(requests[0].headers.count("cookie"), 0u);
  EXPECT_EQ(requests[0].headers.count("content-type"), 0u);
}

TEST_F(HttpFetcherTest, FailuresAreStatusOrURLErrors) {
  struct Case {
    std::string url;
    std::string domain;
    long code;
    std::string body;
  } cases[] = {
      {"https://service.example/gone", kFetcherStatusDomain, 500, "broken"},
      {"https://service.example/nothing", kFetcherStatusDomain, 404, "no such page"},
      {"https://service.example/close", NSURLErrorDomain, NSURLErrorBadServerResponse, "<none>"},
      {"http://127.0.0.1:" + std::to_string(platform::foundation::ClosedPort()) + "/",
       NSURLErrorDomain, NSURLErrorCannotConnectToHost, "<none>"},
      {"notascheme://x", NSURLErrorDomain, NSURLErrorBadURL, "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Result result = Fetch(c.url);
    ASSERT_NE(result.error, nullptr);
    EXPECT_EQ(result.error->domain(), c.domain);
    EXPECT_EQ(result.error->code(), c.code);
    EXPECT_EQ(Text(result.data), c.body);
  }
  ScriptErrors({NSURLErrorNotConnectedToInternet, NSURLErrorDataNotAllowed});
  EXPECT_EQ(Fetch("https://service.example/ok").error->code(), NSURLErrorNotConnectedToInternet);
  EXPECT_EQ(Fetch("https://service.example/ok").error->code(), NSURLErrorDataNotAllowed);
  EXPECT_EQ(Fetch("https://service.example/ok").error, nullptr);
  EXPECT_EQ(server_.Requests().size(), 4u);  // scripted failures never connect
}

// Sends `request` and waits for its completion (a missing completion fails the test).
Result FetchRequest(std::shared_ptr<NSMutableURLRequest> request,
                    std::shared_ptr<CookieStorage> storage = nullptr) {
  auto fetcher = Fetcher::fetcherWithRequest(std::move(request));
  fetcher->setCookieStorage(std::move(storage));
  fetcher->setTimeout(10);
  auto done = std::make_shared<std::promise<Result>>();
  auto future = done->get_future();
  fetcher->beginFetchWithCompletionHandler([done](auto data, auto error) {
    done->set_value({std::move(data), std::move(error)});
  });
  if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "the fetch did not complete within 60 s";
    return {};
  }
  return future.get();
}

TEST_F(HttpFetcherTest, SecureCookiesGoOnlyOverHttps) {
  auto storage = CookieStorage::make();
  storage->setCookies(NSHTTPCookie::cookiesWithResponseHeaderFields(
      {{"Set-Cookie", "S=1; Secure, P=2"}}, *NSURL::URLWithString("https://service.example/")));
  ASSERT_EQ(storage->cookies().size(), 2u);
  // Both schemes reach the test server through the host map.
  EXPECT_EQ(FetchRequest(NSMutableURLRequest::requestWithURL("http://service.example/ok"), storage)
                .error,
            nullptr);
  EXPECT_EQ(FetchRequest(NSMutableURLRequest::requestWithURL("https://service.example/ok"), storage)
                .error,
            nullptr);
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].headers["cookie"], "P=2");
  EXPECT_EQ(requests[1].headers["cookie"], "S=1; P=2");
}

TEST_F(HttpFetcherTest, AMethodThatIsNotATokenIsRefused) {
  const std::vector<std::string> refused = {
      "GET\r\nX-Evil: 1", "GET\n", "GET\r", "PO ST", "", std::string("GET\0X", 5), "G(ET)"};
  for (const std::string& method : refused) {
    SCOPED_TRACE(testing::PrintToString(method));
    auto request = NSMutableURLRequest::requestWithURL("https://service.example/ok");
    request->setHTTPMethod(method);
    Result result = FetchRequest(request);
    ASSERT_NE(result.error, nullptr);
    EXPECT_EQ(result.error->domain(), NSURLErrorDomain);
    EXPECT_EQ(result.error->code(), NSURLErrorUnknown);
  }
  EXPECT_TRUE(server_.Requests().empty());
  // Every token character is allowed.
  auto request = NSMutableURLRequest::requestWithURL("https://service.example/ok");
  request->setHTTPMethod("M-SEARCH!#$%&'*+.^_`|~9");
  EXPECT_EQ(FetchRequest(request).error, nullptr);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0].method, "M-SEARCH!#$%&'*+.^_`|~9");
}

TEST_F(HttpFetcherTest, AStoppedFetchNeverCallsBack) {
  platform::foundation::LocalHttpServer stalling({});
  auto fetcher = Fetcher::fetcherWithRequest(NSMutableURLRequest::requestWithURL(stalling.URL("/stall")));
  std::promise<void> called;
  fetcher->beginFetchWithCompletionHandler([&called](auto, auto) { called.set_value(); });
  while (stalling.RequestCount("/stall") == 0) std::this_thread::yield();
  fetcher->stopFetching();
  EXPECT_EQ(called.get_future().wait_for(std::chrono::milliseconds(1500)),
            std::future_status::timeout);
}

TEST(GzipTest, RoundTripsAndRefusesOtherBytes) {
  std::vector<uint8_t> data(100000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 % 251);
  auto packed = platform::utility::GzipData(data, nullptr);
  ASSERT_TRUE(packed.has_value());
  EXPECT_EQ((*packed)[0], 0x1f);
  EXPECT_EQ((*packed)[1], 0x8b);
  EXPECT_EQ(platform::utility::GunzipData(*packed, nullptr), data);
  std::shared_ptr<NSError> error;
  packed->resize(packed->size() / 2);
  EXPECT_EQ(platform::utility::GunzipData(*packed, &error), std::nullopt);
  EXPECT_EQ(error->domain(), platform::utility::kGzipErrorDomain);
}

}  // namespace
}  // namespace platform::fetcher
