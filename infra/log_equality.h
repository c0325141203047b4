// Equality and hashing of the optional values that log messages and metadata carry: a value
// that is none equals only none and hashes as 0.
#ifndef INFRA_LOG_EQUALITY_H_
#define INFRA_LOG_EQUALITY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/ns_error.h"

namespace infra::internal {

inline uint64_t HashOf(const std::optional<std::string>& text) {
  return text ? std::hash<std::string>{}(*text) : 0;
}

// Errors are equal when they are the same object or agree in domain, code and description.
inline bool ErrorsEqual(const std::shared_ptr<NSError>& a, const std::shared_ptr<NSError>& b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  return a->domain() == b->domain() && a->code() == b->code() &&
         a->description() == b->description();
}

inline uint64_t HashOf(const std::shared_ptr<NSError>& error) {
  if (error == nullptr) return 0;
  return std::hash<std::string>{}(error->domain()) + static_cast<uint64_t>(error->code());
}

// Objects with isEqual(const T*) and hash(): equal or both none.
template <typename T>
bool ObjectsEqual(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  return a->isEqual(b.get());
}

template <typename T>
uint64_t HashOfObject(const std::shared_ptr<T>& object) {
  return object == nullptr ? 0 : object->hash();
}

}  // namespace infra::internal

#endif  // INFRA_LOG_EQUALITY_H_
