#include "platform/coregraphics/color_space.h"

#include "base/logging.h"

struct CGColorSpaceObject final : platform::corefoundation::Object {
  CGColorSpaceObject(CGColorSpaceModel m, CFStringRef n)
      : Object(CGColorSpaceGetTypeID()), model(m), name(n) {}

  const CGColorSpaceModel model;
  const CFStringRef name;  // an immortal constant, or NULL
};

const CFStringRef kCGColorSpaceSRGB = CFSTR("kCGColorSpaceSRGB");
const CFStringRef kCGColorSpaceLinearGray = CFSTR("kCGColorSpaceLinearGray");

CFTypeID CGColorSpaceGetTypeID() {
  static const CFTypeID type_id = platform::corefoundation::RegisterTypeID();
  return type_id;
}

CGColorSpaceRef CGColorSpaceCreateDeviceGray() {
  return new CGColorSpaceObject(kCGColorSpaceModelMonochrome, nullptr);
}

CGColorSpaceRef CGColorSpaceCreateDeviceRGB() {
  return new CGColorSpaceObject(kCGColorSpaceModelRGB, nullptr);
}

CGColorSpaceRef CGColorSpaceCreateWithName(CFStringRef name) {
  if (CFEqual(name, kCGColorSpaceSRGB)) {
    return new CGColorSpaceObject(kCGColorSpaceModelRGB, kCGColorSpaceSRGB);
  }
  if (CFEqual(name, kCGColorSpaceLinearGray)) {
    return new CGColorSpaceObject(kCGColorSpaceModelMonochrome, kCGColorSpaceLinearGray);
  }
  return nullptr;
}

CGColorSpaceRef CGColorSpaceRetain(CGColorSpaceRef space) {
  if (space != nullptr) CFRetain(space);
  return space;
}

void CGColorSpaceRelease(CGColorSpaceRef space) {
  if (space != nullptr) CFRelease(space);
}

size_t CGColorSpaceGetNumberOfComponents(CGColorSpaceRef space) {
  if (space == nullptr) return 0;
  return space->model == kCGColorSpaceModelRGB ? 3 : 1;
}

CGColorSpaceModel CGColorSpaceGetModel(CGColorSpaceRef space) {
  CHECK(space != nullptr);
  return space->model;
}

CFStringRef CGColorSpaceGetName(CGColorSpaceRef space) {
  return space == nullptr ? nullptr : space->name;
}
