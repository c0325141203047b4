// Zone data for Abseil's time library: the factory it calls whenever it loads a time zone by
// name, and the compiled-in critical zone it falls back to.
//
// CustomFactory answers "Etc/Unknown" as "Etc/GMT", then tries an embedded zone table (this
// build has none), then the time library's own source (the zone files), and last the
// critical table, which holds "America/Los_Angeles" (also reachable as
// "crit:America/Los_Angeles").

#ifndef BASE_ZONE_INFO_SOURCE_H_
#define BASE_ZONE_INFO_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "absl/time/internal/cctz/include/cctz/zone_info_source.h"

namespace brenvikdata_third_party_tz {

// One compiled zone.
struct FileToc {
  const char* name;
  const char* data;
  uint64_t size;
  unsigned char md5digest[16];
};

// The critical zones, sorted by name: one entry, "America/Los_Angeles".
const FileToc* zoneinfo_critical_create();
size_t zoneinfo_critical_size();

// Optional embedded zone table; this build leaves all three null.
extern const FileToc* (*zoneinfo_embedded_create)();
extern size_t (*zoneinfo_embedded_size)();
extern const char* (*zoneinfo_embedded_version)();

}  // namespace brenvikdata_third_party_tz

namespace base {

using ZoneInfoSourcePtr = std::unique_ptr<absl::time_internal::cctz::ZoneInfoSource>;
using ZoneInfoSourceFallback = std::function<ZoneInfoSourcePtr(const std::string&)>;

// The zone source for `name`, or null when no step yields one.
ZoneInfoSourcePtr CustomFactory(const std::string& name, const ZoneInfoSourceFallback& fallback);

}  // namespace base

#endif  // BASE_ZONE_INFO_SOURCE_H_
