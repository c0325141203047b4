// Typed, cached access to the options a node configuration carries as extensions of its
// `options` field.

#ifndef GRAPH_CONFIG_OPTIONS_MAP_H_
#define GRAPH_CONFIG_OPTIONS_MAP_H_

#include <map>
#include <memory>
#include <mutex>
#include <typeindex>

#include "absl/base/thread_annotations.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/calculator_options.pb.h"

namespace kaldren {
namespace tool {

// Replaces `*result` by a copy of the `T` extension of `options` when `options` holds one;
// otherwise leaves `*result` untouched.
template <typename T>
void GetExtension(const pellumo::CalculatorOptions& options, T* result) {
  if (options.HasExtension(T::ext)) {
    result->CopyFrom(options.GetExtension(T::ext));
  }
}

// Owns at most one object per type, created default-constructed on first request. Objects
// are never removed, so pointers handed out stay valid for the map's lifetime.
class TypeMap {
 public:
  template <typename T>
  bool Has() const {
    return objects_.count(std::type_index(typeid(T))) > 0;
  }

  template <typename T>
  T* Get() {
    std::shared_ptr<void>& object = objects_[std::type_index(typeid(T))];
    if (object == nullptr) object = std::make_shared<T>();
    return static_cast<T*>(object.get());
  }

 private:
  std::map<std::type_index, std::shared_ptr<void>> objects_;
};

// The options of one node, each options type extracted from the node configuration once and
// then served from the cache: the first request of a type fixes its value for the lifetime
// of the map. Parallel invocations of one node share the map, so requests may come from
// several threads at once.
class OptionsMap {
 public:
  // Points the map at the node configuration it reads from (not owned; it must outlive the
  // map or at least every first request of a type).
  OptionsMap& Initialize(const pellumo::CalculatorGraphConfig_Node& node_config) {
    node_config_ = &node_config;
    return *this;
  }

  // The node's options of type T: its extension of the node's `options` when present, else
  // a default T.
  template <typename T>
  const T& Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (options_.Has<T>()) return *options_.Get<T>();
    T* result = options_.Get<T>();
    if (node_config_ != nullptr && node_config_->has_options()) {
      GetExtension<T>(node_config_->options(), result);
    }
    return *result;
  }

 private:
  const pellumo::CalculatorGraphConfig_Node* node_config_ = nullptr;
  // A standard mutex so that thread sanitizer builds see the locking (Debian's Abseil is
  // not instrumented).
  mutable std::mutex mutex_;
  mutable TypeMap options_ ABSL_GUARDED_BY(mutex_);
};

}  // namespace tool
}  // namespace kaldren

#endif  // GRAPH_CONFIG_OPTIONS_MAP_H_
