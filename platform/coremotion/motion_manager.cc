#include "platform/coremotion/motion_manager.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace platform::coremotion {
namespace {

struct Device {
  std::mutex mutex;
  MotionAvailability availability;
  std::vector<std::weak_ptr<CMMotionManager>> active;
};

Device& TheDevice() {
  static Device* device = new Device;
  return *device;
}

void Register(const std::shared_ptr<CMMotionManager>& manager) {
  Device& device = TheDevice();
  std::lock_guard<std::mutex> lock(device.mutex);
  std::erase_if(device.active, [&](const std::weak_ptr<CMMotionManager>& m) {
    return m.expired() || m.lock() == manager;
  });
  device.active.push_back(manager);
}

}  // namespace

void SetMotionAvailability(const MotionAvailability& availability) {
  Device& device = TheDevice();
  std::lock_guard<std::mutex> lock(device.mutex);
  device.availability = availability;
}

MotionAvailability GetMotionAvailability() {
  Device& device = TheDevice();
  std::lock_guard<std::mutex> lock(device.mutex);
  return device.availability;
}

int PushDeviceMotion(CMAcceleration gravity, double timestamp) {
  std::vector<std::shared_ptr<CMMotionManager>> targets;
  {
    Device& device = TheDevice();
    std::lock_guard<std::mutex> lock(device.mutex);
    for (const auto& weak : device.active) {
      if (auto manager = weak.lock()) targets.push_back(std::move(manager));
    }
  }
  auto sample = std::make_shared<CMDeviceMotion>(gravity, timestamp);
  int delivered = 0;
  for (const auto& manager : targets) {
    if (!manager->isDeviceMotionActive()) continue;
    manager->Deliver(sample);
    ++delivered;
  }
  return delivered;
}

}  // namespace platform::coremotion

std::shared_ptr<CMMotionManager> CMMotionManager::init() {
  return std::shared_ptr<CMMotionManager>(new CMMotionManager);
}

CMMotionManager::~CMMotionManager() = default;

bool CMMotionManager::isDeviceMotionAvailable() const {
  return platform::coremotion::GetMotionAvailability().deviceMotion;
}

bool CMMotionManager::isAccelerometerAvailable() const {
  return platform::coremotion::GetMotionAvailability().accelerometer;
}

bool CMMotionManager::isGyroAvailable() const {
  return platform::coremotion::GetMotionAvailability().gyro;
}

double CMMotionManager::deviceMotionUpdateInterval() const {
  base::MutexLock lock(&mutex_);
  return interval_;
}

void CMMotionManager::setDeviceMotionUpdateInterval(double seconds) {
  base::MutexLock lock(&mutex_);
  interval_ = seconds;
}

bool CMMotionManager::isDeviceMotionActive() const {
  base::MutexLock lock(&mutex_);
  return active_;
}

void CMMotionManager::startDeviceMotionUpdates() { startDeviceMotionUpdatesToQueue(nullptr, {}); }

void CMMotionManager::startDeviceMotionUpdatesToQueue(std::shared_ptr<NSOperationQueue> queue,
                                                      CMDeviceMotionHandler handler) {
  if (!isDeviceMotionAvailable()) return;
  {
    base::MutexLock lock(&mutex_);
    const bool was_active = active_;
    active_ = true;
    queue_ = std::move(queue);
    handler_ = std::move(handler);
    if (was_active) return;
    latest_ = nullptr;
  }
  platform::coremotion::Register(shared_from_this());
}

void CMMotionManager::stopDeviceMotionUpdates() {
  base::MutexLock lock(&mutex_);
  active_ = false;
  queue_ = nullptr;
  handler_ = nullptr;
}

std::shared_ptr<CMDeviceMotion> CMMotionManager::deviceMotion() const {
  base::MutexLock lock(&mutex_);
  return latest_;
}

void CMMotionManager::Deliver(const std::shared_ptr<CMDeviceMotion>& sample) {
  std::shared_ptr<NSOperationQueue> queue;
  CMDeviceMotionHandler handler;
  {
    base::MutexLock lock(&mutex_);
    if (!active_) return;
    latest_ = sample;
    queue = queue_;
    handler = handler_;
  }
  if (queue && handler) {
    queue->addOperationWithBlock([handler, sample] { handler(sample, nullptr); });
  }
}
