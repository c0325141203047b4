#include "platform/scenekit/scn_geometry.h"

#include <utility>

SCNMaterialProperty::~SCNMaterialProperty() {
  if (object_ != nullptr) CFRelease(object_);
}

std::shared_ptr<UIColor> SCNMaterialProperty::color() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return color_;
}

CFTypeRef SCNMaterialProperty::object() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return object_;
}

std::string SCNMaterialProperty::imageName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return image_name_;
}

void SCNMaterialProperty::setContents(std::shared_ptr<UIColor> color) {
  setContents(CFTypeRef{nullptr});
  std::lock_guard<std::mutex> lock(mutex_);
  color_ = std::move(color);
}

void SCNMaterialProperty::setContents(CFTypeRef object) {
  if (object != nullptr) CFRetain(object);
  CFTypeRef old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::exchange(object_, object);
    color_ = nullptr;
    image_name_.clear();
  }
  if (old != nullptr) CFRelease(old);
}

void SCNMaterialProperty::setContents(const std::string& image_name) {
  setContents(CFTypeRef{nullptr});
  std::lock_guard<std::mutex> lock(mutex_);
  image_name_ = image_name;
}

const std::string SCNLightingModelBlinn = "blinn";
const std::string SCNLightingModelConstant = "constant";

#define QM_LOCKED_PROPERTY(Class, Type, getter, setter, member) \
  Type Class::getter() const {                                  \
    std::lock_guard<std::mutex> lock(mutex_);                   \
    return member;                                              \
  }                                                             \
  void Class::setter(Type value) {                              \
    std::lock_guard<std::mutex> lock(mutex_);                   \
    member = value;                                             \
  }
QM_LOCKED_PROPERTY(SCNMaterial, long, colorBufferWriteMask, setColorBufferWriteMask, color_mask_)
QM_LOCKED_PROPERTY(SCNMaterial, bool, isDoubleSided, setDoubleSided, double_sided_)
QM_LOCKED_PROPERTY(SCNMaterial, bool, writesToDepthBuffer, setWritesToDepthBuffer, writes_depth_)
QM_LOCKED_PROPERTY(SCNMaterial, bool, readsFromDepthBuffer, setReadsFromDepthBuffer, reads_depth_)
QM_LOCKED_PROPERTY(SCNMaterial, std::string, lightingModelName, setLightingModelName,
                   lighting_model_)
#undef QM_LOCKED_PROPERTY

std::string SCNMaterial::name() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return name_;
}

void SCNMaterial::setName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  name_ = name;
}

std::vector<std::shared_ptr<SCNMaterial>> SCNGeometry::materials() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return materials_;
}

void SCNGeometry::setMaterials(std::vector<std::shared_ptr<SCNMaterial>> materials) {
  std::lock_guard<std::mutex> lock(mutex_);
  materials_ = std::move(materials);
}

std::shared_ptr<SCNMaterial> SCNGeometry::firstMaterial() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (materials_.empty()) materials_.push_back(SCNMaterial::material());
  return materials_.front();
}

std::shared_ptr<SCNGeometry> SCNBox(float width, float height, float length) {
  return std::make_shared<SCNGeometry>("box", SCNVector3{-width / 2, -height / 2, -length / 2},
                                       SCNVector3{width / 2, height / 2, length / 2});
}

std::shared_ptr<SCNGeometry> SCNPlane(float width, float height) {
  return std::make_shared<SCNGeometry>("plane", SCNVector3{-width / 2, -height / 2, 0},
                                       SCNVector3{width / 2, height / 2, 0});
}

std::shared_ptr<SCNGeometry> SCNSphere(float radius) {
  return std::make_shared<SCNGeometry>("sphere", SCNVector3{-radius, -radius, -radius},
                                       SCNVector3{radius, radius, radius});
}
