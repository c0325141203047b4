#include "platform/foundation/ns_url_response.h"

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

TEST(NSMutableURLRequestTest, HeaderFieldsIgnoreCaseOfNames) {
  auto request = NSMutableURLRequest::requestWithURL("https://example.com/log");
  EXPECT_EQ(request->HTTPMethod(), "GET");
  request->setHTTPMethod("POST");
  request->setValue("gzip", "Content-Encoding");
  request->setValue("identity", "content-encoding");
  request->setValue("NID=a", "Cookie");
  request->addValue("b=c", "COOKIE");
  request->addValue("1", "X-Count");
  request->setHTTPBody({1, 2, 3});

  EXPECT_EQ(request->HTTPMethod(), "POST");
  EXPECT_THAT(request->allHTTPHeaderFields(),
              ElementsAre(Pair("COOKIE", "NID=a,b=c"), Pair("X-Count", "1"),
                          Pair("content-encoding", "identity")));
  EXPECT_EQ(request->valueForHTTPHeaderField("cookie"), "NID=a,b=c");
  EXPECT_EQ(request->valueForHTTPHeaderField("Missing"), std::nullopt);
  EXPECT_THAT(request->HTTPBody(), ElementsAre(1, 2, 3));

  request->setValue("", "x-count");
  EXPECT_EQ(request->valueForHTTPHeaderField("X-Count"), std::nullopt);
  request->setAllHTTPHeaderFields({{"A", "1"}, {"a", "2"}});
  EXPECT_EQ(request->allHTTPHeaderFields().size(), 1u);
}

TEST(NSHTTPURLResponseTest, MadeByTheCaller) {
  auto response = NSHTTPURLResponse::initWithURL("https://example.com/log", 200,
                                                 {{"Set-Cookie", "NID=1"}});
  EXPECT_EQ(response->URL(), "https://example.com/log");
  EXPECT_EQ(response->statusCode(), 200);
  EXPECT_EQ(response->expectedContentLength(), -1);
  EXPECT_EQ(response->valueForHTTPHeaderField("set-cookie"), "NID=1");
}

}  // namespace
