#include "platform/foundation/device.h"

#include <sys/utsname.h>

#include <cstdio>
#include <mutex>

namespace platform::foundation {
namespace {

std::mutex& DeviceMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

DeviceSettings& Settings() {
  static auto* settings = new DeviceSettings;
  return *settings;
}

}  // namespace

DeviceSettings CurrentDevice() {
  std::lock_guard<std::mutex> lock(DeviceMutex());
  return Settings();
}

void SetDevice(const DeviceSettings& settings) {
  std::lock_guard<std::mutex> lock(DeviceMutex());
  Settings() = settings;
}

void ResetDevice() { SetDevice(DeviceSettings()); }

std::optional<std::string> DeviceMachine() {
  DeviceSettings settings = CurrentDevice();
  if (settings.unameFails) return std::nullopt;
  if (settings.machine.has_value()) return settings.machine;
  struct utsname name;
  if (uname(&name) != 0) return std::nullopt;
  return std::string(name.machine);
}

bool IsSystemVersionAtLeast(int major, int minor) {
  const std::string version = CurrentDevice().systemVersion;
  int have_major = 0, have_minor = 0;
  // "major", "major.minor" or "major.minor.patch"; a missing minor number is 0.
  const int parsed = std::sscanf(version.c_str(), "%d.%d", &have_major, &have_minor);
  if (parsed < 1) return false;
  return have_major != major ? have_major > major : have_minor >= minor;
}

}  // namespace platform::foundation

std::shared_ptr<UIDevice> UIDevice::currentDevice() {
  static auto* device = new std::shared_ptr<UIDevice>(std::make_shared<UIDevice>());
  return *device;
}

std::string UIDevice::systemVersion() const {
  return platform::foundation::CurrentDevice().systemVersion;
}

std::shared_ptr<NSUUID> UIDevice::identifierForVendor() const {
  auto text = platform::foundation::CurrentDevice().identifierForVendor;
  return text.has_value() ? NSUUID::initWithUUIDString(*text) : nullptr;
}

UIDeviceBatteryState UIDevice::batteryState() const {
  return platform::foundation::CurrentDevice().batteryState;
}
