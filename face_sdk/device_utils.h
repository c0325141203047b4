// Questions about the device the face SDK runs on: its model, its OS version and whether that
// version is supported, and whether the motion sensors exist.
//
//   if (!QVXDeviceUtils::isCurrentOSVersionSupported()) return nullptr;   // below "11.0"
//   QVXDeviceUtils::integerFromOSVersion("13.2.3");                       // 130203
//
// Version integers are major * 10000 + minor * 100 + patch. All methods are static and
// thread-safe; the answers come from the platform's device and Core Motion stand-ins.
#ifndef FACE_SDK_DEVICE_UTILS_H_
#define FACE_SDK_DEVICE_UTILS_H_

#include <cstdint>
#include <optional>
#include <string>

class QVXDeviceUtils {
 public:
  // The hardware model (`uname`'s machine field); none when it cannot be read.
  static std::optional<std::string> deviceType();
  static std::string osVersion();
  static std::string minSupportedOSVersion();
  // "a.b.c" split at '.': missing pieces and pieces that are not numbers count 0; pieces after
  // the third are ignored.
  static int64_t integerFromOSVersion(const std::string& version);
  static bool isCurrentOSVersionSupported();
  // Each call asks a fresh motion manager.
  static bool isAccelAvailable();
  static bool isGyroAvailable();

  static bool currentOSVersionSupported() { return isCurrentOSVersionSupported(); }
  static bool accelAvailable() { return isAccelAvailable(); }
  static bool gyroAvailable() { return isGyroAvailable(); }
};

#endif  // FACE_SDK_DEVICE_UTILS_H_
