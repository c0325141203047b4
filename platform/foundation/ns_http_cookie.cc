#include "platform/foundation/ns_http_cookie.h"

#include <strings.h>

#include <cstring>
#include <string_view>

namespace {

constexpr size_t kMaxNameAndValueBytes = 4096;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool EqualsIgnoringCase(std::string_view a, const char* b) {
  return a.size() == strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// Whether the comma at `comma` starts a new cookie: the text after it reads "name=".
bool StartsNewCookie(std::string_view field, size_t comma) {
  size_t i = comma + 1;
  while (i < field.size() && IsBlank(field[i])) ++i;
  size_t name_start = i;
  for (; i < field.size(); ++i) {
    char c = field[i];
    if (c == '=') return i > name_start;
    if (c == ';' || c == ',' || IsBlank(c)) return false;
  }
  return false;
}

std::vector<std::string_view> SplitCookies(std::string_view field) {
  std::vector<std::string_view> cookies;
  size_t start = 0;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == ',' && StartsNewCookie(field, i)) {
      cookies.push_back(field.substr(start, i - start));
      start = i + 1;
    }
  }
  cookies.push_back(field.substr(start));
  return cookies;
}

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  }
  return false;
}

// An IPv4 or IPv6 literal: such hosts only match themselves.
bool IsAddress(const std::string& host) {
  if (host.find(':') != std::string::npos) return true;
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

bool DomainMatches(const std::string& host, const std::string& domain) {
  if (host == domain) return true;
  return !IsAddress(host) && host.size() > domain.size() &&
         host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
         host[host.size() - domain.size() - 1] == '.';
}

std::string DefaultPath(const NSURL& url) {
  std::string path = url.path();
  if (path.empty() || path[0] != '/') return "/";
  size_t last_slash = path.rfind('/');
  return last_slash == 0 ? "/" : path.substr(0, last_slash);
}

std::shared_ptr<NSHTTPCookie> ParseCookie(std::string_view text, const NSURL& url) {
  if (HasControlCharacter(text)) return nullptr;
  size_t semicolon = text.find(';');
  std::string_view pair = text.substr(0, semicolon);
  size_t equals = pair.find('=');
  if (equals == std::string_view::npos) return nullptr;
  std::string_view name = Trim(pair.substr(0, equals));
  std::string_view value = Trim(pair.substr(equals + 1));
  if (name.empty() || name.size() + value.size() > kMaxNameAndValueBytes) return nullptr;

  std::string host = Lower(url.host());
  std::string domain = host;
  std::string path = DefaultPath(url);
  bool secure = false;
  bool http_only = false;
  std::string_view rest =
      semicolon == std::string_view::npos ? std::string_view() : text.substr(semicolon + 1);
  while (!rest.empty()) {
    size_t end = rest.find(';');
    std::string_view attribute = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    size_t attribute_equals = attribute.find('=');
    std::string_view key = Trim(attribute.substr(0, attribute_equals));
    std::string_view argument = attribute_equals == std::string_view::npos
                                    ? std::string_view()
                                    : Trim(attribute.substr(attribute_equals + 1));
    if (EqualsIgnoringCase(key, "domain")) {
      if (!argument.empty() && argument.front() == '.') argument.remove_prefix(1);
      if (argument.empty()) continue;
      std::string wanted = Lower(argument);
      if (!DomainMatches(host, wanted)) return nullptr;
      domain = "." + wanted;
    } else if (EqualsIgnoringCase(key, "path")) {
      path = !argument.empty() && argument.front() == '/' ? std::string(argument)
                                                          : DefaultPath(url);
    } else if (EqualsIgnoringCase(key, "secure")) {
      secure = true;
    } else if (EqualsIgnoringCase(key, "httponly")) {
      http_only = true;
    }
  }
  return std::make_shared<NSHTTPCookie>(std::string(name), std::string(value), std::move(domain),
                                        std::move(path), secure, http_only);
}

}  // namespace

std::vector<std::shared_ptr<NSHTTPCookie>> NSHTTPCookie::cookiesWithResponseHeaderFields(
    const std::map<std::string, std::string>& headerFields, const NSURL& url) {
  std::vector<std::shared_ptr<NSHTTPCookie>> cookies;
  for (const auto& [field_name, field] : headerFields) {
    if (!EqualsIgnoringCase(field_name, "set-cookie")) continue;
    for (std::string_view text : SplitCookies(field)) {
      if (auto cookie = ParseCookie(text, url)) cookies.push_back(std::move(cookie));
    }
  }
  return cookies;
}
