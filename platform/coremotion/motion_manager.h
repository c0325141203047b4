#ifndef PLATFORM_COREMOTION_MOTION_MANAGER_H_
#define PLATFORM_COREMOTION_MOTION_MANAGER_H_

// Core Motion's motion manager over a scripted device: tests decide which sensors exist and
// push the device-motion samples.
//
//   auto motion = CMMotionManager::init();
//   if (motion->isDeviceMotionAvailable()) {
//     motion->setDeviceMotionUpdateInterval(0.1);
//     motion->startDeviceMotionUpdates();          // polled: read deviceMotion() later
//   }
//   platform::coremotion::PushDeviceMotion({0, -1, 0});   // the test moves the device
//   std::shared_ptr<CMDeviceMotion> sample = motion->deviceMotion();   // gravity (0, -1, 0)
//
// A pushed sample reaches every manager whose device-motion updates are active: it becomes the
// manager's `deviceMotion()`, and a manager started with a queue and handler also gets the
// handler called with it on that queue. Managers that are not active, or were created while
// device motion is unavailable, get nothing; `deviceMotion()` stays null until the first
// sample arrives after a start. The update interval is recorded; samples come only when pushed.
// All methods are thread-safe.

#include <functional>
#include <memory>
#include <mutex>

#include "base/mutex.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_operation_queue.h"

// Accelerations in units of g.
struct CMAcceleration {
  double x = 0;
  double y = 0;
  double z = 0;
};

// One device-motion sample. Only gravity is modelled; the user acceleration is zero.
class CMDeviceMotion {
 public:
  CMDeviceMotion(CMAcceleration gravity, double timestamp)
      : gravity_(gravity), timestamp_(timestamp) {}
  CMAcceleration gravity() const { return gravity_; }
  CMAcceleration userAcceleration() const { return {}; }
  // Seconds, as pushed by the test.
  double timestamp() const { return timestamp_; }

 private:
  const CMAcceleration gravity_;
  const double timestamp_;
};

using CMDeviceMotionHandler =
    std::function<void(std::shared_ptr<CMDeviceMotion> motion, std::shared_ptr<NSError> error)>;

class CMMotionManager : public std::enable_shared_from_this<CMMotionManager> {
 public:
  static std::shared_ptr<CMMotionManager> init();
  ~CMMotionManager();

  bool isDeviceMotionAvailable() const;
  bool isAccelerometerAvailable() const;
  bool isGyroAvailable() const;

  double deviceMotionUpdateInterval() const;
  void setDeviceMotionUpdateInterval(double seconds);

  bool isDeviceMotionActive() const;
  // Starts updates without a handler: samples are read through deviceMotion(). Does nothing
  // while device motion is unavailable.
  void startDeviceMotionUpdates();
  // Starts updates that also call `handler` on `queue` for every sample.
  void startDeviceMotionUpdatesToQueue(std::shared_ptr<NSOperationQueue> queue,
                                       CMDeviceMotionHandler handler);
  // Stops updates; handler calls already queued still run. deviceMotion() keeps the last sample.
  void stopDeviceMotionUpdates();
  // The latest sample since updates were started, or null.
  std::shared_ptr<CMDeviceMotion> deviceMotion() const;

  // Called by the scripted device.
  void Deliver(const std::shared_ptr<CMDeviceMotion>& sample);

 private:
  CMMotionManager() = default;

  mutable base::Mutex mutex_;
  double interval_ ABSL_GUARDED_BY(mutex_) = 0.01;
  bool active_ ABSL_GUARDED_BY(mutex_) = false;
  std::shared_ptr<NSOperationQueue> queue_ ABSL_GUARDED_BY(mutex_);
  CMDeviceMotionHandler handler_ ABSL_GUARDED_BY(mutex_);
  std::shared_ptr<CMDeviceMotion> latest_ ABSL_GUARDED_BY(mutex_);
};

namespace platform::coremotion {

// Which sensors the device has. All present by default.
struct MotionAvailability {
  bool deviceMotion = true;
  bool accelerometer = true;
  bool gyro = true;
};
void SetMotionAvailability(const MotionAvailability& availability);
MotionAvailability GetMotionAvailability();

// Hands a device-motion sample with `gravity` to every active manager; returns how many got it.
int PushDeviceMotion(CMAcceleration gravity, double timestamp = 0);

}  // namespace platform::coremotion

#endif  // PLATFORM_COREMOTION_MOTION_MANAGER_H_
