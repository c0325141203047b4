#include "platform/corefoundation/cf_string.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "base/logging.h"

using platform::corefoundation::Object;

bool CFStringObject::Equals(const Object& other) const {
  return other.type_id() == platform::corefoundation::kStringTypeID &&
         static_cast<const CFStringObject&>(other).text == text;
}

CFHashCode CFStringObject::Hash() const { return std::hash<std::string_view>()(text); }

CFTypeID CFStringGetTypeID() { return platform::corefoundation::kStringTypeID; }

namespace {

// A string that owns its text and is counted like any object.
struct OwnedString final : CFStringObject {
  explicit OwnedString(std::string owned) : CFStringObject({}, /*immortal=*/false), storage(std::move(owned)) {
    text = storage;
  }
  std::string storage;
};

}  // namespace

CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* text,
                                      CFStringEncoding encoding) {
  return text != nullptr ? new OwnedString(text) : nullptr;
}

CFStringRef CFCopyDescription(CFTypeRef object) {
  return new OwnedString(object != nullptr ? Object::FromRef(object)->Description() : "(null)");
}

void CFShow(CFTypeRef object) {
  std::string text = object != nullptr ? Object::FromRef(object)->Description() : "(null)";
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
}

namespace {

const CFStringObject& StringOf(CFStringRef string) {
  const Object* object = Object::FromRef(string);
  CHECK(object->type_id() == platform::corefoundation::kStringTypeID) << "not a CFString";
  return *string;
}

}  // namespace

CFIndex CFStringGetLength(CFStringRef string) {
  return static_cast<CFIndex>(StringOf(string).text.size());
}

const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding) {
  return StringOf(string).text.data();
}

namespace platform::corefoundation {

CFStringRef InternString(std::string_view text) {
  // Interned strings live for the process: neither the table nor its strings are destroyed.
  struct Table {
    std::mutex mutex;
    std::unordered_map<std::string, std::unique_ptr<CFStringObject>> strings;
  };
  static Table* table = new Table;
  std::lock_guard<std::mutex> lock(table->mutex);
  auto [it, inserted] = table->strings.try_emplace(std::string(text));
  if (inserted) it->second = std::make_unique<CFStringObject>(it->first);
  return it->second.get();
}

}  // namespace platform::corefoundation
