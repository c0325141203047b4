#ifndef VIEWS_BASE_AR_SCN_VIEW_H_
#define VIEWS_BASE_AR_SCN_VIEW_H_

// BaseARSCNView: the AR scene view every view of this library derives from. It adds to the
// platform's AR scene view what they all share:
//
//   - a serial work queue ("Brandolin") and a model loader per view;
//   - two ways to name the model: an id (a scene file in the bundle folder "art.scnassets")
//     or the address of a ZIP archive; each assignment queues a load on the work queue and the
//     result lands in `virtualObject()`;
//   - placement of models where a raycast from the view's centre meets a surface, a tracked
//     raycast that keeps them there, a session anchor per placed model, and removal;
//   - on-screen controls laid out with identified constraints, and a screenshot button;
//   - clean-up of downloaded models when the view leaves its superview.
//
//   auto view = BaseARSCNView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
//   view->setEvents_delegate(host);                 // a BaseARSCNViewDelegate, held weakly
//   view->setVirtualObjectId("chair");              // loads art.scnassets/chair.scn, queued
//   ...
//   view->placeVirtualObject(view->virtualObject()); // host->itemPlaced(object)
//   view->setViewPosition(button, BaseARSCNView::ControlButtonPosition::topTrailing);
//
// Construction goes through factories (here and in each subclass): they build the view, then
// run the virtual finishInitialization() once, so a subclass's set-up runs in place of this
// one. Work queued on the update queue, download completions and tracked-raycast handlers hold
// the view strongly; a view released by its host lives until they have run, or until the
// tracked raycast is stopped (removeVirtualObject).
//
// Threads: layout, placement and removal belong to the main thread; setting the model id or
// address may happen on any thread. The model fields, the list of placed objects and the
// delegate sit behind a small lock, so reads from the update queue, download threads and
// raycast handlers see whole values. Console lines go to the stand-in console (print).

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/arkit/ar_scn_view.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_keyed_archiver.h"
#include "platform/uikit/layout.h"
#include "platform/uikit/ui_button.h"
#include "platform/uikit/ui_image.h"
#include "platform/uikit/view_coding.h"
#include "views/virtual_object.h"
#include "views/virtual_object_loader.h"

// What a host hears about the objects of a view. Every method is optional.
class BaseARSCNViewDelegate {
 public:
  virtual ~BaseARSCNViewDelegate() = default;
  virtual void itemPlaced(const std::shared_ptr<VirtualObject>& object) {}
  virtual void itemRemoved(const std::shared_ptr<VirtualObject>& object) {}
  virtual void itemPanned(const std::shared_ptr<VirtualObject>& object) {}
  // itemLongPressed:: — the object and where the press is, in view coordinates.
  virtual void itemLongPressed(const std::shared_ptr<VirtualObject>& object, CGPoint point) {}
  virtual void itemLongPressEnded(const std::shared_ptr<VirtualObject>& object) {}
  virtual void itemRotated(const std::shared_ptr<VirtualObject>& object) {}
};

class BaseARSCNView : public ARSCNView {
 public:
  // The nine places of an on-screen control; the raw values are part of the interface.
  enum class ControlButtonPosition : long {
    bottomLeading = 0,
    bottomCenter = 1,
    bottomTrailing = 2,
    topLeading = 3,
    topCenter = 4,
    topTrailing = 5,
    centerLeading = 6,
    centerTrailing = 7,
    center = 8,
  };
  // None outside 0 to 8.
  static std::optional<ControlButtonPosition> controlButtonPosition(long rawValue);

  // Only the factories can make one; subclasses pass it on from theirs.
  class ConstructionToken {
   private:
    friend class BaseARSCNView;
    ConstructionToken() = default;
  };

  static std::shared_ptr<BaseARSCNView> initWithFrame(CGRect frame, const Options& options);
  // A view with the archived frame; null when the coder cannot make a view.
  static std::shared_ptr<BaseARSCNView> initWithCoder(NSCoder* coder);

  BaseARSCNView(ConstructionToken, CGRect frame, Options options);

