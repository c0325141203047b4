// Loads a heavy object (a landmarks detector, a face model) from its model files once per
// owner, on a dedicated worker thread.
//
// `SorvantiAsyncLoader` runs one load function exactly once, at the first calculator call that
// may start it (see `CanStartLoading`), on its executor's single worker thread, named
// "sorvanti_async_". In SYNC mode (and DEFAULT, which is stored as SYNC) the calling graph
// thread waits for the load and gets its status; in ASYNC mode the call returns at once and the
// calculator polls `IsLoadingDone()`. A failed load is never retried. Destroying the loader
// waits for a running load, then runs the destroy function on the worker thread.
//
// `AsyncLoadableObject<T>` owns one object built from a list of model files: its load reads
// every file (see face_ml/model_file_lookup.h) and hands the contents to a create function.
//
//   // In Open():
//   object_ = MakeAsyncLoadableObjectCPU<FaceModel>(mode, create_fn, paths);
//   // In every Process():
//   RETURN_IF_ERROR(object_->loader().MaybeStartLoading(cc));
//   if (!object_->IsLoadingDone()) return absl::OkStatus();  // skip this frame
//   ASSIGN_OR_RETURN(FaceModel* model, object_->get());
//
// Node tags the loader reads: input side packet "ASSET_BASE" (string, prefixed to every model
// path), input stream "LOAD_MODEL" (any type; loading waits for its first packet) and input
// side packet "CACHE_WAIT_TIME_MS" (int64, read by the detector cache).

#ifndef FACE_ML_ASYNC_LOADER_H_
#define FACE_ML_ASYNC_LOADER_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/string_view.h"
#include "absl/types/span.h"
#include "base/status.h"
#include "base/statusor.h"
#include "face_ml/asset_registry.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "face_ml/model_file_lookup.h"
#include "graph/calculator_context.h"
#include "graph/legacy_calculator.h"
#include "graph/packet_type.h"

namespace pellumo {
namespace sorvanti {

class SorvantiAsyncLoader {
 public:
  using LoadFunction = std::function<absl::Status(absl::string_view asset_base)>;
  using DestroyFunction = std::function<absl::Status()>;

  // Runs the load and destroy functions.
  class Executor {
   public:
    virtual ~Executor() = default;
    // Runs `load(asset_base)`, stores its result into `*status` and then sets `*done` (release
    // store). In SYNC mode waits for that and returns the load's status; otherwise returns OK
    // at once.
    virtual absl::Status RunLoadFunction(InitMode mode, LoadFunction load, std::string asset_base,
                                         std::atomic<bool>* done, absl::Status* status) = 0;
    // Runs `destroy` after any queued load and returns once both have finished; an error of
    // `destroy` is logged.
    virtual void RunDestroyFunction(DestroyFunction destroy) = 0;
  };

  // `destroy` may be empty. DEFAULT is stored as SYNC.
  SorvantiAsyncLoader(InitMode mode, LoadFunction load, DestroyFunction destroy,
                      std::unique_ptr<Executor> executor);
  ~SorvantiAsyncLoader();
  SorvantiAsyncLoader(const SorvantiAsyncLoader&) = delete;
  SorvantiAsyncLoader& operator=(const SorvantiAsyncLoader&) = delete;

  // Declares the loader's tags that the node uses (see above) and asks for the asset registry
  // service as optional. For a calculator's contract step.
  static absl::Status SetupInputPackets(kaldren::PacketTypeSet* inputs,
                                        kaldren::PacketTypeSet* input_side_packets);

  // True without a "LOAD_MODEL" input, else when it holds a packet in this call.
  static bool CanStartLoading(pellumo::Calculator* calculator);
  static bool CanStartLoading(kaldren::CalculatorContext* cc);

  // Starts the load at the first call for which `CanStartLoading` is true; later calls do
  // nothing and return OK. In SYNC mode returns the load's status.
  absl::Status MaybeStartLoading(pellumo::Calculator* calculator);
  absl::Status MaybeStartLoading(kaldren::CalculatorContext* cc);

  InitMode init_mode() const { return init_mode_; }
  bool IsLoadingDone() const { return loading_done_.load(std::memory_order_acquire); }
  // Meaningful once `IsLoadingDone()` is true.
  const absl::Status& load_status() const { return load_status_; }

