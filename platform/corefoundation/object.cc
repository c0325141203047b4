#include "platform/corefoundation/object.h"

#include <atomic>
#include <functional>
#include <sstream>
#include <string>

#include "base/logging.h"

namespace platform::corefoundation {

CFTypeID RegisterTypeID() {
  static std::atomic<CFTypeID> next{64};
  return next.fetch_add(1, std::memory_order_relaxed);
}

Object::~Object() { tag_ = 0; }

CFHashCode Object::Hash() const { return std::hash<const void*>()(this); }

std::string Object::Description() const {
  std::ostringstream text;
  text << "<CFType " << static_cast<const void*>(this) << ": type id " << type_id_ << ">";
  return text.str();
}

Object* Object::FromRef(CFTypeRef ref) {
  CHECK(ref != nullptr) << "NULL Core Foundation reference";
  auto* object = const_cast<Object*>(static_cast<const Object*>(ref));
  CHECK(object->tag_ == kTag) << "not a live Core Foundation object: " << ref;
  return object;
}

void Object::Retain() {
  if (immortal()) return;
  CFIndex before = count_.fetch_add(1, std::memory_order_relaxed);
  CHECK_GT(before, 0) << "retain of a released Core Foundation object";
}

void Object::Release() {
  if (immortal()) return;
  CFIndex before = count_.fetch_sub(1, std::memory_order_acq_rel);
  CHECK_GT(before, 0) << "over-release of a Core Foundation object";
  if (before == 1) LastRelease();
}

void Object::LastRelease() { delete this; }

}  // namespace platform::corefoundation

using platform::corefoundation::Object;

CFTypeRef CFRetain(CFTypeRef object) {
  Object::FromRef(object)->Retain();
  return object;
}

void CFRelease(CFTypeRef object) { Object::FromRef(object)->Release(); }

CFIndex CFGetRetainCount(CFTypeRef object) { return Object::FromRef(object)->retain_count(); }

CFTypeID CFGetTypeID(CFTypeRef object) { return Object::FromRef(object)->type_id(); }

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
  if (a == nullptr || b == nullptr) return false;
  if (a == b) return true;
  return Object::FromRef(a)->Equals(*Object::FromRef(b));
}

CFHashCode CFHash(CFTypeRef object) { return Object::FromRef(object)->Hash(); }
