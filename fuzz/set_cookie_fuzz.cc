// Reads arbitrary bytes as the "Set-Cookie" field of a response and as a pseudonymous
// identifier. Any crash or sanitizer report is a fault; so is a cookie that breaks the parser's
// promises (an empty name, a separator or control character inside name or value, an oversized
// cookie) or an identifier accepted as valid that could break out of a "Cookie" header.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/foundation/ns_http_cookie.h"
#include "usage_base/pseudonymous_id_store.h"

namespace {

bool HasControlCharacter(const std::string& text) {
  for (unsigned char c : text) {
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  }
  return false;
}

void CheckCookies(const std::string& field, const NSURL& url) {
  for (const auto& cookie : NSHTTPCookie::cookiesWithResponseHeaderFields(
           {{"Set-Cookie", field}, {"set-cookie", field}}, url)) {
    const std::string& name = cookie->name();
    const std::string& value = cookie->value();
    if (name.empty() || name.find_first_of(";=") != std::string::npos ||
        value.find(';') != std::string::npos || HasControlCharacter(name) ||
        HasControlCharacter(value) || name.size() + value.size() > 4096 ||
        cookie->path().empty() || cookie->path()[0] != '/') {
      std::abort();
    }
  }
}

void CheckIdentifier(const std::string& identifier) {
  if (!ZRBPseudonymousIDStore::isValidPseudonymousID(identifier)) return;
  std::string inner = identifier;
  if (inner.size() >= 2 && inner.front() == '"' && inner.back() == '"') {
    inner = inner.substr(1, inner.size() - 2);
  }
  for (unsigned char c : inner) {
    if (c <= ' ' || c >= 0x7F || c == '"' || c == ',' || c == ';' || c == '\\') std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto* hosts = new std::shared_ptr<NSURL>[3]{
      NSURL::URLWithString("https://www.example.com/log/upload"),
      NSURL::URLWithString("http://10.0.0.1/"),
      NSURL::URLWithString("file:///tmp/x"),
  };
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  CheckCookies(text, *hosts[data[0] % 3]);
  CheckIdentifier(text);
  return 0;
}