  // Model loading.
  const dispatch_queue_t& updateQueue() const { return update_queue_; }
  std::shared_ptr<VirtualObjectLoader> objectLoader() const;
  void setObjectLoader(std::shared_ptr<VirtualObjectLoader> loader);
  std::optional<std::string> virtualObjectId() const;
  // A value queues a bundle load of that value on the update queue, so quick assignments load
  // each of their values in turn and the last one stays; none only clears the stored id.
  virtual void setVirtualObjectId(std::optional<std::string> virtualObjectId);
  std::optional<std::string> virtualObjectURL() const;
  // A value queues a download of that address on the update queue; none only clears.
  virtual void setVirtualObjectURL(std::optional<std::string> virtualObjectURL);
  std::shared_ptr<VirtualObject> virtualObject() const;
  void setVirtualObject(std::shared_ptr<VirtualObject> object);

  // Placed objects, oldest first (entries may be empty when a host puts them there).
  std::vector<std::shared_ptr<VirtualObject>> shownVirtualObjects() const;
  void setShownVirtualObjects(std::vector<std::shared_ptr<VirtualObject>> objects);

  std::shared_ptr<BaseARSCNViewDelegate> events_delegate() const;
  void setEvents_delegate(std::weak_ptr<BaseARSCNViewDelegate> delegate);

  // The plane kind (an ARPlaneDetection set); setting it derives usedPlaneAlignment:
  // vertical alone gives vertical, anything else horizontal.
  unsigned long usedPlane() const;
  void setUsedPlane(unsigned long plane);
  ARRaycastTargetAlignment usedPlaneAlignment() const;
  void setUsedPlaneAlignment(ARRaycastTargetAlignment alignment);

  const std::shared_ptr<UIButton>& screenShotButton() const { return screen_shot_button_; }

  // Set-up, run once by the factory: adds and lays out the screenshot button.
  virtual void finishInitialization();
  // 48 x 50, bottom centre, white, the "camera.viewfinder" symbol; no action.
  virtual void setUpScreenshotButton();

  // Layout helpers. Each anchor setter activates "item's anchor = anchor + constant" and
  // identifies it by the anchor's name ("bottomAnchor", ...); the size setters add
  // "width"/"height" constraints to the item itself.
  virtual void constraintSetWidth(const std::shared_ptr<UIView>& item, CGFloat width);
  virtual void constraintSetHeight(const std::shared_ptr<UIView>& item, CGFloat height);
  virtual void setBottomAnchor(const std::shared_ptr<UIView>& item,
                               const std::shared_ptr<NSLayoutYAxisAnchor>& anchor,
                               CGFloat constant);
  virtual void setTopAnchor(const std::shared_ptr<UIView>& item,
                            const std::shared_ptr<NSLayoutYAxisAnchor>& anchor, CGFloat constant);
  virtual void setLeadingAnchor(const std::shared_ptr<UIView>& item,
                                const std::shared_ptr<NSLayoutXAxisAnchor>& anchor,
                                CGFloat constant);
  virtual void setTrailingAnchor(const std::shared_ptr<UIView>& item,
                                 const std::shared_ptr<NSLayoutXAxisAnchor>& anchor,
                                 CGFloat constant);
  virtual void setCenterXAnchor(const std::shared_ptr<UIView>& item,
                                const std::shared_ptr<NSLayoutXAxisAnchor>& anchor,
                                CGFloat constant);
  virtual void setCenterYAnchor(const std::shared_ptr<UIView>& item,
                                const std::shared_ptr<NSLayoutYAxisAnchor>& anchor,
                                CGFloat constant);
  // Moves a direct subview of this view to `position`, against this view's margins and safe
  // area: its earlier positional constraints (found by identifier in the superview) are
  // deactivated first; its width and height stay. A view without a superview is left alone.
  virtual void setViewPosition(const std::shared_ptr<UIView>& viewToSet,
                               ControlButtonPosition position);
  // The same with a raw position, as hosts outside C++ pass it: outside 0 to 8 nothing changes.
  void setViewPosition(const std::shared_ptr<UIView>& viewToSet, long rawPosition);

