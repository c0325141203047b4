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

}  // namespace
