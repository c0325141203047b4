#include "infra/log_metadata.h"

#include "infra/log_equality.h"

const char* const ZRBLogMetadataObfuscatedHollinID = "ZRBLogMetadataObfuscatedHollinID";
const char* const ZRBLogMetadataComponent = "ZRBLogMetadataComponent";
const char* const ZRBLogMetadataCause = "ZRBLogMetadataCause";
const char* const ZRBLogMetadataCallstack = "ZRBLogMetadataCallstack";

namespace infra::internal {

bool MetadataValuesEqual(const ZRBLogMetadataValue& a, const ZRBLogMetadataValue& b) {
  if (a.index() != b.index()) return false;
  if (auto* text = std::get_if<std::string>(&a)) return *text == std::get<std::string>(b);
  if (auto* error = std::get_if<std::shared_ptr<NSError>>(&a)) {
    return ErrorsEqual(*error, std::get<std::shared_ptr<NSError>>(b));
  }
  return ObjectsEqual(std::get<std::shared_ptr<ZRBLogCallstack>>(a),
                      std::get<std::shared_ptr<ZRBLogCallstack>>(b));
}

uint64_t HashOf(const ZRBLogMetadataValue& value) {
  if (auto* text = std::get_if<std::string>(&value)) return std::hash<std::string>{}(*text);
  if (auto* error = std::get_if<std::shared_ptr<NSError>>(&value)) return HashOf(*error);
  return HashOfObject(std::get<std::shared_ptr<ZRBLogCallstack>>(value));
}

}  // namespace infra::internal

namespace {

bool IsNone(const ZRBLogMetadataValue& value) {
  if (auto* error = std::get_if<std::shared_ptr<NSError>>(&value)) return *error == nullptr;
  if (auto* stack = std::get_if<std::shared_ptr<ZRBLogCallstack>>(&value)) return *stack == nullptr;
  return false;
}

// Sets or (for none) removes `key`.
void Put(ZRBLogMetadataProperties* properties, const std::string& key,
         std::optional<ZRBLogMetadataValue> value) {
  if (!value || IsNone(*value)) {
    properties->erase(key);
  } else {
    (*properties)[key] = std::move(*value);
  }
}

std::optional<ZRBLogMetadataValue> Value(std::optional<std::string> text) {
  if (!text) return std::nullopt;
  return ZRBLogMetadataValue(std::move(*text));
}

struct Entries {
  std::optional<std::string> id;
  std::optional<std::string> component;
  std::shared_ptr<NSError> cause;
  std::shared_ptr<ZRBLogCallstack> callstack;
};

std::shared_ptr<ZRBLogMetadata> Make(Entries entries) {
  ZRBLogMetadataProperties properties;
  Put(&properties, ZRBLogMetadataObfuscatedHollinID, Value(std::move(entries.id)));
  Put(&properties, ZRBLogMetadataComponent, Value(std::move(entries.component)));
  Put(&properties, ZRBLogMetadataCause, ZRBLogMetadataValue(std::move(entries.cause)));
  Put(&properties, ZRBLogMetadataCallstack, ZRBLogMetadataValue(std::move(entries.callstack)));
  return std::make_shared<ZRBLogMetadata>(std::move(properties));
}

}  // namespace

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::initWithProperties(
    ZRBLogMetadataProperties properties) {
  std::erase_if(properties, [](const auto& entry) { return IsNone(entry.second); });
  return std::make_shared<ZRBLogMetadata>(std::move(properties));
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataWithObfuscatedHollinID(OptionalString id) {
  return Make({.id = std::move(id)});
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataWithComponent(OptionalString component) {
  return Make({.component = std::move(component)});
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataWithCause(Error cause) {
  return Make({.cause = std::move(cause)});
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataWithCallstack(Callstack callstack) {
  return Make({.callstack = std::move(callstack)});
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataWithObfuscatedHollinID(
    OptionalString id, OptionalString component) {
  return Make({.id = std::move(id), .component = std::move(component)});
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataWithObfuscatedHollinID(
    OptionalString id, Callstack callstack) {
  return Make({.id = std::move(id), .callstack = std::move(callstack)});
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataWithComponent(OptionalString component,
                                                                      Callstack callstack) {
  return Make({.component = std::move(component), .callstack = std::move(callstack)});
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataWithObfuscatedHollinID(
    OptionalString id, OptionalString component, Error cause) {
  return Make({.id = std::move(id), .component = std::move(component), .cause = std::move(cause)});
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataWithObfuscatedHollinID(
    OptionalString id, OptionalString component, Error cause, Callstack callstack) {
  return Make({.id = std::move(id),
               .component = std::move(component),
               .cause = std::move(cause),
               .callstack = std::move(callstack)});
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::messageWithKey(
    const std::string& key, std::optional<ZRBLogMetadataValue> value) const {
  ZRBLogMetadataProperties properties = properties_;
  Put(&properties, key, std::move(value));
  return std::make_shared<ZRBLogMetadata>(std::move(properties));
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataByAddingObfuscatedHollinID(
    OptionalString id) const {
  return messageWithKey(ZRBLogMetadataObfuscatedHollinID, Value(std::move(id)));
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataByAddingComponent(
    OptionalString component) const {
  return messageWithKey(ZRBLogMetadataComponent, Value(std::move(component)));
}

std::shared_ptr<ZRBLogMetadata> ZRBLogMetadata::metadataByAddingCause(Error cause) const {
  return messageWithKey(ZRBLogMetadataCause, ZRBLogMetadataValue(std::move(cause)));
}

const ZRBLogMetadataValue* ZRBLogMetadata::propertyForKey(const std::string& key) const {
  auto it = properties_.find(key);
  return it == properties_.end() ? nullptr : &it->second;
}

ZRBLogMetadata::OptionalString ZRBLogMetadata::obfuscatedHollinID() const {
  auto* value = propertyForKey(ZRBLogMetadataObfuscatedHollinID);
  auto* text = value == nullptr ? nullptr : std::get_if<std::string>(value);
  return text == nullptr ? OptionalString() : *text;
}

ZRBLogMetadata::OptionalString ZRBLogMetadata::component() const {
  auto* value = propertyForKey(ZRBLogMetadataComponent);
  auto* text = value == nullptr ? nullptr : std::get_if<std::string>(value);
  return text == nullptr ? OptionalString() : *text;
}

ZRBLogMetadata::Error ZRBLogMetadata::cause() const {
  auto* value = propertyForKey(ZRBLogMetadataCause);
  auto* error = value == nullptr ? nullptr : std::get_if<Error>(value);
  return error == nullptr ? nullptr : *error;
}

ZRBLogMetadata::Callstack ZRBLogMetadata::callstack() const {
  auto* value = propertyForKey(ZRBLogMetadataCallstack);
  auto* stack = value == nullptr ? nullptr : std::get_if<Callstack>(value);
  return stack == nullptr ? nullptr : *stack;
}

bool ZRBLogMetadata::isEqual(const ZRBLogMetadata* other) const {
  if (other == this) return true;
  if (other == nullptr || other->properties_.size() != properties_.size()) return false;
  auto mine = properties_.begin();
  for (const auto& [key, value] : other->properties_) {
    if (key != mine->first || !infra::internal::MetadataValuesEqual(value, mine->second)) {
      return false;
    }
    ++mine;
  }
  return true;
}

uint64_t ZRBLogMetadata::hash() const {
  uint64_t hash = properties_.size();
  for (const auto& [key, value] : properties_) {
    hash = hash * 31 + std::hash<std::string>{}(key) + infra::internal::HashOf(value);
  }
  return hash;
}
