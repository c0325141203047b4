#include "face_sdk/device_utils.h"

#include <cstdlib>
#include <vector>

#include "platform/coremotion/motion_manager.h"
#include "platform/foundation/device.h"

namespace {

// The integer value of a version piece: its leading decimal digits, 0 when there are none.
int64_t PieceValue(const std::string& piece) {
  return std::strtoll(piece.c_str(), nullptr, 10);
}

}  // namespace

std::optional<std::string> QVXDeviceUtils::deviceType() {
  return platform::foundation::DeviceMachine();
}

std::string QVXDeviceUtils::osVersion() { return UIDevice::currentDevice()->systemVersion(); }

std::string QVXDeviceUtils::minSupportedOSVersion() { return "11.0"; }

int64_t QVXDeviceUtils::integerFromOSVersion(const std::string& version) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    size_t dot = version.find('.', start);
    pieces.push_back(version.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  int64_t major = PieceValue(pieces[0]);
  int64_t minor = pieces.size() >= 2 ? PieceValue(pieces[1]) : 0;
  int64_t patch = pieces.size() >= 3 ? PieceValue(pieces[2]) : 0;
  return major * 10000 + minor * 100 + patch;
}

bool QVXDeviceUtils::isCurrentOSVersionSupported() {
  return integerFromOSVersion(osVersion()) >= integerFromOSVersion(minSupportedOSVersion());
}

bool QVXDeviceUtils::isAccelAvailable() {
  return CMMotionManager::init()->isAccelerometerAvailable();
}

bool QVXDeviceUtils::isGyroAvailable() { return CMMotionManager::init()->isGyroAvailable(); }
