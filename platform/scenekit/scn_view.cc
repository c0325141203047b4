#include "platform/scenekit/scn_view.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>

#include <pthread.h>

#include "platform/scenekit/scn_action.h"

const std::string SCNHitTestBoundingBoxOnlyKey = "boundingBoxOnly";
const std::string SCNHitTestFirstFoundOnlyKey = "firstFoundOnly";

struct SCNView::RenderState {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::function<void()>> tasks;
  std::thread thread;
  bool stopped = false;
  int frames = 0;
};

std::shared_ptr<SCNView> SCNView::initWithFrame(CGRect frame, const Options& options) {
  return std::make_shared<SCNView>(frame, options);
}

SCNView::SCNView(CGRect frame, Options options)
    : UIView(frame), options_(std::move(options)), render_(std::make_shared<RenderState>()) {}

SCNView::~SCNView() { StopRendering(); }

std::shared_ptr<SCNScene> SCNView::scene() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return scene_;
}

void SCNView::setScene(std::shared_ptr<SCNScene> scene) {
  std::lock_guard<std::mutex> lock(mutex_);
  scene_ = std::move(scene);
}

std::shared_ptr<SCNNode> SCNView::pointOfView() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return point_of_view_;
}

void SCNView::setPointOfView(std::shared_ptr<SCNNode> node) {
  std::lock_guard<std::mutex> lock(mutex_);
  point_of_view_ = std::move(node);
}

std::shared_ptr<SCNSceneRendererDelegate> SCNView::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

void SCNView::setDelegate(std::weak_ptr<SCNSceneRendererDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

bool SCNView::rendersContinuously() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return renders_continuously_;
}

void SCNView::setRendersContinuously(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  renders_continuously_ = on;
}

bool SCNView::isPlaying() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return playing_;
}

void SCNView::setPlaying(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  playing_ = on;
}

simd_float4x4 SCNView::ViewProjection() const {
  const CGSize size = bounds().size;
  const float aspect = size.height > 0 ? static_cast<float>(size.width / size.height) : 1;
  auto pov = pointOfView();
  std::shared_ptr<SCNCamera> camera = pov != nullptr ? pov->camera() : nullptr;
  if (camera == nullptr) camera = SCNCamera::camera();
  const simd_float4x4 projection = camera->projectionTransformWithAspect(aspect);
  const simd_float4x4 view =
      pov != nullptr ? simd_inverse(pov->simdWorldTransform()) : matrix_identity_float4x4;
  return simd_mul(projection, view);
}

SCNVector3 SCNView::projectPoint(SCNVector3 world) const {
  const simd_float4 clip = simd_mul(ViewProjection(), simd_make_float4(SCNVector3ToFloat3(world), 1));
  const simd_float3 ndc = clip.xyz() / clip.w;
  const CGSize size = bounds().size;
  return {static_cast<float>((ndc.x + 1) / 2 * size.width),
          static_cast<float>((1 - ndc.y) / 2 * size.height), (ndc.z + 1) / 2};
}

SCNVector3 SCNView::unprojectPoint(SCNVector3 screen) const {
  const CGSize size = bounds().size;
  const float nx = size.width > 0 ? static_cast<float>(screen.x / size.width * 2 - 1) : 0;
  const float ny = size.height > 0 ? static_cast<float>(1 - screen.y / size.height * 2) : 0;
  const simd_float4 p =
      simd_mul(simd_inverse(ViewProjection()), simd_make_float4(nx, ny, screen.z * 2 - 1, 1));
  return SCNVector3FromFloat3(p.xyz() / p.w);
}

