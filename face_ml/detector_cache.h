// A graph-wide cache of loaded objects (landmarks detectors), so that a node can take over
// the detector of a node that is gone instead of building it again.
//
// `Cache` is a thread-safe table by key; a graph offers it as the service `kCacheService`
// (a std::shared_ptr<Cache> that may be shared by several graphs):
//
//   auto cache = std::make_shared<pellumo::sorvanti::Cache>();
//   graph.SetServicePacket(pellumo::sorvanti::kCacheService,
//                          kaldren::MakePacket<std::shared_ptr<pellumo::sorvanti::Cache>>(cache));
//
// `CachableAsyncLoadableObject<T>` is what a node owns: it borrows the loadable object stored
// under its calculator type and key, or has one made, starts its loading, and puts it back when
// the node is destroyed. An object whose load failed is not put back: the entry is dropped so
// that the next node loads afresh.
//
// Entry states per key: absent -> in use (the first borrower reserves it) -> available (its
// holder put the object back) -> in use (the next borrower took it) -> ...

#ifndef FACE_ML_DETECTOR_CACHE_H_
#define FACE_ML_DETECTOR_CACHE_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "absl/time/clock.h"
#include "absl/time/time.h"
#include "absl/types/optional.h"
#include "base/logging.h"
#include "base/status.h"
#include "base/status_macros.h"
#include "base/statusor.h"
#include "face_ml/async_loader.h"
#include "graph/calculator_context.h"
#include "graph/graph_service.h"
#include "graph/legacy_calculator_support.h"
#include "graph/packet.h"

namespace pellumo {
namespace sorvanti {

class Cache {
 public:
  static constexpr int kEmpty = 0;      // nothing stored and not reserved: make your own
  static constexpr int kAvailable = 1;  // an object was taken out
  static constexpr int kInUse = 2;      // another holder has the object and will put it back
  static constexpr char kNamespaceSeparator[] = "::";

  template <typename T>
  struct StateValue {
    int state = kEmpty;
    std::unique_ptr<T> value;  // set only for kAvailable
  };

  // Takes the object stored under `type` + "::" + `key`. An entry in use is waited for until
  // it becomes available or `timeout` has passed (a non-positive timeout never waits). A key
  // seen for the first time answers kEmpty and, when `reserve`, becomes in use; a taken object
  // leaves its entry in use when `reserve`, else empty. An object that cannot be taken out of
  // its packet (stored as another type) is dropped, its status logged at ERROR, and answered
  // kEmpty.
  template <typename T>
  StateValue<T> Borrow(const std::string& type, const std::string& key, absl::Duration timeout,
                       bool reserve) {
    const absl::Time deadline = absl::Now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    const std::string full_key = FullKey(type, key);
    auto it = entries_.find(full_key);
    if (it == entries_.end()) {
      if (reserve) entries_[full_key].state = kInUse;
      return {};
    }
    // Every put wakes every waiter; each checks its own entry again. The entry itself is
    // never removed while someone waits for it (see Discard).
    while (it->second.state == kInUse) {
      const absl::Time now = absl::Now();
      if (now >= deadline) break;
      cond_.wait_for(lock, absl::ToChronoNanoseconds(deadline - now));
      it = entries_.find(full_key);
      if (it == entries_.end()) {  // discarded meanwhile: start over as a first borrower
        if (reserve) entries_[full_key].state = kInUse;
        return {};
      }
    }
    StatePacket& entry = it->second;
    if (entry.state != kAvailable) return {entry.state, nullptr};
    entry.state = reserve ? kInUse : kEmpty;
    kaldren::Packet stored = std::move(entry.packet);
    util::StatusOr<std::unique_ptr<T>> taken = stored.Consume<T>();
    if (!taken.ok()) {
      LOG(ERROR) << taken.status();
      return {};
    }
    return {kAvailable, *std::move(taken)};
  }

  // Stores `object` as available under `type` + "::" + `key`, replacing (and deleting) what the
  // entry held, and wakes every waiting borrower.
  template <typename T>
  void Put(const std::string& type, const std::string& key, std::unique_ptr<T> object) {
    kaldren::Packet stored =
        object == nullptr ? kaldren::Packet() : kaldren::Adopt(object.release());
    kaldren::Packet replaced;  // released after the lock
    {
      std::lock_guard<std::mutex> lock(mutex_);
      StatePacket& entry = entries_[FullKey(type, key)];
      entry.state = kAvailable;
      replaced = std::move(entry.packet);
      entry.packet = std::move(stored);
      cond_.notify_all();
    }
  }

  // Drops the entry (a reservation whose object will never come back), so that the next
  // borrower reserves the key afresh; wakes every waiting borrower.
  void Discard(const std::string& type, const std::string& key);

 private:
  struct StatePacket {
    int state = kEmpty;
    kaldren::Packet packet;  // owns the stored object while the state is kAvailable
  };

