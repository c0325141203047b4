// NSHTTPCookie: cookies read from the "Set-Cookie" fields of an HTTP response.
//
//   auto cookies = NSHTTPCookie::cookiesWithResponseHeaderFields(
//       response->allHeaderFields(), *NSURL::URLWithString(response->URL()));
//   for (const auto& cookie : cookies) {
//     if (cookie->name() == "NID") Remember(cookie->value());
//   }
//
// Parsing follows RFC 6265 section 5.2 and is written for text from outside the process:
//   - A field may hold several cookies. Responses here join repeated fields with ", "
//     (ns_url_response.h), so a comma starts a new cookie when the text after it (spaces
//     skipped) reads "name=" with a name free of spaces, commas and semicolons; any other comma
//     belongs to the current cookie, as in "Expires=Wed, 09 Jun 2027 10:18:14 GMT".
//   - The name and value are the text before and after the first "=" of the part before the
//     first ";", with spaces and tabs around them removed. Quotes stay part of the value.
//   - A cookie without "=", with an empty name, with a control character (other than a tab)
//     or with name and value longer than 4096 bytes together is left out.
//   - Attributes: Domain (a leading "." dropped, lower-cased; a domain that the URL's host
//     does not lie in leaves the whole cookie out, so a server cannot set cookies for another
//     site), Path (one that does not start with "/" gives the default path), Secure, HttpOnly.
//     Other attributes, Expires and Max-Age among them, are read over and not kept.
//   - Without a Domain attribute the cookie's domain is the URL's host; with one it is that
//     domain with a leading ".". Without a usable Path the path is the URL path's folder.
// Cookies come in the order of the fields (sorted by field name) and, inside a field, in the
// order written.
#ifndef PLATFORM_FOUNDATION_NS_HTTP_COOKIE_H_
#define PLATFORM_FOUNDATION_NS_HTTP_COOKIE_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/ns_url.h"

class NSHTTPCookie {
 public:
  // The cookies of every field named "Set-Cookie" (in any case) of `headerFields`, for a
  // response from `url`.
  static std::vector<std::shared_ptr<NSHTTPCookie>> cookiesWithResponseHeaderFields(
      const std::map<std::string, std::string>& headerFields, const NSURL& url);

  const std::string& name() const { return name_; }
  const std::string& value() const { return value_; }
  const std::string& domain() const { return domain_; }
  const std::string& path() const { return path_; }
  bool isSecure() const { return secure_; }
  bool isHTTPOnly() const { return http_only_; }

  // Use the factory above.
  NSHTTPCookie(std::string name, std::string value, std::string domain, std::string path,
               bool secure, bool httpOnly)
      : name_(std::move(name)),
        value_(std::move(value)),
        domain_(std::move(domain)),
        path_(std::move(path)),
        secure_(secure),
        http_only_(httpOnly) {}

 private:
  std::string name_;
  std::string value_;
  std::string domain_;
  std::string path_;
  bool secure_;
  bool http_only_;
};

#endif  // PLATFORM_FOUNDATION_NS_HTTP_COOKIE_H_
