// ZRBLogMetadata: the key-value metadata of an internal log report (which account and
// component it concerns, its cause, a call stack). Immutable; the "By Adding" operations make
// new objects and leave the receiver as it was.
//
//   auto metadata = ZRBLogMetadata::metadataWithComponent("ZQLFlatFileMarovic");
//   auto more = metadata->metadataByAddingCause(error);
#ifndef INFRA_LOG_METADATA_H_
#define INFRA_LOG_METADATA_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "infra/log_callstack.h"
#include "platform/foundation/ns_error.h"

extern const char* const ZRBLogMetadataObfuscatedHollinID;  // "ZRBLogMetadataObfuscatedHollinID"
extern const char* const ZRBLogMetadataComponent;           // "ZRBLogMetadataComponent"
extern const char* const ZRBLogMetadataCause;               // "ZRBLogMetadataCause"
extern const char* const ZRBLogMetadataCallstack;           // "ZRBLogMetadataCallstack"

// A metadata value: a string, an error or a call stack.
using ZRBLogMetadataValue =
    std::variant<std::string, std::shared_ptr<NSError>, std::shared_ptr<ZRBLogCallstack>>;
using ZRBLogMetadataProperties = std::map<std::string, ZRBLogMetadataValue>;

class ZRBLogMetadata {
 public:
  using OptionalString = std::optional<std::string>;
  using Error = std::shared_ptr<NSError>;
  using Callstack = std::shared_ptr<ZRBLogCallstack>;

  static std::shared_ptr<ZRBLogMetadata> init() { return initWithProperties({}); }
  // Null values in the dictionary are left out.
  static std::shared_ptr<ZRBLogMetadata> initWithProperties(ZRBLogMetadataProperties properties);

  // Factories; a value that is none leaves its key out.
  static std::shared_ptr<ZRBLogMetadata> metadataWithObfuscatedHollinID(OptionalString id);
  static std::shared_ptr<ZRBLogMetadata> metadataWithComponent(OptionalString component);
  static std::shared_ptr<ZRBLogMetadata> metadataWithCause(Error cause);
  static std::shared_ptr<ZRBLogMetadata> metadataWithCallstack(Callstack callstack);
  static std::shared_ptr<ZRBLogMetadata> metadataWithObfuscatedHollinID(OptionalString id,
                                                                        OptionalString component);
  static std::shared_ptr<ZRBLogMetadata> metadataWithObfuscatedHollinID(OptionalString id,
                                                                        Callstack callstack);
  static std::shared_ptr<ZRBLogMetadata> metadataWithComponent(OptionalString component,
                                                               Callstack callstack);
  static std::shared_ptr<ZRBLogMetadata> metadataWithObfuscatedHollinID(OptionalString id,
                                                                        OptionalString component,
                                                                        Error cause);
  static std::shared_ptr<ZRBLogMetadata> metadataWithObfuscatedHollinID(OptionalString id,
                                                                        OptionalString component,
                                                                        Error cause,
                                                                        Callstack callstack);

  // A new object with `key` set to `value`, or without `key` when `value` is none.
  std::shared_ptr<ZRBLogMetadata> messageWithKey(const std::string& key,
                                                 std::optional<ZRBLogMetadataValue> value) const;
  std::shared_ptr<ZRBLogMetadata> metadataByAddingObfuscatedHollinID(OptionalString id) const;
  std::shared_ptr<ZRBLogMetadata> metadataByAddingComponent(OptionalString component) const;
  std::shared_ptr<ZRBLogMetadata> metadataByAddingCause(Error cause) const;

  const ZRBLogMetadataProperties& properties() const { return properties_; }
  // The value under `key`, or none.
  const ZRBLogMetadataValue* propertyForKey(const std::string& key) const;
  // The typed accessors: none when the key is missing or holds another kind of value.
  OptionalString obfuscatedHollinID() const;
  OptionalString component() const;
  Error cause() const;
  Callstack callstack() const;

  // Equal property dictionaries; none is unequal.
  bool isEqual(const ZRBLogMetadata* other) const;
  uint64_t hash() const;

  explicit ZRBLogMetadata(ZRBLogMetadataProperties properties)
      : properties_(std::move(properties)) {}

 private:
  ZRBLogMetadataProperties properties_;
};

namespace infra::internal {
bool MetadataValuesEqual(const ZRBLogMetadataValue& a, const ZRBLogMetadataValue& b);
uint64_t HashOf(const ZRBLogMetadataValue& value);
}  // namespace infra::internal

#endif  // INFRA_LOG_METADATA_H_
