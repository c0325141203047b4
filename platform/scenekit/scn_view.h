#ifndef PLATFORM_SCENEKIT_SCN_VIEW_H_
#define PLATFORM_SCENEKIT_SCN_VIEW_H_

// The scene view: a UIView that "renders" a scene on a render thread of its own, which tests
// step one frame at a time, plus projection and hit tests against node bounding boxes.
//
//   auto view = SCNView::initWithFrame(CGRectMake(0, 0, 400, 800), {});
//   view->setScene(scene);
//   view->setPointOfView(camera_node);          // a node with an SCNCamera
//   view->setDelegate(renderer_delegate);
//   platform::scenekit::RenderFrame(*view, 1.0); // one frame on the render thread, waited for
//   SCNVector3 screen = view->projectPoint({0, 0, -1});
//   auto hits = view->hitTest({200, 400}, {{SCNHitTestBoundingBoxOnlyKey, true}});
//
// A frame is: the delegate's rendererUpdateAtTime, the subclass's per-frame work
// (RenderFrameWork; the AR view adds its anchor callbacks there), then
// rendererDidRenderScene. Frames run only when a test (or host) asks; rendersContinuously and
// isPlaying are records. The render thread ("SCNRenderThread") starts with the first frame and
// is joined by StopRendering() or the destructor.
//
// Projection: the camera is the point of view's SCNCamera (its custom projection when one was
// set, else a perspective with the view's aspect), or a default 60° camera at the origin
// looking down -z. Screen y grows downwards; projected depth is 0 at the near plane and 1 at
// the far one. Hit tests intersect the ray through a point with the world-space boxes of the
// visible nodes that have geometry, nearest first (the bounding-box-only option is what this
// stand-in always does). The C++ delegate methods carry the Swift names' words, since several
// Objective-C selectors start with the same keyword.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/metal/device.h"
#include "platform/scenekit/scn_node.h"
#include "platform/scenekit/scn_scene.h"
#include "platform/uikit/ui_image.h"
#include "platform/uikit/ui_view.h"

extern const std::string SCNHitTestBoundingBoxOnlyKey;
extern const std::string SCNHitTestFirstFoundOnlyKey;
using SCNHitTestOptions = std::map<std::string, bool>;

struct SCNHitTestResult {
  std::shared_ptr<SCNNode> node;
  SCNVector3 worldCoordinates;
  SCNVector3 localCoordinates;
};

class SCNSceneRenderer {
 public:
  virtual ~SCNSceneRenderer() = default;
  virtual std::shared_ptr<SCNScene> scene() const = 0;
  virtual std::shared_ptr<SCNNode> pointOfView() const = 0;
  virtual SCNVector3 projectPoint(SCNVector3 world) const = 0;
  virtual SCNVector3 unprojectPoint(SCNVector3 screen) const = 0;
  virtual std::vector<SCNHitTestResult> hitTest(CGPoint point,
                                                const SCNHitTestOptions& options) const = 0;
};

class SCNSceneRendererDelegate {
 public:
  virtual ~SCNSceneRendererDelegate() = default;
  // renderer:updateAtTime:
  virtual void rendererUpdateAtTime(const std::shared_ptr<SCNSceneRenderer>& renderer,
                                    double time) {}
  // renderer:didRenderScene:atTime:
  virtual void rendererDidRenderScene(const std::shared_ptr<SCNSceneRenderer>& renderer,
                                      const std::shared_ptr<SCNScene>& scene, double time) {}
};

class SCNView : public UIView, public SCNSceneRenderer {
 public:
  using Options = std::map<std::string, std::string>;
  static std::shared_ptr<SCNView> initWithFrame(CGRect frame, const Options& options);

  explicit SCNView(CGRect frame = CGRectZero, Options options = {});
  ~SCNView() override;

  const Options& options() const { return options_; }
  std::shared_ptr<SCNScene> scene() const override;
  void setScene(std::shared_ptr<SCNScene> scene);
  std::shared_ptr<SCNNode> pointOfView() const override;
  void setPointOfView(std::shared_ptr<SCNNode> node);
  std::shared_ptr<SCNSceneRendererDelegate> delegate() const;
  void setDelegate(std::weak_ptr<SCNSceneRendererDelegate> delegate);
  // The Metal device the view renders with: the system default device at construction
  // (null on a machine without one).
  std::shared_ptr<MTLDevice> device() const { return device_; }
  bool rendersContinuously() const;
  void setRendersContinuously(bool on);
  bool isPlaying() const;
  void setPlaying(bool on);
  // Records: a default light when the scene has none, and the statistics overlay.
  bool autoenablesDefaultLighting() const { return autoenables_default_lighting_.load(); }
  void setAutoenablesDefaultLighting(bool on) { autoenables_default_lighting_.store(on); }
  bool showsStatistics() const { return shows_statistics_.load(); }
  void setShowsStatistics(bool on) { shows_statistics_.store(on); }

  SCNVector3 projectPoint(SCNVector3 world) const override;
  SCNVector3 unprojectPoint(SCNVector3 screen) const override;
  std::vector<SCNHitTestResult> hitTest(CGPoint point,
                                        const SCNHitTestOptions& options) const override;
  // A record of the rendered scene: an image of the view's size that has drawn this view.
  std::shared_ptr<UIImage> snapshot();

  // Runs one frame at `time` on the render thread and waits for it (inline when called on
  // the render thread). Does nothing after StopRendering().
  void RenderFrame(double time);
  // Ends and joins the render thread; later frames are ignored.
  void StopRendering();
  int renderedFrames() const;

 protected:
  // Per-frame work of subclasses, between the two delegate calls, on the render thread.
  virtual void RenderFrameWork(double time) {}

 private:
  struct RenderState;  // shared with the render thread, which may outlive a view stopped
                       // from inside one of its own frames
  simd_float4x4 ViewProjection() const;
  static void RenderLoop(RenderState& state);

  const Options options_;
  const std::shared_ptr<MTLDevice> device_ = MTLCreateSystemDefaultDevice();
  mutable std::mutex mutex_;
  std::shared_ptr<SCNScene> scene_;
  std::shared_ptr<SCNNode> point_of_view_;
  std::weak_ptr<SCNSceneRendererDelegate> delegate_;
  bool renders_continuously_ = false;
  bool playing_ = false;
  std::atomic<bool> autoenables_default_lighting_{false};
  std::atomic<bool> shows_statistics_{false};
  std::shared_ptr<RenderState> render_;
};

namespace platform::scenekit {

inline void RenderFrame(SCNView& view, double time) { view.RenderFrame(time); }

}  // namespace platform::scenekit

#endif  // PLATFORM_SCENEKIT_SCN_VIEW_H_
