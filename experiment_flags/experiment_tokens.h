// The experiment tokens of one user, and the flag store's small utilities.
//
// `ZQLMarovicExperimentTokens` is an immutable value: the user the tokens belong to, the tokens
// of the committed snapshots, the tokens other packages hand to this one (by provenance key 0
// to 3; key 0 holds tokens diverted by the signed-in account), and external experiment ids. Two
// token objects are equal when their token lists hold the same distinct tokens, in any order.
// A usage-log event carries the tokens of its user as one `YRXExperimentIds` record:
//
//   auto ids = ZQLMarovicExperimentTokens::experimentIDsWithTokensArray({tokens}, "account");
//   // ids->encrypted_blob(): every token; ids->users_match(): all objects were "account"'s
//
// `ZQLMarovicUtil` makes identifiers, keeps the store's default directory, turns the app's
// version text into an integer and names the store's own flag package. Misuse (a zero width, a
// version part that does not fit) is reported to the assertion handler and the computation goes
// on with the clamped value.
#ifndef EXPERIMENT_FLAGS_EXPERIMENT_TOKENS_H_
#define EXPERIMENT_FLAGS_EXPERIMENT_TOKENS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "usage_base/experiment_ids.pb.h"
#include "infra/log_metadata.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url.h"

class ZQLMarovicExperimentTokens {
 public:
  using Tokens = std::vector<std::string>;      // byte strings
  using CrossTokens = std::map<int64_t, Tokens>;  // provenance key -> tokens

  static std::shared_ptr<ZQLMarovicExperimentTokens> initWithUser(
      std::optional<std::string> user, Tokens tokens, CrossTokens crossTokens,
      std::shared_ptr<const YRXExperimentIds> externalExperimentIDs = nullptr);

  const std::optional<std::string>& user() const { return user_; }
  const Tokens& tokens() const { return tokens_; }
  const CrossTokens& crossTokens() const { return cross_tokens_; }
  const std::shared_ptr<const YRXExperimentIds>& externalExperimentIDs() const {
    return external_experiment_ids_;
  }

  bool isEqual(const ZQLMarovicExperimentTokens& other) const;
  // Equal objects hash equally: the user, the set of tokens and the number of cross-token keys.
  uint64_t hash() const;
  std::string description() const;

  // Whether both hold the same distinct tokens, ignoring order and repetition.
  static bool equalTokenArrays(const Tokens& a, const Tokens& b);

  // The record a usage-log event of `userID` carries, or null when it would be empty.
  static std::shared_ptr<YRXExperimentIds> experimentIDsWithTokensArray(
      const std::vector<std::shared_ptr<const ZQLMarovicExperimentTokens>>& tokensArray,
      const std::optional<std::string>& userID);
  // The same record, encoded and in standard Base64 without line breaks.
  static std::optional<std::string> experimentIDsStringWithTokensArray(
      const std::vector<std::shared_ptr<const ZQLMarovicExperimentTokens>>& tokensArray,
      const std::optional<std::string>& userID);

  // Use the factory above.
  ZQLMarovicExperimentTokens(std::optional<std::string> user, Tokens tokens,
                             CrossTokens crossTokens,
                             std::shared_ptr<const YRXExperimentIds> externalExperimentIDs)
      : user_(std::move(user)),
        tokens_(std::move(tokens)),
        cross_tokens_(std::move(crossTokens)),
        external_experiment_ids_(std::move(externalExperimentIDs)) {}

 private:
  const std::optional<std::string> user_;
  const Tokens tokens_;
  const CrossTokens cross_tokens_;
  const std::shared_ptr<const YRXExperimentIds> external_experiment_ids_;
};

// Both absent, the same object, or equal.
bool ZQLMarovicAreEqualOrBothNil(const std::shared_ptr<const ZQLMarovicExperimentTokens>& a,
                                 const std::shared_ptr<const ZQLMarovicExperimentTokens>& b);
bool ZQLMarovicAreEqualOrBothNil(const std::optional<std::string>& a,
                                 const std::optional<std::string>& b);
// A record without a clear blob counts as absent; otherwise every field is compared.
bool ZQLMarovicExternalExperimentIDsEqual(const YRXExperimentIds* a, const YRXExperimentIds* b);
// The store's metadata of its internal log reports, one object for the process.
std::shared_ptr<ZRBLogMetadata> ZQLStandardZRBLogMetadata();

class ZQLMarovicUtil {
 public:
  // A new random UUID, 36 upper-case characters.
  static std::string uuid();
  static bool createDirectoryIfMissing(const NSURL& url, std::shared_ptr<NSError>* error);
  // Set once at start-up, before the store is made.
  static void setDefaultDirectory(std::shared_ptr<NSURL> url);
  // The directory set, or null (no fallback).
  static std::shared_ptr<NSURL> configuredDefaultDirectory();
  // The directory set, else the maker's shared app-group container, else null (reported).
  static std::shared_ptr<NSURL> defaultMarovicDirectory();

  // The main bundle's CFBundleVersion as an integer of major, minor and patch fields of the
  // given decimal widths.
  static uint64_t appVersionAsIntegerWithWidth(long width);
  static uint64_t appVersionAsIntegerWithMajorWidth(long majorWidth, long minorWidth,
                                                    long patchWidth);
  static uint64_t appVersionAsInteger(const std::optional<std::string>& version, long width);
  // 0 after a report when a width is 0 or the widths add up to more than 18 digits. A part that
  // does not fit its width is reported and clamped to the width's largest value.
  static uint64_t appVersionAsInteger(const std::optional<std::string>& version, long majorWidth,
                                      long minorWidth, long patchWidth);
  // base^power in wrapping 64-bit arithmetic.
  static uint64_t intPow(uint64_t base, uint64_t power);

  // The store's own flag package: its prefix, "#", the main bundle's identifier.
  static std::string marovicPackageName();
  // Whether the character right after the first "#" is "@". None is a misuse.
  static bool isMultiCommitPackage(const std::optional<std::string>& packageName);
  static std::string bundleNamespacedPackage(const std::string& package, bool multiCommitMode);
};

// The prefix of the store's own flag package.
inline constexpr char kZQLMarovicPackagePrefix[] = "com.brenvik.marovic";

#endif  // EXPERIMENT_FLAGS_EXPERIMENT_TOKENS_H_