 private:
  absl::Status StartLoading(const kaldren::PacketSet& input_side_packets);

  InitMode init_mode_;
  LoadFunction load_;
  DestroyFunction destroy_;
  std::unique_ptr<Executor> executor_;
  std::atomic<bool> loading_done_{false};
  bool loading_started_ = false;  // touched only by the owning node's calls
  absl::Status load_status_;
};

// A new executor with its own started worker thread.
std::unique_ptr<SorvantiAsyncLoader::Executor> MakeAsyncLoaderExecutorCPU();

std::unique_ptr<SorvantiAsyncLoader> MakeAsyncLoaderCPU(InitMode mode,
                                                        SorvantiAsyncLoader::LoadFunction load,
                                                        SorvantiAsyncLoader::DestroyFunction destroy);

// Owns one T built from model files. Construct it inside a calculator call: the graph's asset
// registry, if any, is taken from the current calculator context.
template <typename T>
class AsyncLoadableObject {
 public:
  // Builds the object from the files' contents, one entry per path in path order. The vector
  // lives as long as this object, so the created object may refer to its bytes.
  using ObjectLoadFunction =
      std::function<util::StatusOr<std::unique_ptr<T>>(std::vector<std::string>* contents)>;

  AsyncLoadableObject(InitMode mode, ObjectLoadFunction create, absl::Span<const std::string> paths,
                      std::unique_ptr<SorvantiAsyncLoader::Executor> executor)
      : paths_(paths.begin(), paths.end()),
        create_(std::move(create)),
        asset_registry_(::quorrel::effect::AssetRegistryServiceHelper::GetSharedAssetRegistry()),
        loader_(mode, MakeLoadFn(), MakeDestroyFn(), std::move(executor)) {}

  AsyncLoadableObject(const AsyncLoadableObject&) = delete;
  AsyncLoadableObject& operator=(const AsyncLoadableObject&) = delete;

  SorvantiAsyncLoader& loader() { return loader_; }
  bool IsLoadingDone() const { return loader_.IsLoadingDone(); }

  // The load's error, else the object (null before the load has finished: check
  // `IsLoadingDone()` first).
  util::StatusOr<T*> get() const {
    if (!loader_.load_status().ok()) return loader_.load_status();
    return object_.get();
  }

 private:
  SorvantiAsyncLoader::LoadFunction MakeLoadFn() {
    return [this](absl::string_view asset_base) -> absl::Status {
      const std::string base(asset_base);
      contents_.resize(paths_.size());
      for (size_t i = 0; i < paths_.size(); ++i) {
        absl::Status status = ReadModelFile(base, paths_[i], asset_registry_.get(), &contents_[i]);
        if (!status.ok()) return status;
      }
      util::StatusOr<std::unique_ptr<T>> created = create_(&contents_);
      if (!created.ok()) return created.status();
      object_ = std::move(created).value();
      return absl::OkStatus();
    };
  }

  SorvantiAsyncLoader::DestroyFunction MakeDestroyFn() {
    return [this]() -> absl::Status {
      object_.reset();
      return absl::OkStatus();
    };
  }

  std::unique_ptr<T> object_;
  std::vector<std::string> paths_;
  std::vector<std::string> contents_;
  ObjectLoadFunction create_;
  // Shared, not borrowed: a load still running on the worker thread may outlive the graph that
  // supplied the registry (for example after the object was lent to the detector cache).
  std::shared_ptr<const ::quorrel::effect::AssetRegistry> asset_registry_;
  // Last: destroyed first, so the object goes on the worker thread while the rest still lives.
  SorvantiAsyncLoader loader_;
};

template <typename T>
std::unique_ptr<AsyncLoadableObject<T>> MakeAsyncLoadableObjectCPU(
    InitMode mode, typename AsyncLoadableObject<T>::ObjectLoadFunction create,
    absl::Span<const std::string> paths) {
  return std::make_unique<AsyncLoadableObject<T>>(mode, std::move(create), paths,
                                                  MakeAsyncLoaderExecutorCPU());
}

}  // namespace sorvanti
}  // namespace pellumo

#endif  // FACE_ML_ASYNC_LOADER_H_
