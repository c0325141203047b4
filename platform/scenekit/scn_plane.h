#ifndef PLATFORM_SCENEKIT_SCN_PLANE_H_
#define PLATFORM_SCENEKIT_SCN_PLANE_H_

// A plane geometry whose size can change (the platform's SCNPlane class; SCNPlane() of
// scn_geometry.h makes a fixed one). Centred in the node's x-y plane, facing +z: the width
// runs along x, the height along y. Thread-safe.
//
//   auto plane = SCNPlaneGeometry::planeWithWidth(0.5, 0.018);
//   plane->setWidth(0.2);
//   node->setGeometry(plane);

#include <memory>
#include <mutex>

#include "platform/scenekit/scn_geometry.h"

class SCNPlaneGeometry : public SCNGeometry {
 public:
  static std::shared_ptr<SCNPlaneGeometry> planeWithWidth(CGFloat width, CGFloat height) {
    return std::make_shared<SCNPlaneGeometry>(width, height);
  }
  SCNPlaneGeometry(CGFloat width, CGFloat height)
      : SCNGeometry("plane", {}, {}), width_(width), height_(height) {}

  CGFloat width() const {
    std::lock_guard<std::mutex> lock(size_mutex_);
    return width_;
  }
  void setWidth(CGFloat width) {
    std::lock_guard<std::mutex> lock(size_mutex_);
    width_ = width;
  }
  CGFloat height() const {
    std::lock_guard<std::mutex> lock(size_mutex_);
    return height_;
  }
  void setHeight(CGFloat height) {
    std::lock_guard<std::mutex> lock(size_mutex_);
    height_ = height;
  }

  void getBoundingBox(SCNVector3* min, SCNVector3* max) const override {
    std::lock_guard<std::mutex> lock(size_mutex_);
    *min = {static_cast<float>(-width_ / 2), static_cast<float>(-height_ / 2), 0};
    *max = {static_cast<float>(width_ / 2), static_cast<float>(height_ / 2), 0};
  }

 private:
  mutable std::mutex size_mutex_;
  CGFloat width_;
  CGFloat height_;
};

#endif  // PLATFORM_SCENEKIT_SCN_PLANE_H_
