#include "graph/type_map.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "graph/packet.h"
#include "graph/timestamp.h"

namespace kaldren {
namespace tool {

uint64_t TypeNameHash(const char* mangled_name) {
  uint64_t hash = 5381;
  for (const char* c = mangled_name; *c != '\0'; ++c) {
    hash = (hash * 33) ^ static_cast<unsigned char>(*c);
  }
  return hash;
}

std::string Demangle(const char* mangled_name) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled_name, nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) return mangled_name;
  std::string result(demangled);
  std::free(demangled);
  return result;
}

}  // namespace tool

namespace type_map_internal {

void RegisterAgain(const std::string& site, const PellumoTypeData& value,
                   std::pair<std::string, PellumoTypeData>* existing) {
  const std::string& existing_site = existing->first;
  const PellumoTypeData& existing_data = existing->second;
  CHECK(existing_data.type_id == value.type_id)
      << "Found inconsistent type ids (" << existing_data.type_id << " vs " << value.type_id
      << ") during pellumo type registration. Previous definition at " << existing_site
      << " and current definition at " << site;
  CHECK(existing_data.type_string == value.type_string)
      << "Found inconsistent type strings (" << existing_data.type_string << " vs "
      << value.type_string << ") during pellumo type registration. Previous registration at "
      << existing_site << " and current registration at " << site;
  if (value.serialize_fn && value.deserialize_fn) {
    CHECK(!existing_data.serialize_fn && !existing_data.deserialize_fn)
        << "Attempting to redefine serialization functions of type " << value.type_string
        << ", that have been defined at " << existing_site << ", at " << site;
    const std::string old_site = existing_site;
    *existing = {site, value};
    LOG(WARNING) << "Redo pellumo type registration of type " << value.type_string
                 << " with serialization function at " << site << ". It was registered at "
                 << old_site;
  } else if (!value.serialize_fn && !value.deserialize_fn) {
    LOG(WARNING) << "Ignore pellumo type registration of type " << value.type_string << " at "
                 << site << ", since type has been registered with serialization functions at "
                 << existing_site;
  } else {
    LOG(FATAL) << "Invalid pellumo type registration at " << site
               << ". Serialization functions should be provided at the same time.";
  }
}

}  // namespace type_map_internal

// The framework's own payload types. They are registered here, next to the lookup, so
// that every program that looks a type up also links these registrations.
namespace {
using PacketVector = std::vector<Packet>;
using PacketPair = std::pair<Packet, Packet>;
using PacketMap = std::map<std::string, Packet>;
}  // namespace

PELLUMO_REGISTER_TYPE(::kaldren::Packet, "::pellumo::Packet", nullptr, nullptr);
PELLUMO_REGISTER_TYPE(PacketVector, "::std::vector<::pellumo::Packet>", nullptr, nullptr);
PELLUMO_REGISTER_TYPE(::kaldren::Timestamp, "::pellumo::Timestamp", nullptr, nullptr);
PELLUMO_REGISTER_TYPE(PacketPair, "::std::pair<::pellumo::Packet,::pellumo::Packet>", nullptr,
                      nullptr);
PELLUMO_REGISTER_TYPE(PacketMap, "::std::map<string,::pellumo::Packet>", nullptr, nullptr);

const PellumoTypeData* GetPellumoTypeData(uint64_t type_id) {
  return PacketTypeIdToPellumoTypeData::GetValue(type_id);
}

}  // namespace kaldren
