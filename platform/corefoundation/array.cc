#include "platform/corefoundation/array.h"

#include <string>
#include <vector>

#include "base/logging.h"

using platform::corefoundation::kArrayTypeID;
using platform::corefoundation::Object;

const CFArrayCallBacks kCFTypeArrayCallBacks = {0};

struct CFArrayObject final : Object {
  CFArrayObject() : Object(kArrayTypeID) {}
  ~CFArrayObject() override {
    for (CFTypeRef item : items) CFRelease(item);
  }

  std::string Description() const override {
    std::string text = "(";
    for (size_t i = 0; i < items.size(); ++i) {
      if (i > 0) text += ", ";
      text += Object::FromRef(items[i])->Description();
    }
    return text + ")";
  }

  std::vector<CFTypeRef> items;
};

namespace {

const CFArrayObject& ArrayOf(CFArrayRef array) {
  CHECK(Object::FromRef(array)->type_id() == kArrayTypeID) << "not a CFArray";
  return *array;
}

}  // namespace

CFTypeID CFArrayGetTypeID() { return kArrayTypeID; }

CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex count,
                         const CFArrayCallBacks* callbacks) {
  auto* array = new CFArrayObject;
  for (CFIndex i = 0; i < count; ++i) array->items.push_back(CFRetain(values[i]));
  return array;
}

CFIndex CFArrayGetCount(CFArrayRef array) { return static_cast<CFIndex>(ArrayOf(array).items.size()); }

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index) {
  const auto& items = ArrayOf(array).items;
  CHECK(index >= 0 && static_cast<size_t>(index) < items.size())
      << "CFArray index " << index << " out of bounds (count " << items.size() << ")";
  return items[index];
}
