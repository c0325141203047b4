#include "experiment_flags/experiment_tokens.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <openssl/evp.h>

#include <cctype>
#include <climits>
#include <functional>
#include <mutex>
#include <set>

#include "experiment_flags/marovic_error.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/ns_uuid.h"
#include "usage_base/app_groups.h"

namespace {

std::set<std::string> Distinct(const ZQLMarovicExperimentTokens::Tokens& tokens) {
  return std::set<std::string>(tokens.begin(), tokens.end());
}

std::string Describe(const ZQLMarovicExperimentTokens::Tokens& tokens) {
  std::string out = "(";
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0) out += ", ";
    static const char kHex[] = "0123456789abcdef";
    out += '<';
    for (unsigned char c : tokens[i]) {
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
    out += '>';
  }
  return out + ")";
}

}  // namespace

std::shared_ptr<ZQLMarovicExperimentTokens> ZQLMarovicExperimentTokens::initWithUser(
    std::optional<std::string> user, Tokens tokens, CrossTokens crossTokens,
    std::shared_ptr<const YRXExperimentIds> externalExperimentIDs) {
  if (externalExperimentIDs != nullptr) {
    // Kept as a copy: the caller's record may change later.
    externalExperimentIDs = std::make_shared<const YRXExperimentIds>(*externalExperimentIDs);
  }
  return std::make_shared<ZQLMarovicExperimentTokens>(std::move(user), std::move(tokens),
                                                      std::move(crossTokens),
                                                      std::move(externalExperimentIDs));
}

bool ZQLMarovicExperimentTokens::equalTokenArrays(const Tokens& a, const Tokens& b) {
  return Distinct(a) == Distinct(b);
}

bool ZQLMarovicExperimentTokens::isEqual(const ZQLMarovicExperimentTokens& other) const {
  if (this == &other) return true;
  if (!ZQLMarovicAreEqualOrBothNil(user_, other.user_)) return false;
  if (!equalTokenArrays(tokens_, other.tokens_)) return false;
  if (cross_tokens_.size() != other.cross_tokens_.size()) return false;
  if (!ZQLMarovicExternalExperimentIDsEqual(external_experiment_ids_.get(),
                                            other.external_experiment_ids_.get())) {
    return false;
  }
  for (const auto& [key, tokens] : cross_tokens_) {
    auto it = other.cross_tokens_.find(key);
    // An absent array equals only an absent or empty one.
    const Tokens empty;
    if (!equalTokenArrays(tokens, it == other.cross_tokens_.end() ? empty : it->second)) {
      return false;
    }
  }
  return true;
}

uint64_t ZQLMarovicExperimentTokens::hash() const {
  uint64_t user_hash = user_ ? std::hash<std::string>()(*user_) : 0;
  uint64_t tokens_hash = 0;
  for (const std::string& token : Distinct(tokens_)) tokens_hash += std::hash<std::string>()(token);
  // Only the number of keys: equality lets an empty array stand for an absent one.
  uint64_t cross_hash = cross_tokens_.size();
  return user_hash * 961 + tokens_hash * 31 + cross_hash;
}

std::string ZQLMarovicExperimentTokens::description() const {
  std::string cross = "{";
  for (const auto& [key, tokens] : cross_tokens_) {
    if (cross.size() > 1) cross += "; ";
    cross += std::to_string(key) + " = " + Describe(tokens);
  }
  cross += "}";
  std::string external = "(null)";
  if (external_experiment_ids_ != nullptr) {
    external = "<YRXExperimentIds " + std::to_string(external_experiment_ids_->ByteSizeLong()) +
               " bytes>";
  }
  return "ExperimentToken: user:\"" + user_.value_or("(null)") + "\" tokens:" +
         Describe(tokens_) + " crossTokens:" + cross + " externalExperimentIDs:" + external;
}

std::shared_ptr<YRXExperimentIds> ZQLMarovicExperimentTokens::experimentIDsWithTokensArray(
    const std::vector<std::shared_ptr<const ZQLMarovicExperimentTokens>>& tokensArray,
    const std::optional<std::string>& userID) {
  auto record = std::make_shared<YRXExperimentIds>();
  record->set_users_match(true);
  std::string clear;
  for (const auto& tokens : tokensArray) {
    if (tokens == nullptr) continue;
    for (const std::string& token : tokens->tokens()) record->add_encrypted_blob(token);
    bool match = tokens->user().has_value() && userID.has_value() && *tokens->user() == *userID;
    record->set_users_match(record->users_match() && match);
    const CrossTokens& cross = tokens->crossTokens();
    for (int64_t key = match ? 0 : 1; key <= 3; ++key) {
      auto it = cross.find(key);
      if (it == cross.end()) continue;
      for (const std::string& token : it->second) record->add_encrypted_blob(token);
    }
    const auto& external = tokens->externalExperimentIDs();
    if (external != nullptr && !external->clear_blob().empty()) clear += external->clear_blob();
  }
  if (!clear.empty()) record->set_clear_blob(clear);
  if (!record->clear_blob().empty() || record->encrypted_blob_size() > 0) return record;
  return nullptr;
}

