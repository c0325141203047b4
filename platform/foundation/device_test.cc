#include "platform/foundation/device.h"

#include <sys/utsname.h>

#include "gtest/gtest.h"

namespace {

using platform::foundation::CurrentDevice;
using platform::foundation::DeviceMachine;
using platform::foundation::DeviceSettings;
using platform::foundation::ResetDevice;
using platform::foundation::SetDevice;

class DeviceTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetDevice(); }
};

TEST_F(DeviceTest, DefaultsDescribeAHostWithSensorsAndAVendorIdentifier) {
  auto device = UIDevice::currentDevice();
  EXPECT_EQ(device->systemVersion(), "17.0");
  ASSERT_NE(device->identifierForVendor(), nullptr);
  EXPECT_EQ(device->identifierForVendor()->UUIDString(), "5D3A0C1E-8B47-4F26-9E1D-2A6C7B0F4E93");
  EXPECT_TRUE(CurrentDevice().accelerometerAvailable);
  EXPECT_TRUE(CurrentDevice().gyroscopeAvailable);

  struct utsname name;
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(DeviceMachine(), std::string(name.machine));
}

TEST_F(DeviceTest, SettingsReplaceEveryValue) {
  DeviceSettings settings;
  settings.systemVersion = "10.3.3";
  settings.machine = "iPhone12,1";
  settings.accelerometerAvailable = false;
  settings.identifierForVendor.reset();
  SetDevice(settings);
  EXPECT_EQ(UIDevice::currentDevice()->systemVersion(), "10.3.3");
  EXPECT_EQ(DeviceMachine(), "iPhone12,1");
  EXPECT_FALSE(CurrentDevice().accelerometerAvailable);
  EXPECT_TRUE(CurrentDevice().gyroscopeAvailable);
  EXPECT_EQ(UIDevice::currentDevice()->identifierForVendor(), nullptr);

  settings.unameFails = true;
  SetDevice(settings);
  EXPECT_EQ(DeviceMachine(), std::nullopt);

  ResetDevice();
  EXPECT_EQ(UIDevice::currentDevice()->systemVersion(), "17.0");
}

TEST_F(DeviceTest, SystemVersionAtLeastComparesMajorThenMinor) {
  struct Case {
    const char* version;
    bool at_least_12_0;
    bool at_least_12_1;
  };
  for (const Case& c : {Case{"11.4", false, false}, Case{"11.9.9", false, false},
                        Case{"12.0", true, false}, Case{"12", true, false},
                        Case{"12.0.1", true, false}, Case{"12.1", true, true},
                        Case{"13.0", true, true}, Case{"9.10", false, false},
                        Case{"", false, false}, Case{"beta", false, false}}) {
    DeviceSettings settings;
    settings.systemVersion = c.version;
    SetDevice(settings);
    EXPECT_EQ(platform::foundation::IsSystemVersionAtLeast(12, 0), c.at_least_12_0) << c.version;
    EXPECT_EQ(platform::foundation::IsSystemVersionAtLeast(12, 1), c.at_least_12_1) << c.version;
  }
}

}  // namespace
