#include "platform/foundation/ns_http_cookie.h"

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

using ::testing::ElementsAreArray;

// "name=value" of every cookie, in order.
std::vector<std::string> Pairs(const std::map<std::string, std::string>& fields,
                               const std::string& url = "https://www.example.com/log/upload") {
  std::vector<std::string> pairs;
  for (const auto& cookie :
       NSHTTPCookie::cookiesWithResponseHeaderFields(fields, *NSURL::URLWithString(url))) {
    pairs.push_back(cookie->name() + "=" + cookie->value());
  }
  return pairs;
}

TEST(NSHTTPCookieTest, SplitsJoinedFieldsAndKeepsValuesAsWritten) {
  struct Case {
    const char* field;
    std::vector<std::string> pairs;
  };
  const Case cases[] = {
      {"NID=abc", {"NID=abc"}},
      {" NID = abc ; Path=/", {"NID=abc"}},
      {"NID=\"quoted\"", {"NID=\"quoted\""}},
      {"NID=", {"NID="}},
      {"NID=a=b", {"NID=a=b"}},
      // Repeated fields joined by the response; the date's comma does not split.
      {"NID=first; Expires=Wed, 09 Jun 2027 10:18:14 GMT; Path=/, NID=second; Secure",
       {"NID=first", "NID=second"}},
      {"A=1,B=2", {"A=1", "B=2"}},
      {"A=1, not a cookie", {"A=1, not a cookie"}},
      // Left out: no "=", empty name, control characters.
      {"novalue; Path=/", {}},
      {"=abc", {}},
      {"NID=a\x01" "b", {}},
      {"NID=a\tb", {"NID=a\tb"}},
      {"", {}},
      {",,,", {}},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(Pairs({{"Set-Cookie", c.field}}), ElementsAreArray(c.pairs)) << c.field;
  }
}

TEST(NSHTTPCookieTest, ReadsOnlySetCookieFieldsInAnyCase) {
  EXPECT_THAT(Pairs({{"set-cookie", "A=1"}, {"Cookie", "B=2"}, {"X-Set-Cookie", "C=3"}}),
              ElementsAreArray({"A=1"}));
}

TEST(NSHTTPCookieTest, AttributesAndTheDomainRule) {
  auto url = NSURL::URLWithString("https://WWW.Example.com/log/upload");
  auto parse = [&](const std::string& field) {
    return NSHTTPCookie::cookiesWithResponseHeaderFields({{"Set-Cookie", field}}, *url);
  };

  auto plain = parse("NID=1");
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(plain[0]->domain(), "www.example.com");
  EXPECT_EQ(plain[0]->path(), "/log");
  EXPECT_FALSE(plain[0]->isSecure());
  EXPECT_FALSE(plain[0]->isHTTPOnly());

  auto full = parse("NID=1; Domain=.EXAMPLE.com; Path=/x; secure; HttpOnly; Max-Age=60");
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0]->domain(), ".example.com");
  EXPECT_EQ(full[0]->path(), "/x");
  EXPECT_TRUE(full[0]->isSecure());
  EXPECT_TRUE(full[0]->isHTTPOnly());

  EXPECT_EQ(parse("NID=1; Path=relative")[0]->path(), "/log");
  EXPECT_EQ(parse("NID=1; Domain=")[0]->domain(), "www.example.com");
  // A domain the host does not lie in drops the cookie.
  EXPECT_TRUE(parse("NID=1; Domain=other.com").empty());
  EXPECT_TRUE(parse("NID=1; Domain=ample.com").empty());
  EXPECT_TRUE(parse("NID=1; Domain=sub.www.example.com").empty());
  EXPECT_TRUE(NSHTTPCookie::cookiesWithResponseHeaderFields(
                  {{"Set-Cookie", "NID=1; Domain=0.0.1"}}, *NSURL::URLWithString("http://10.0.0.1/"))
                  .empty());
}

TEST(NSHTTPCookieTest, RefusesOversizedCookies) {
  std::string value(4093, 'v');
  EXPECT_EQ(Pairs({{"Set-Cookie", "NID=" + value}}).size(), 1u);
  EXPECT_TRUE(Pairs({{"Set-Cookie", "NID=" + value + "v"}}).empty());
}

}  // namespace