std::optional<std::string> ZQLMarovicExperimentTokens::experimentIDsStringWithTokensArray(
    const std::vector<std::shared_ptr<const ZQLMarovicExperimentTokens>>& tokensArray,
    const std::optional<std::string>& userID) {
  auto record = experimentIDsWithTokensArray(tokensArray, userID);
  if (record == nullptr) return std::nullopt;
  std::string bytes = record->SerializeAsString();
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                               reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()));
  text.resize(length);
  return text;
}

bool ZQLMarovicAreEqualOrBothNil(const std::shared_ptr<const ZQLMarovicExperimentTokens>& a,
                                 const std::shared_ptr<const ZQLMarovicExperimentTokens>& b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  return a->isEqual(*b);
}

bool ZQLMarovicAreEqualOrBothNil(const std::optional<std::string>& a,
                                 const std::optional<std::string>& b) {
  return a == b;
}

bool ZQLMarovicExternalExperimentIDsEqual(const YRXExperimentIds* a, const YRXExperimentIds* b) {
  if (a != nullptr && a->clear_blob().empty()) a = nullptr;
  if (b != nullptr && b->clear_blob().empty()) b = nullptr;
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  std::string bytes_a;
  std::string bytes_b;
  {
    google::protobuf::io::StringOutputStream out_a(&bytes_a);
    google::protobuf::io::CodedOutputStream coded_a(&out_a);
    coded_a.SetSerializationDeterministic(true);
    a->SerializeToCodedStream(&coded_a);
    google::protobuf::io::StringOutputStream out_b(&bytes_b);
    google::protobuf::io::CodedOutputStream coded_b(&out_b);
    coded_b.SetSerializationDeterministic(true);
    b->SerializeToCodedStream(&coded_b);
  }
  return bytes_a == bytes_b;
}

std::shared_ptr<ZRBLogMetadata> ZQLStandardZRBLogMetadata() {
  static const std::shared_ptr<ZRBLogMetadata> metadata =
      ZRBLogMetadata::metadataWithComponent(std::string(kZQLMarovicErrorDomain));
  return metadata;
}

// --- ZQLMarovicUtil ------------------------------------------------------------------------------

namespace {

std::mutex default_directory_mutex;
std::shared_ptr<NSURL>& DefaultDirectory() {
  static auto* directory = new std::shared_ptr<NSURL>;
  return *directory;
}

// The leading decimal integer of `part` read as a signed 64-bit value (saturating), as unsigned;
// a negative value becomes a huge one, so that it counts as too large.
uint64_t LeadingInteger(const std::string& part) {
  size_t i = 0;
  while (i < part.size() && isspace(static_cast<unsigned char>(part[i]))) ++i;
  bool negative = false;
  if (i < part.size() && (part[i] == '+' || part[i] == '-')) negative = part[i++] == '-';
  int64_t value = 0;
  for (; i < part.size() && isdigit(static_cast<unsigned char>(part[i])); ++i) {
    int digit = part[i] - '0';
    if (value > (LLONG_MAX - digit) / 10) {
      value = LLONG_MAX;
      for (; i < part.size() && isdigit(static_cast<unsigned char>(part[i])); ++i) {
      }
      break;
    }
    value = value * 10 + digit;
  }
  if (negative) value = value == LLONG_MAX ? LLONG_MIN : -value;
  return static_cast<uint64_t>(value);
}

}  // namespace

std::string ZQLMarovicUtil::uuid() { return NSUUID::UUID()->UUIDString(); }

bool ZQLMarovicUtil::createDirectoryIfMissing(const NSURL& url, std::shared_ptr<NSError>* error) {
  return NSFileManager::defaultManager()->createDirectoryAtURL(url, true, {}, error);
}

void ZQLMarovicUtil::setDefaultDirectory(std::shared_ptr<NSURL> url) {
  std::lock_guard<std::mutex> lock(default_directory_mutex);
  DefaultDirectory() = std::move(url);
}

