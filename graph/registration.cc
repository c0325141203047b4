#include "graph/registration.h"

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "absl/strings/str_split.h"

namespace kaldren {

namespace registration_internal {

std::string GetNormalizedName(const std::string& name) {
  std::vector<std::string> names = absl::StrSplit(name, kCxxSep);
  if (names[0].empty()) {
    names.erase(names.begin());
  } else {
    CHECK_EQ(1, names.size()) << "A registered class name must be either fully qualified "
                               << "with a leading :: or unqualified, got: " << name << ".";
  }
  return absl::StrJoin(names, kCxxSep);
}

std::string GetAdjustedName(const std::string& name) {
  std::vector<std::string> names = absl::StrSplit(name, kCxxSep);
  std::string base_name = names.back();
  names.pop_back();
  std::string ns = absl::StrJoin(names, kCxxSep);
  if (NamespaceWhitelist::TopNamespaces().count(ns) > 0) return base_name;
  return name;
}

std::string GetQualifiedName(const std::string& ns, const std::string& name,
                             absl::FunctionRef<bool(const std::string&)> is_key) {
  std::vector<std::string> names = absl::StrSplit(name, kNameSep);
  if (names[0].empty()) {
    names.erase(names.begin());
    return absl::StrJoin(names, kCxxSep);
  }
  std::string cxx_name = absl::StrJoin(names, kCxxSep);
  if (ns.empty()) return cxx_name;
  std::vector<std::string> spaces = absl::StrSplit(ns, kNameSep);
  for (; !spaces.empty(); spaces.pop_back()) {
    std::string candidate = absl::StrCat(absl::StrJoin(spaces, kCxxSep), kCxxSep, cxx_name);
    if (is_key(candidate)) return candidate;
  }
  return cxx_name;
}

}  // namespace registration_internal

RegistrationToken::RegistrationToken(std::function<void()> unregisterer)
    : unregister_function_(std::move(unregisterer)) {}

RegistrationToken::RegistrationToken(RegistrationToken&& other) noexcept
    : unregister_function_(std::exchange(other.unregister_function_, nullptr)) {}

RegistrationToken& RegistrationToken::operator=(RegistrationToken&& other) noexcept {
  if (this != &other) {
    unregister_function_ = std::exchange(other.unregister_function_, nullptr);
  }
  return *this;
}

void RegistrationToken::Unregister() {
  if (unregister_function_ != nullptr) {
    std::function<void()> function = std::exchange(unregister_function_, nullptr);
    function();
  }
}

RegistrationToken RegistrationToken::Combine(std::vector<RegistrationToken> tokens) {
  std::vector<std::function<void()>> functions;
  functions.reserve(tokens.size());
  for (RegistrationToken& token : tokens) {
    if (token.unregister_function_ != nullptr) {
      functions.push_back(std::exchange(token.unregister_function_, nullptr));
    }
  }
  return RegistrationToken([functions = std::move(functions)] {
    for (const std::function<void()>& function : functions) function();
  });
}

Unregister::Unregister(RegistrationToken token) : token_(std::move(token)) {}

Unregister::~Unregister() { token_.Unregister(); }

Unregister& Unregister::operator=(Unregister&& other) noexcept {
  if (this != &other) Reset(std::move(other.token_));
  return *this;
}

void Unregister::Reset(RegistrationToken token) {
  token_.Unregister();
  token_ = std::move(token);
}

const std::unordered_set<std::string>& NamespaceWhitelist::TopNamespaces() {
  static const std::unordered_set<std::string>* const namespaces =
      new std::unordered_set<std::string>{
          "kaldren",
          "kaldren::internal",
          "kaldren::packet_internal",
          "kaldren::tool",
          "pellumo",
          "pellumo::internal",
          "pellumo::quorrel",
          "pellumo::sorvanti",
          "quorrel::face_transform",
          "research::sorvanti",
      };
  return *namespaces;
}

}  // namespace kaldren