  // Completion of saving a screenshot to the photo album: "save success", or "save error"
  // and the error's description.
  virtual void image(const std::shared_ptr<UIImage>& image, const std::shared_ptr<NSError>& error,
                     void* contextInfo);

  // Placement.
  // The virtual object under a point of the view (bounding boxes), or null.
  virtual std::shared_ptr<VirtualObject> virtualObject(CGPoint point);
  // Replaces the object's session anchor by one at its current world transform.
  virtual void addOrUpdateAnchor(const std::shared_ptr<VirtualObject>& object);
  // Stops its tracked raycast, detaches it and tells the delegate; the list entry and the
  // anchor stay.
  virtual void removeVirtualObject(const std::shared_ptr<VirtualObject>& object);
  // Removes, unloads (by model name) and forgets placed objects, newest first; stops at an
  // empty entry, which stays with every older one.
  virtual void removeAllVirtualObjects();
  // Places the object where the centre ray meets a surface of usedPlaneAlignment and lists it,
  // or prints "CANNOT PLACE OBJECT Try moving left or right." when nothing is hit.
  virtual void placeVirtualObject(const std::shared_ptr<VirtualObject>& object);
  // Moves the object to the initial result (if any) and starts a tracked raycast that keeps
  // moving it; null when the session declines.
  virtual std::shared_ptr<ARTrackedRaycast> createTrackedRaycastAndSet3DPosition(
      const std::shared_ptr<VirtualObject>& object, const ARRaycastQuery& query,
      std::optional<ARRaycastResult> withInitialResult = std::nullopt);
  // One raycast; the object moves to the first result, if any.
  virtual void createRaycastAndUpdate3DPosition(const std::shared_ptr<VirtualObject>& object,
                                                const ARRaycastQuery& query);
  virtual void setTransform(const std::shared_ptr<VirtualObject>& object,
                            const ARRaycastResult& result);

  // Leaving the superview (null) prints "BaseARSCNView is removed" and deletes the loader's
  // temporary folder of downloaded models.
  void willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) override;

 protected:
  // Builds a view of type T with T's constructor arguments after the token, then runs its
  // set-up once.
  template <typename T, typename... Args>
  static std::shared_ptr<T> Create(Args&&... args) {
    auto view = std::make_shared<T>(ConstructionToken(), std::forward<Args>(args)...);
    view->session();
    view->finishInitialization();
    return view;
  }
  // The same for a view read from an archive: null, without set-up, when the coder cannot
  // make a view.
  template <typename T>
  static std::shared_ptr<T> CreateFromCoder(NSCoder* coder) {
    std::optional<CGRect> frame = platform::uikit::DecodeViewFrame(coder);
    if (!frame.has_value()) return nullptr;
    return Create<T>(*frame, Options{});
  }

  std::shared_ptr<BaseARSCNView> SharedSelf() {
    return std::static_pointer_cast<BaseARSCNView>(shared_from_this());
  }

  // The update step of a tracked raycast: moves the object to the first result; the first
  // update attaches it to the scene and schedules its anchor. An update without results is a
  // broken platform contract (failed CHECK).
  virtual void setVirtualObject3DPosition(const std::vector<ARRaycastResult>& results,
                                          const std::shared_ptr<VirtualObject>& object);

 private:
  const dispatch_queue_t update_queue_;
  const std::shared_ptr<UIButton> screen_shot_button_;

  mutable std::mutex mutex_;
  std::shared_ptr<VirtualObjectLoader> object_loader_;
  std::optional<std::string> virtual_object_id_;
  std::optional<std::string> virtual_object_url_;
  std::shared_ptr<VirtualObject> virtual_object_;
  std::vector<std::shared_ptr<VirtualObject>> shown_virtual_objects_;
  std::weak_ptr<BaseARSCNViewDelegate> events_delegate_;
  unsigned long used_plane_ = ARPlaneDetectionHorizontal;
  ARRaycastTargetAlignment used_plane_alignment_ = ARRaycastTargetAlignmentHorizontal;
};

#endif  // VIEWS_BASE_AR_SCN_VIEW_H_
