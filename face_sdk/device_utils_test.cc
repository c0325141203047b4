#include "face_sdk/device_utils.h"

#include <gtest/gtest.h>

#include "platform/coremotion/motion_manager.h"
#include "platform/foundation/device.h"

namespace {

class DeviceUtilsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::foundation::ResetDevice();
    platform::coremotion::SetMotionAvailability({});
  }

  void Set(void (*change)(platform::foundation::DeviceSettings&)) {
    platform::foundation::DeviceSettings settings = platform::foundation::CurrentDevice();
    change(settings);
    platform::foundation::SetDevice(settings);
  }
};

TEST_F(DeviceUtilsTest, IntegerFromOSVersion) {
  struct Case {
    const char* version;
    int64_t expected;
  };
  for (const Case& c : {Case{"11.0", 110000}, Case{"13.2.3", 130203}, Case{"12", 120000},
                        Case{"", 0}, Case{"10.3.3", 100303}, Case{"x.4", 400},
                        Case{"14.beta.1", 140001}, Case{"1.2.3.4", 10203}, Case{"9.", 90000}}) {
    EXPECT_EQ(QVXDeviceUtils::integerFromOSVersion(c.version), c.expected) << c.version;
  }
}

TEST_F(DeviceUtilsTest, SupportStartsAtEleven) {
  EXPECT_EQ(QVXDeviceUtils::minSupportedOSVersion(), "11.0");
  for (auto [version, supported] : {std::pair{"10.3.3", false}, std::pair{"11.0", true},
                                    std::pair{"11", true}, std::pair{"17.1.2", true}}) {
    platform::foundation::DeviceSettings settings = platform::foundation::CurrentDevice();
    settings.systemVersion = version;
    platform::foundation::SetDevice(settings);
    EXPECT_EQ(QVXDeviceUtils::osVersion(), version);
    EXPECT_EQ(QVXDeviceUtils::isCurrentOSVersionSupported(), supported) << version;
    EXPECT_EQ(QVXDeviceUtils::currentOSVersionSupported(), supported) << version;
  }
}

TEST_F(DeviceUtilsTest, DeviceTypeFollowsUname) {
  Set([](auto& s) { s.machine = "iPhone12,1"; });
  EXPECT_EQ(QVXDeviceUtils::deviceType(), "iPhone12,1");
  Set([](auto& s) { s.unameFails = true; });
  EXPECT_EQ(QVXDeviceUtils::deviceType(), std::nullopt);
}

TEST_F(DeviceUtilsTest, SensorsFollowCoreMotion) {
  platform::coremotion::SetMotionAvailability({.accelerometer = true, .gyro = false});
  EXPECT_TRUE(QVXDeviceUtils::accelAvailable());
  EXPECT_FALSE(QVXDeviceUtils::gyroAvailable());
  platform::coremotion::SetMotionAvailability({.accelerometer = false, .gyro = true});
  EXPECT_FALSE(QVXDeviceUtils::isAccelAvailable());
  EXPECT_TRUE(QVXDeviceUtils::isGyroAvailable());
}

}  // namespace
