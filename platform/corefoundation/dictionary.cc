#include "platform/corefoundation/dictionary.h"

#include <string>
#include <utility>
#include <vector>

#include "base/logging.h"

using platform::corefoundation::kDictionaryTypeID;
using platform::corefoundation::Object;

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0};

struct CFDictionaryObject final : Object {
  explicit CFDictionaryObject(bool is_mutable) : Object(kDictionaryTypeID), is_mutable(is_mutable) {}
  ~CFDictionaryObject() override {
    for (auto& [key, value] : entries) {
      CFRelease(key);
      CFRelease(value);
    }
  }

  const std::pair<CFTypeRef, CFTypeRef>* Find(CFTypeRef key) const {
    for (const auto& entry : entries) {
      if (CFEqual(entry.first, key)) return &entry;
    }
    return nullptr;
  }

  void Set(CFTypeRef key, CFTypeRef value) {
    CHECK(key != nullptr && value != nullptr) << "NULL key or value in a CFDictionary";
    CFRetain(value);
    if (auto* entry = const_cast<std::pair<CFTypeRef, CFTypeRef>*>(Find(key))) {
      CFRelease(entry->second);
      entry->second = value;
      return;
    }
    entries.emplace_back(CFRetain(key), value);
  }

  std::string Description() const override {
    std::string text = "{";
    for (size_t i = 0; i < entries.size(); ++i) {
      if (i > 0) text += "; ";
      text += Object::FromRef(entries[i].first)->Description();
      text += " = ";
      text += Object::FromRef(entries[i].second)->Description();
    }
    return text + "}";
  }

  const bool is_mutable;
  std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;
};

namespace {

const CFDictionaryObject& DictionaryOf(CFDictionaryRef dictionary) {
  CHECK(Object::FromRef(dictionary)->type_id() == kDictionaryTypeID) << "not a CFDictionary";
  return *dictionary;
}

}  // namespace

CFTypeID CFDictionaryGetTypeID() { return kDictionaryTypeID; }

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys,
                                   const void** values, CFIndex count,
                                   const CFDictionaryKeyCallBacks* key_callbacks,
                                   const CFDictionaryValueCallBacks* value_callbacks) {
  auto* dictionary = new CFDictionaryObject(/*is_mutable=*/false);
  for (CFIndex i = 0; i < count; ++i) dictionary->Set(keys[i], values[i]);
  return dictionary;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* key_callbacks,
                                                 const CFDictionaryValueCallBacks* value_callbacks) {
  return new CFDictionaryObject(/*is_mutable=*/true);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary) {
  return static_cast<CFIndex>(DictionaryOf(dictionary).entries.size());
}

const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key) {
  const auto* entry = DictionaryOf(dictionary).Find(key);
  return entry != nullptr ? entry->second : nullptr;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef dictionary, const void* key,
                                      const void** value) {
  const auto* entry = DictionaryOf(dictionary).Find(key);
  if (entry == nullptr) return false;
  if (value != nullptr) *value = entry->second;
  return true;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef dictionary, const void* key) {
  return DictionaryOf(dictionary).Find(key) != nullptr;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef dictionary, const void** keys, const void** values) {
  const auto& entries = DictionaryOf(dictionary).entries;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (keys != nullptr) keys[i] = entries[i].first;
    if (values != nullptr) values[i] = entries[i].second;
  }
}

void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value) {
  DictionaryOf(dictionary);
  CHECK(dictionary->is_mutable) << "CFDictionarySetValue on an immutable dictionary";
  dictionary->Set(key, value);
}
