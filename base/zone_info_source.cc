#include "base/zone_info_source.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "absl/strings/strip.h"
#include "base/raw_logging.h"

namespace brenvikdata_third_party_tz {

namespace internal {
extern const unsigned char kLosAngelesZone[];
extern const uint64_t kLosAngelesZoneSize;
extern const unsigned char kLosAngelesZoneMd5[16];
}  // namespace internal

const FileToc* zoneinfo_critical_create() {
  static const FileToc* table = [] {
    auto* toc = new FileToc[1];
    toc[0].name = "America/Los_Angeles";
    toc[0].data = reinterpret_cast<const char*>(internal::kLosAngelesZone);
    toc[0].size = internal::kLosAngelesZoneSize;
    std::memcpy(toc[0].md5digest, internal::kLosAngelesZoneMd5, 16);
    return toc;
  }();
  return table;
}

size_t zoneinfo_critical_size() { return 1; }

const FileToc* (*zoneinfo_embedded_create)() = nullptr;
size_t (*zoneinfo_embedded_size)() = nullptr;
const char* (*zoneinfo_embedded_version)() = nullptr;

}  // namespace brenvikdata_third_party_tz

namespace base {
namespace {

using brenvikdata_third_party_tz::FileToc;

// Reads a compiled zone out of constant bytes.
class MemoryZoneSource : public absl::time_internal::cctz::ZoneInfoSource {
 public:
  MemoryZoneSource(const char* data, uint64_t size) : position_(data), end_(data + size) {}

  size_t Read(void* ptr, size_t size) override {
    size = std::min<size_t>(size, end_ - position_);
    std::memcpy(ptr, position_, size);
    position_ += size;
    return size;
  }

  int Skip(size_t offset) override {
    position_ += std::min<size_t>(offset, end_ - position_);
    return 0;
  }

  std::string Version() const override {
    if (brenvikdata_third_party_tz::zoneinfo_embedded_version != nullptr) {
      if (const char* version = brenvikdata_third_party_tz::zoneinfo_embedded_version()) {
        return version;
      }
    }
    return std::string();
  }

 private:
  const char* position_;
  const char* end_;
};

const FileToc* FindZone(const FileToc* table, size_t size, absl::string_view name) {
  const FileToc* end = table + size;
  const FileToc* found = std::lower_bound(
      table, end, name, [](const FileToc& toc, absl::string_view n) { return toc.name < n; });
  return found != end && found->name == name ? found : nullptr;
}

ZoneInfoSourcePtr OpenEmbedded(absl::string_view name) {
  using brenvikdata_third_party_tz::zoneinfo_embedded_create;
  using brenvikdata_third_party_tz::zoneinfo_embedded_size;
  if (zoneinfo_embedded_create == nullptr) return nullptr;
  absl::ConsumePrefix(&name, "mem:");
  static std::atomic<bool> announced{false};
  if (!announced.exchange(true)) RAW_LOG(INFO, "Using embedded zoneinfo data");
  const FileToc* toc = FindZone(zoneinfo_embedded_create(), zoneinfo_embedded_size(), name);
  return toc != nullptr ? std::make_unique<MemoryZoneSource>(toc->data, toc->size) : nullptr;
}

ZoneInfoSourcePtr OpenCritical(absl::string_view name) {
  absl::ConsumePrefix(&name, "crit:");
  const FileToc* toc = FindZone(brenvikdata_third_party_tz::zoneinfo_critical_create(),
                                brenvikdata_third_party_tz::zoneinfo_critical_size(), name);
  if (toc == nullptr) return nullptr;
  RAW_LOG(WARNING, "Falling back to critical %s zoneinfo data", toc->name);
  return std::make_unique<MemoryZoneSource>(toc->data, toc->size);
}

}  // namespace

ZoneInfoSourcePtr CustomFactory(const std::string& requested,
                                const ZoneInfoSourceFallback& fallback) {
  const std::string name = requested == "Etc/Unknown" ? "Etc/GMT" : requested;
  if (ZoneInfoSourcePtr source = OpenEmbedded(name)) return source;
  if (ZoneInfoSourcePtr source = fallback(name)) return source;
  return OpenCritical(name);
}

}  // namespace base

// The time library asks this factory for every zone it loads by name.
absl::time_internal::cctz_extension::ZoneInfoSourceFactory
    absl::time_internal::cctz_extension::zone_info_source_factory = &base::CustomFactory;
