// The device the process runs on, as the application layer sees it: its system version, its
// hardware model ("machine"), whether it has motion sensors, and the identifier for vendor.
//
// Nothing here is read from the host except the default machine name, which is the `machine`
// field of `uname` ("x86_64" on a usual Linux host). Tests and hosts set every value with
// `platform::foundation::SetDevice`; the values are process-wide and may be read and set from
// any thread.
//
// Example:
//
//   platform::foundation::DeviceSettings device = platform::foundation::CurrentDevice();
//   device.systemVersion = "10.3.3";
//   device.identifierForVendor.reset();  // the vendor identifier is not available
//   platform::foundation::SetDevice(device);
//   UIDevice::currentDevice()->systemVersion();  // "10.3.3"
#ifndef PLATFORM_FOUNDATION_DEVICE_H_
#define PLATFORM_FOUNDATION_DEVICE_H_

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/ns_uuid.h"

// The battery's state; unknown while battery monitoring is off, which is how apps usually run.
enum UIDeviceBatteryState : long {
  UIDeviceBatteryStateUnknown = 0,
  UIDeviceBatteryStateUnplugged = 1,  // running on battery
  UIDeviceBatteryStateCharging = 2,
  UIDeviceBatteryStateFull = 3,
};

namespace platform::foundation {

struct DeviceSettings {
  // The operating-system version string, "major.minor[.patch]".
  std::string systemVersion = "17.0";
  // The hardware model. When unset, the `machine` field of `uname`.
  std::optional<std::string> machine;
  // Whether `uname` fails (the machine name is then unavailable).
  bool unameFails = false;
  bool accelerometerAvailable = true;
  bool gyroscopeAvailable = true;
  // The identifier for vendor as a UUID text, or none when the system has none to give. The
  // default is a fixed identifier, so that runs are reproducible.
  std::optional<std::string> identifierForVendor = "5D3A0C1E-8B47-4F26-9E1D-2A6C7B0F4E93";
  UIDeviceBatteryState batteryState = UIDeviceBatteryStateUnknown;
};

// The settings now in effect (the defaults above until `SetDevice` is called).
DeviceSettings CurrentDevice();
void SetDevice(const DeviceSettings& settings);
// Back to the defaults.
void ResetDevice();

// The machine name: `DeviceSettings::machine` when set, else `uname`'s; none when `uname`
// fails (or `unameFails` is set).
std::optional<std::string> DeviceMachine();

// Whether the system version is `major`.`minor` or later, as the platform's availability
// check (`#available(iOS 12.0, *)`) answers it. A missing minor number is 0; a version text
// that does not start with a number counts as older than any.
bool IsSystemVersionAtLeast(int major, int minor);

}  // namespace platform::foundation

// The application layer's view of the device.
class UIDevice {
 public:
  static std::shared_ptr<UIDevice> currentDevice();

  std::string systemVersion() const;
  // Null when the settings give no identifier or one that is not a UUID text.
  std::shared_ptr<NSUUID> identifierForVendor() const;
  UIDeviceBatteryState batteryState() const;
};

#endif  // PLATFORM_FOUNDATION_DEVICE_H_
