#include "platform/coremotion/motion_manager.h"

#include <vector>

#include "gtest/gtest.h"

namespace {

using platform::coremotion::MotionAvailability;
using platform::coremotion::PushDeviceMotion;
using platform::coremotion::SetMotionAvailability;

class MotionManagerTest : public testing::Test {
 protected:
  void TearDown() override { SetMotionAvailability({}); }
};

TEST_F(MotionManagerTest, PolledUpdatesSeeSamplesOnlyWhileActive) {
  auto motion = CMMotionManager::init();
  motion->setDeviceMotionUpdateInterval(0.1);
  EXPECT_EQ(motion->deviceMotionUpdateInterval(), 0.1);
  EXPECT_EQ(PushDeviceMotion({1, 0, 0}), 0);
  EXPECT_EQ(motion->deviceMotion(), nullptr);

  motion->startDeviceMotionUpdates();
  motion->startDeviceMotionUpdates();  // a second start does not double the deliveries
  EXPECT_TRUE(motion->isDeviceMotionActive());
  EXPECT_EQ(motion->deviceMotion(), nullptr);
  EXPECT_EQ(PushDeviceMotion({0, -1, 0.5}, 3.0), 1);
  ASSERT_NE(motion->deviceMotion(), nullptr);
  EXPECT_EQ(motion->deviceMotion()->gravity().y, -1);
  EXPECT_EQ(motion->deviceMotion()->gravity().z, 0.5);
  EXPECT_EQ(motion->deviceMotion()->timestamp(), 3.0);

  motion->stopDeviceMotionUpdates();
  EXPECT_EQ(PushDeviceMotion({1, 0, 0}), 0);
  EXPECT_EQ(motion->deviceMotion()->gravity().y, -1);  // last sample kept
  motion->startDeviceMotionUpdates();
  EXPECT_EQ(motion->deviceMotion(), nullptr);  // a new start waits for a new sample
  EXPECT_EQ(PushDeviceMotion({1, 0, 0}), 1);
}

TEST_F(MotionManagerTest, HandlerRunsOnItsQueueInOrder) {
  auto motion = CMMotionManager::init();
  auto queue = NSOperationQueue::init();
  std::vector<double> xs;
  NSOperationQueue* seen_queue = nullptr;
  motion->startDeviceMotionUpdatesToQueue(queue, [&](std::shared_ptr<CMDeviceMotion> m,
                                                     std::shared_ptr<NSError> error) {
    EXPECT_EQ(error, nullptr);
    xs.push_back(m->gravity().x);
    seen_queue = NSOperationQueue::currentQueue();
  });
  PushDeviceMotion({1, 0, 0});
  PushDeviceMotion({2, 0, 0});
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(xs, (std::vector<double>{1, 2}));
  EXPECT_EQ(seen_queue, queue.get());
}

TEST_F(MotionManagerTest, UnavailableSensorsAndDestroyedManagers) {
  SetMotionAvailability({.deviceMotion = false, .accelerometer = true, .gyro = false});
  auto motion = CMMotionManager::init();
  EXPECT_FALSE(motion->isDeviceMotionAvailable());
  EXPECT_TRUE(motion->isAccelerometerAvailable());
  EXPECT_FALSE(motion->isGyroAvailable());
  motion->startDeviceMotionUpdates();
  EXPECT_FALSE(motion->isDeviceMotionActive());
  EXPECT_EQ(PushDeviceMotion({0, -1, 0}), 0);
  EXPECT_EQ(motion->deviceMotion(), nullptr);

  SetMotionAvailability({});
  motion->startDeviceMotionUpdates();
  motion.reset();  // a destroyed manager is simply not reached
  EXPECT_EQ(PushDeviceMotion({0, -1, 0}), 0);
}

}  // namespace
