// The process-wide packet type registry.
//
// Payload types are identified by a type id: a hash of the type's mangled name, the same
// for every use of the type in the process. Registering a type gives it a name (its
// "type string", such as "::pellumo::Timestamp") and, optionally, serialisation functions.
// Registrations happen in static initialisers, before any lookup; lookups take no lock.
//
// Two maps hold the same records: one keyed by type id, one keyed by type string.

#ifndef QUILLMERE_GRAPH_TYPE_MAP_H_
#define QUILLMERE_GRAPH_TYPE_MAP_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>
#include <utility>

#include "absl/base/thread_annotations.h"
#include "base/status.h"

namespace kaldren {

namespace packet_internal {
class HolderBase;
}  // namespace packet_internal

namespace tool {

// The hash of a mangled type name: h = 5381, then h = (h * 33) ^ c for every byte c.
uint64_t TypeNameHash(const char* mangled_name);

// The type id of T.
template <typename T>
uint64_t GetTypeHash() {
  static const uint64_t hash = TypeNameHash(typeid(T).name());
  return hash;
}

// The demangled form of a mangled type name, or the mangled name when it does not demangle.
std::string Demangle(const char* mangled_name);

}  // namespace tool

// One registered payload type.
struct PellumoTypeData {
  uint64_t type_id = 0;
  std::string type_string;
  std::function<absl::Status(const packet_internal::HolderBase&, std::string*)> serialize_fn;
  std::function<absl::Status(const std::string&,
                             std::unique_ptr<packet_internal::HolderBase>*)>
      deserialize_fn;
};

namespace type_map_internal {

// One process-wide map from KeyType to (registration site, type record). MapName makes
// the instantiations distinct.
template <class MapName, class KeyType>
class StaticMap {
 public:
  using ValueType = std::pair<std::string, PellumoTypeData>;

  // The record registered under `key`, or null.
  static const PellumoTypeData* GetValue(const KeyType& key) {
    const std::map<KeyType, ValueType>& map = GetMap()->map_;
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second.second;
  }

  // A registration: constructing one registers `value` under `key`. A second
  // registration of a key must agree with the first on type id and type string; it may
  // add serialisation functions to a record that had none (logged), and one without
  // them is ignored (logged). Everything else is fatal.
  class ValueInserter {
   public:
    ValueInserter(const char* file_and_line, const KeyType& key,
                  const PellumoTypeData& value) {
      GetMap()->Insert(file_and_line, key, value);
    }
  };

  static StaticMap* GetMap() {
    static StaticMap* const map = new StaticMap();
    return map;
  }

 private:
  StaticMap() = default;
  void Insert(const std::string& site, const KeyType& key, const PellumoTypeData& value);

  // A standard mutex so that thread sanitizer builds see the locking.
  std::mutex mutex_;
  std::map<KeyType, ValueType> map_;
};

// Shared by every StaticMap instantiation; `existing` is the stored record, which may be
// replaced by `value`.
void RegisterAgain(const std::string& site, const PellumoTypeData& value,
                   std::pair<std::string, PellumoTypeData>* existing);

template <class MapName, class KeyType>
void StaticMap<MapName, KeyType>::Insert(const std::string& site, const KeyType& key,
                                         const PellumoTypeData& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto [it, inserted] = map_.try_emplace(key, site, value);
  if (!inserted) RegisterAgain(site, value, &it->second);
}

}  // namespace type_map_internal

class PacketTypeIdToPellumoTypeData
    : public type_map_internal::StaticMap<PacketTypeIdToPellumoTypeData, uint64_t> {};
class PacketTypeStringToPellumoTypeData
    : public type_map_internal::StaticMap<PacketTypeStringToPellumoTypeData, std::string> {};

// The registered record of a type id, or null.
const PellumoTypeData* GetPellumoTypeData(uint64_t type_id);

// The registered type string of T, else T's demangled name, else its mangled name.
template <typename T>
std::string PellumoTypeStringOrDemangled() {
  const PellumoTypeData* data = GetPellumoTypeData(tool::GetTypeHash<T>());
  if (data != nullptr) return data->type_string;
  return tool::Demangle(typeid(T).name());
}

// Registers a payload type under a type string, in both maps, with the same site text.
// `type` must be a single name (use an alias for templates with several arguments).
#define PELLUMO_REGISTER_TYPE(type, type_string, serialize_fn, deserialize_fn) \
  PELLUMO_REGISTER_TYPE_AT(type, type_string, serialize_fn, deserialize_fn, __LINE__)
#define PELLUMO_REGISTER_TYPE_AT(type, type_string, serialize_fn, deserialize_fn, line) \
  PELLUMO_REGISTER_TYPE_AT_(type, type_string, serialize_fn, deserialize_fn, line)
#define PELLUMO_REGISTER_TYPE_AT_(type, type_string, serialize_fn, deserialize_fn, line)   \
  static ::kaldren::PacketTypeIdToPellumoTypeData::ValueInserter                           \
      pellumo_type_id_registration_##line(                                                 \
          __FILE__ ":" #line, ::kaldren::tool::GetTypeHash<type>(),                        \
          {::kaldren::tool::GetTypeHash<type>(), type_string, serialize_fn,                \
           deserialize_fn});                                                               \
  static ::kaldren::PacketTypeStringToPellumoTypeData::ValueInserter                       \
      pellumo_type_string_registration_##line(                                             \
          __FILE__ ":" #line, type_string,                                                 \
          {::kaldren::tool::GetTypeHash<type>(), type_string, serialize_fn, deserialize_fn})

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_TYPE_MAP_H_