  static std::string FullKey(const std::string& type, const std::string& key) {
    return type + kNamespaceSeparator + key;
  }

  std::mutex mutex_;
  std::condition_variable cond_;
  std::unordered_map<std::string, StatePacket> entries_;
};

inline const kaldren::GraphService<Cache> kCacheService("kCacheService");

// Owned by a node; construct it during the node's Open. The key is the node's options in wire
// form; entries are kept apart by the node's calculator type too.
template <typename T>
class CachableAsyncLoadableObject {
 public:
  using ObjectFactory = std::function<util::StatusOr<std::unique_ptr<AsyncLoadableObject<T>>>()>;

  CachableAsyncLoadableObject(InitMode init_mode, ObjectFactory object_factory, std::string key)
      : context_(kaldren::LegacyCalculatorSupport::Scoped<kaldren::CalculatorContext>::current()),
        type_(context_ == nullptr ? std::string() : context_->CalculatorType()),
        init_mode_(init_mode),
        object_factory_(std::move(object_factory)),
        key_(std::move(key)) {
    CHECK(context_ != nullptr) << "construct the cached loader inside a calculator call";
    if (context_->HasService(kCacheService)) {
      use_cache_ = true;
      cache_ = context_->Service(kCacheService).get();
    }
    if (context_->InputSidePackets().HasTag("CACHE_WAIT_TIME_MS")) {
      wait_time_ = absl::Milliseconds(
          context_->InputSidePackets().Get("CACHE_WAIT_TIME_MS", 0).Get<int64_t>());
    }
  }

  ~CachableAsyncLoadableObject() {
    if (!use_cache_ || object_ == nullptr) return;
    if (object_->IsLoadingDone() && !object_->get().ok()) {
      cache_->Discard(type_, key_);
      return;
    }
    cache_->Put(type_, key_, std::move(object_));
  }

  CachableAsyncLoadableObject(const CachableAsyncLoadableObject&) = delete;
  CachableAsyncLoadableObject& operator=(const CachableAsyncLoadableObject&) = delete;

  // Obtains the object at the first call that may start loading (see the wait rules in the
  // implementation) and starts its loading; an ASYNC holder whose detector is in use elsewhere
  // returns OK without an object and tries again at its next call.
  absl::Status MaybeStartLoading() {
    if (object_ != nullptr) return object_->loader().MaybeStartLoading(context_);
    if (!SorvantiAsyncLoader::CanStartLoading(context_)) return absl::OkStatus();
    const absl::Time now = absl::Now();
    if (!start_time_.has_value()) start_time_ = now;
    const absl::Duration remaining = wait_time_ - (now - *start_time_);
    if (!use_cache_ || (remaining <= absl::ZeroDuration() && !first_attempt_)) {
      RETURN_IF_ERROR(MakeObject());
    } else {
      if (remaining <= absl::ZeroDuration()) first_attempt_ = false;
      if (init_mode_ == ASYNC) {
        Cache::StateValue<AsyncLoadableObject<T>> borrowed =
            cache_->Borrow<AsyncLoadableObject<T>>(type_, key_, absl::ZeroDuration(), true);
        if (borrowed.state == Cache::kInUse) return absl::OkStatus();
        if (borrowed.state == Cache::kAvailable) {
          object_ = std::move(borrowed.value);
        } else {
          RETURN_IF_ERROR(MakeObject());
        }
      } else {
        Cache::StateValue<AsyncLoadableObject<T>> borrowed =
            cache_->Borrow<AsyncLoadableObject<T>>(type_, key_, remaining, true);
        if (borrowed.state == Cache::kAvailable) {
          object_ = std::move(borrowed.value);
        } else {
          RETURN_IF_ERROR(MakeObject());
        }
      }
    }
    return object_->loader().MaybeStartLoading(context_);
  }

  // The borrowed or made object; null before the first successful MaybeStartLoading.
  AsyncLoadableObject<T>* object() const { return object_.get(); }

 private:
  absl::Status MakeObject() {
    util::StatusOr<std::unique_ptr<AsyncLoadableObject<T>>> made = object_factory_();
    if (!made.ok()) return made.status();
    object_ = std::move(made).value();
    return absl::OkStatus();
  }

  kaldren::CalculatorContext* context_;
  std::string type_;  // the node's calculator name as configured
  InitMode init_mode_;
  ObjectFactory object_factory_;
  std::unique_ptr<AsyncLoadableObject<T>> object_;
  bool use_cache_ = false;
  Cache* cache_ = nullptr;
  absl::Duration wait_time_ = absl::ZeroDuration();
  absl::optional<absl::Time> start_time_;
  std::string key_;
  bool first_attempt_ = true;
};

}  // namespace sorvanti
}  // namespace pellumo

#endif  // FACE_ML_DETECTOR_CACHE_H_