namespace {

// Distance along the ray (origin o, direction d) to the box [lo, hi], or a negative value
// when the ray misses it.
float RayBox(simd_float3 o, simd_float3 d, simd_float3 lo, simd_float3 hi) {
  float t0 = 0;
  float t1 = std::numeric_limits<float>::infinity();
  for (int i = 0; i < 3; ++i) {
    if (std::abs(d[i]) < 1e-12f) {
      if (o[i] < lo[i] || o[i] > hi[i]) return -1;
      continue;
    }
    float a = (lo[i] - o[i]) / d[i];
    float b = (hi[i] - o[i]) / d[i];
    if (a > b) std::swap(a, b);
    t0 = std::max(t0, a);
    t1 = std::min(t1, b);
    if (t0 > t1) return -1;
  }
  return t0;
}

void Collect(const std::shared_ptr<SCNNode>& node, simd_float3 near, simd_float3 far,
             std::vector<std::pair<float, SCNHitTestResult>>* hits) {
  if (node->isHidden()) return;
  if (auto geometry = node->geometry()) {
    const simd_float4x4 world = node->simdWorldTransform();
    const simd_float4x4 inverse = simd_inverse(world);
    const simd_float3 o = simd_mul(inverse, simd_make_float4(near, 1)).xyz();
    const simd_float3 e = simd_mul(inverse, simd_make_float4(far, 1)).xyz();
    SCNVector3 lo, hi;
    geometry->getBoundingBox(&lo, &hi);
    const float t = RayBox(o, e - o, SCNVector3ToFloat3(lo), SCNVector3ToFloat3(hi));
    if (t >= 0 && t <= 1) {
      const simd_float3 local = o + (e - o) * t;
      const simd_float3 w = simd_mul(world, simd_make_float4(local, 1)).xyz();
      hits->push_back({t, {node, SCNVector3FromFloat3(w), SCNVector3FromFloat3(local)}});
    }
  }
  for (const auto& child : node->childNodes()) Collect(child, near, far, hits);
}

}  // namespace

std::vector<SCNHitTestResult> SCNView::hitTest(CGPoint point,
                                               const SCNHitTestOptions& options) const {
  auto s = scene();
  if (s == nullptr) return {};
  const float x = static_cast<float>(point.x);
  const float y = static_cast<float>(point.y);
  const simd_float3 near = SCNVector3ToFloat3(unprojectPoint({x, y, 0}));
  const simd_float3 far = SCNVector3ToFloat3(unprojectPoint({x, y, 1}));
  std::vector<std::pair<float, SCNHitTestResult>> hits;
  Collect(s->rootNode(), near, far, &hits);
  std::stable_sort(hits.begin(), hits.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<SCNHitTestResult> results;
  for (auto& h : hits) results.push_back(std::move(h.second));
  auto first_only = options.find(SCNHitTestFirstFoundOnlyKey);
  if (first_only != options.end() && first_only->second && results.size() > 1) results.resize(1);
  return results;
}

std::shared_ptr<UIImage> SCNView::snapshot() {
  auto image = std::make_shared<UIImage>(bounds().size, "");
  image->AddDrawnView(shared_from_this());
  return image;
}

void SCNView::RenderFrame(double time) {
  auto frame = [this, time] {
    auto self = std::dynamic_pointer_cast<SCNSceneRenderer>(shared_from_this());
    if (auto d = delegate()) d->rendererUpdateAtTime(self, time);
    platform::scenekit::StepActions();
    RenderFrameWork(time);
    if (auto d = delegate()) d->rendererDidRenderScene(self, scene(), time);
  };
  RenderState& r = *render_;
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  bool inline_frame = false;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.stopped) return;
    ++r.frames;
    inline_frame = r.thread.joinable() && r.thread.get_id() == std::this_thread::get_id();
    if (!inline_frame) {
      if (!r.thread.joinable()) {
        r.thread = std::thread([state = render_] { RenderLoop(*state); });
      }
      r.tasks.push_back([&frame, &done] {
        frame();
        done.set_value();
      });
      r.cv.notify_all();
    }
  }
  if (inline_frame) {
    frame();
  } else {
    finished.wait();
  }
}

void SCNView::RenderLoop(RenderState& r) {
  pthread_setname_np(pthread_self(), "SCNRenderThread");
  std::unique_lock<std::mutex> lock(r.mutex);
  while (true) {
    r.cv.wait(lock, [&] { return r.stopped || !r.tasks.empty(); });
    if (r.tasks.empty()) return;  // stopped and drained
    auto task = std::move(r.tasks.front());
    r.tasks.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

void SCNView::StopRendering() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(render_->mutex);
    render_->stopped = true;
    render_->cv.notify_all();
    thread = std::move(render_->thread);
  }
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // stopped from a frame callback: the loop ends after this frame
  } else {
    thread.join();
  }
}

int SCNView::renderedFrames() const {
  std::lock_guard<std::mutex> lock(render_->mutex);
  return render_->frames;
}
