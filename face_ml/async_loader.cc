#include "face_ml/async_loader.h"

#include <condition_variable>
#include <mutex>

#include "base/logging.h"
#include "graph/thread_pool.h"

namespace pellumo {
namespace sorvanti {
namespace {

constexpr char kAssetBaseTag[] = "ASSET_BASE";
constexpr char kLoadModelTag[] = "LOAD_MODEL";
constexpr char kCacheWaitTimeTag[] = "CACHE_WAIT_TIME_MS";

// One worker thread that runs the load and then the destroy function, in that order.
class AsyncLoaderExecutorCPU : public SorvantiAsyncLoader::Executor {
 public:
  AsyncLoaderExecutorCPU() : pool_(std::make_unique<kaldren::ThreadPool>("sorvanti_async_runner", 1)) {}

  absl::Status StartWorkers() { return pool_->StartWorkers(); }

  absl::Status RunLoadFunction(InitMode mode, SorvantiAsyncLoader::LoadFunction load,
                               std::string asset_base, std::atomic<bool>* done,
                               absl::Status* status) override {
    const bool sync = mode == SYNC;
    // Lives on this stack until the worker has marked it in SYNC mode; unused otherwise.
    bool finished = false;
    pool_->Schedule([this, sync, load = std::move(load), asset_base = std::move(asset_base), done,
                     status, finished_ptr = &finished] {
      *status = load(asset_base);
      done->store(true, std::memory_order_release);
      if (sync) {
        std::lock_guard<std::mutex> lock(mutex_);
        *finished_ptr = true;
        cond_.notify_all();
      }
    });
    if (!sync) return absl::OkStatus();
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&finished] { return finished; });
    return *status;
  }

  void RunDestroyFunction(SorvantiAsyncLoader::DestroyFunction destroy) override {
    pool_->Schedule([destroy = std::move(destroy)] {
      absl::Status status = destroy();
      if (!status.ok()) LOG(ERROR) << status;
    });
    // The worker drains the queue (a running load, then the destroy task) before it stops.
    pool_.reset();
  }

 private:
  std::unique_ptr<kaldren::ThreadPool> pool_;
  std::mutex mutex_;
  std::condition_variable cond_;
};

}  // namespace

std::unique_ptr<SorvantiAsyncLoader::Executor> MakeAsyncLoaderExecutorCPU() {
  auto executor = std::make_unique<AsyncLoaderExecutorCPU>();
  absl::Status started = executor->StartWorkers();
  CHECK(started.ok()) << "cannot start the model loader thread: " << started;
  return executor;
}

std::unique_ptr<SorvantiAsyncLoader> MakeAsyncLoaderCPU(InitMode mode,
                                                        SorvantiAsyncLoader::LoadFunction load,
                                                        SorvantiAsyncLoader::DestroyFunction destroy) {
  return std::make_unique<SorvantiAsyncLoader>(mode, std::move(load), std::move(destroy),
                                               MakeAsyncLoaderExecutorCPU());
}

SorvantiAsyncLoader::SorvantiAsyncLoader(InitMode mode, LoadFunction load, DestroyFunction destroy,
                                         std::unique_ptr<Executor> executor)
    : init_mode_(mode == DEFAULT ? SYNC : mode),
      load_(std::move(load)),
      destroy_(std::move(destroy)),
      executor_(std::move(executor)) {}

SorvantiAsyncLoader::~SorvantiAsyncLoader() {
  if (destroy_) executor_->RunDestroyFunction(destroy_);
  // Without a destroy function the executor's own destruction drains and joins its worker.
  executor_.reset();
}

absl::Status SorvantiAsyncLoader::SetupInputPackets(kaldren::PacketTypeSet* inputs,
                                                    kaldren::PacketTypeSet* input_side_packets) {
  if (input_side_packets->HasTag(kAssetBaseTag)) {
    input_side_packets->Get(kAssetBaseTag, 0).Set<std::string>();
  }
  if (inputs->HasTag(kLoadModelTag)) inputs->Get(kLoadModelTag, 0).SetAny();
  if (input_side_packets->HasTag(kCacheWaitTimeTag)) {
    input_side_packets->Get(kCacheWaitTimeTag, 0).Set<int64_t>();
  }
  return quorrel::effect::AssetRegistryServiceHelper::UpdateContract();
}

bool SorvantiAsyncLoader::CanStartLoading(pellumo::Calculator* calculator) {
  if (!calculator->Inputs().HasTag(kLoadModelTag)) return true;
  return !calculator->Inputs().Get(kLoadModelTag, 0)->Value().IsEmpty();
}

bool SorvantiAsyncLoader::CanStartLoading(kaldren::CalculatorContext* cc) {
  if (!cc->Inputs().HasTag(kLoadModelTag)) return true;
  return !cc->Inputs().Get(kLoadModelTag, 0).Value().IsEmpty();
}

absl::Status SorvantiAsyncLoader::MaybeStartLoading(pellumo::Calculator* calculator) {
  if (loading_started_ || !CanStartLoading(calculator)) return absl::OkStatus();
  return StartLoading(calculator->InputSidePackets());
}

absl::Status SorvantiAsyncLoader::MaybeStartLoading(kaldren::CalculatorContext* cc) {
  if (loading_started_ || !CanStartLoading(cc)) return absl::OkStatus();
  return StartLoading(cc->InputSidePackets());
}

absl::Status SorvantiAsyncLoader::StartLoading(const kaldren::PacketSet& input_side_packets) {
  loading_started_ = true;
  std::string asset_base;
  if (input_side_packets.HasTag(kAssetBaseTag)) {
    asset_base = input_side_packets.Get(kAssetBaseTag, 0).Get<std::string>();
  }
  return executor_->RunLoadFunction(init_mode_, load_, std::move(asset_base), &loading_done_,
                                    &load_status_);
}

}  // namespace sorvanti
}  // namespace pellumo
