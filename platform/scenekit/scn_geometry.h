#ifndef PLATFORM_SCENEKIT_SCN_GEOMETRY_H_
#define PLATFORM_SCENEKIT_SCN_GEOMETRY_H_

// Geometry and materials as records: a shape's kind, its size and local bounding box, and the
// materials' settings. Nothing is rendered. Thread-safe (materials lock inside; a geometry's
// shape is fixed at creation).

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/corefoundation/object.h"
#include "platform/scenekit/scn_types.h"
#include "platform/uikit/ui_color.h"

enum SCNColorMask : long {
  SCNColorMaskNone = 0,
  SCNColorMaskRed = 1 << 3,
  SCNColorMaskGreen = 1 << 2,
  SCNColorMaskBlue = 1 << 1,
  SCNColorMaskAlpha = 1 << 0,
  SCNColorMaskAll = 15,
};

class SCNMaterialProperty {
 public:
  // What the property shows: a colour, a Core Foundation image or buffer (retained), or the
  // name of an image. Setting one clears the others.
  std::shared_ptr<UIColor> color() const;
  CFTypeRef object() const;
  std::string imageName() const;
  void setContents(std::shared_ptr<UIColor> color);
  void setContents(CFTypeRef object);
  void setContents(const std::string& image_name);
  ~SCNMaterialProperty();

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<UIColor> color_;
  CFTypeRef object_ = nullptr;
  std::string image_name_;
};

extern const std::string SCNLightingModelBlinn;
extern const std::string SCNLightingModelConstant;

class SCNMaterial {
 public:
  static std::shared_ptr<SCNMaterial> material() { return std::make_shared<SCNMaterial>(); }
  SCNMaterialProperty& diffuse() { return diffuse_; }
  SCNMaterialProperty& ambient() { return ambient_; }
  SCNMaterialProperty& emission() { return emission_; }
  // SCNLightingModelBlinn unless set; SCNLightingModelConstant ignores the scene's lights.
  std::string lightingModelName() const;
  void setLightingModelName(std::string name);
  bool readsFromDepthBuffer() const;
  void setReadsFromDepthBuffer(bool on);
  std::string name() const;
  void setName(const std::string& name);
  long colorBufferWriteMask() const;
  void setColorBufferWriteMask(long mask);
  bool isDoubleSided() const;
  void setDoubleSided(bool on);
  bool writesToDepthBuffer() const;
  void setWritesToDepthBuffer(bool on);

 private:
  mutable std::mutex mutex_;
  SCNMaterialProperty diffuse_;
  SCNMaterialProperty ambient_;
  SCNMaterialProperty emission_;
  std::string name_;
  std::string lighting_model_ = "blinn";
  bool reads_depth_ = true;
  long color_mask_ = SCNColorMaskAll;
  bool double_sided_ = false;
  bool writes_depth_ = true;
};

class SCNGeometry {
 public:
  // kind: "box", "plane", "sphere" or a caller's name; the bounding box is local.
  SCNGeometry(std::string kind, SCNVector3 min, SCNVector3 max)
      : kind_(std::move(kind)), min_(min), max_(max) {}
  virtual ~SCNGeometry() = default;
  const std::string& kind() const { return kind_; }
  virtual void getBoundingBox(SCNVector3* min, SCNVector3* max) const {
    *min = min_;
    *max = max_;
  }
  std::vector<std::shared_ptr<SCNMaterial>> materials() const;
  void setMaterials(std::vector<std::shared_ptr<SCNMaterial>> materials);
  // The first material; created on first access.
  std::shared_ptr<SCNMaterial> firstMaterial();

 private:
  const std::string kind_;
  const SCNVector3 min_, max_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<SCNMaterial>> materials_;
};

// Centred boxes, planes (in the node's x-y plane, facing +z) and spheres.
std::shared_ptr<SCNGeometry> SCNBox(float width, float height, float length);
std::shared_ptr<SCNGeometry> SCNPlane(float width, float height);
std::shared_ptr<SCNGeometry> SCNSphere(float radius);

#endif  // PLATFORM_SCENEKIT_SCN_GEOMETRY_H_