std::shared_ptr<NSURL> ZQLMarovicUtil::configuredDefaultDirectory() {
  std::lock_guard<std::mutex> lock(default_directory_mutex);
  return DefaultDirectory();
}

std::shared_ptr<NSURL> ZQLMarovicUtil::defaultMarovicDirectory() {
  {
    std::lock_guard<std::mutex> lock(default_directory_mutex);
    if (DefaultDirectory() != nullptr) return DefaultDirectory();
  }
  auto container = zrb_brenvikSharedAppGroupContainer();
  NSAssert(container != nullptr,
           "The flag store cannot access the shared app group; the app's entitlements must "
           "allow the group %s",
           ZRBAppGroups::sharedAppGroupName().c_str());
  return container;
}

uint64_t ZQLMarovicUtil::appVersionAsIntegerWithWidth(long width) {
  return appVersionAsIntegerWithMajorWidth(width, width, width);
}

uint64_t ZQLMarovicUtil::appVersionAsIntegerWithMajorWidth(long majorWidth, long minorWidth,
                                                           long patchWidth) {
  std::optional<std::string> version;
  std::any value = NSBundle::mainBundle()->objectForInfoDictionaryKey(kCFBundleVersionKey);
  if (const auto* text = std::any_cast<std::string>(&value)) version = *text;
  return appVersionAsInteger(version, majorWidth, minorWidth, patchWidth);
}

uint64_t ZQLMarovicUtil::appVersionAsInteger(const std::optional<std::string>& version,
                                             long width) {
  return appVersionAsInteger(version, width, width, width);
}

uint64_t ZQLMarovicUtil::appVersionAsInteger(const std::optional<std::string>& version,
                                             long majorWidth, long minorWidth, long patchWidth) {
  NSAssert(majorWidth != 0, "Invalid major width: %li", majorWidth);
  NSAssert(minorWidth != 0, "Invalid minor width: %li", minorWidth);
  NSAssert(patchWidth != 0, "Invalid patch width: %li", patchWidth);
  if (majorWidth + minorWidth + patchWidth > 18) {
    NSAssert(false, "Sum of widths do not fit inside an uint64_t!");
    return 0;
  }
  if (majorWidth <= 0 || minorWidth <= 0 || patchWidth <= 0) return 0;
  if (!version.has_value()) return 0;

  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t dot = version->find('.', start);
    parts.push_back(version->substr(start, dot == std::string::npos ? dot : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  // The part of `index`, clamped to `width` digits; a part that does not fit is reported.
  auto field = [&](size_t index, long width, const char* name) {
    uint64_t value = LeadingInteger(parts[index]);
    uint64_t limit = intPow(10, static_cast<uint64_t>(width)) - 1;
    if (value > limit) {
      NSAssert(false,
               "Your %s version number (%llu) does not fit into %li digits. Cannot generate an "
               "integer version code.",
               name, static_cast<unsigned long long>(value), width);
      value = limit;
    }
    return value;
  };
  uint64_t result = field(0, majorWidth, "Major") *
                    intPow(10, static_cast<uint64_t>(minorWidth + patchWidth));
  if (parts.size() >= 2) {
    result += field(1, minorWidth, "Minor") * intPow(10, static_cast<uint64_t>(patchWidth));
  }
  if (parts.size() >= 3) result += field(2, patchWidth, "Patch");
  return result;
}

uint64_t ZQLMarovicUtil::intPow(uint64_t base, uint64_t power) {
  uint64_t result = 1;
  for (uint64_t i = 0; i < power; ++i) result *= base;
  return result;
}

std::string ZQLMarovicUtil::marovicPackageName() {
  static const std::string name =
      std::string(kZQLMarovicPackagePrefix) + "#" + NSBundle::mainBundle()->bundleIdentifier();
  return name;
}

bool ZQLMarovicUtil::isMultiCommitPackage(const std::optional<std::string>& packageName) {
  NSAssert(packageName.has_value(), "Must pass a non-nil packageName");
  if (!packageName.has_value()) return false;
  size_t hash = packageName->find('#');
  if (hash == std::string::npos || hash + 1 >= packageName->size()) return false;
  return (*packageName)[hash + 1] == '@';
}

std::string ZQLMarovicUtil::bundleNamespacedPackage(const std::string& package,
                                                    bool multiCommitMode) {
  return package + "#" + (multiCommitMode ? "@" : "") + NSBundle::mainBundle()->bundleIdentifier();
}
