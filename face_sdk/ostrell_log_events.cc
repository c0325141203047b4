#include "face_sdk/ostrell_log_events.h"

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "absl/strings/ascii.h"

namespace {

bool InRange(int32_t value, uint32_t last) { return static_cast<uint32_t>(value) <= last; }

// A schema value name as the descriptor lists it: every word of the upper-case,
// underscore-separated name capitalised and joined, so CAMERA_DIRECTION_UNKNOWN becomes
// CameraDirectionUnknown.
std::string DescriptorValueName(std::string_view schema_name) {
  std::string name;
  bool word_start = true;
  for (char c : schema_name) {
    if (c == '_') {
      word_start = true;
      continue;
    }
    name += word_start ? absl::ascii_toupper(c) : absl::ascii_tolower(c);
    word_start = false;
  }
  return name;
}

}  // namespace

#define QVXLOG_RAW_VALUE_ACCESSORS(Message, Field, field, Enum)                                \
  int32_t QVXLOGOstrellLog_##Message##_##Field##_RawValue(                                     \
      const QVXLOGOstrellLog_##Message& message) {                                             \
    return static_cast<int32_t>(message.field());                                              \
  }                                                                                            \
  void SetQVXLOGOstrellLog_##Message##_##Field##_RawValue(QVXLOGOstrellLog_##Message* message, \
                                                         int32_t value) {                      \
    message->set_##field(static_cast<QVXLOGOstrellLogEnum::Enum>(value));                      \
  }
QVXLOG_RAW_VALUE_ACCESSORS(SessionResumeEvent, ResumeStatus, resume_status, ResumeStatus)
QVXLOG_RAW_VALUE_ACCESSORS(HostAnchorEvent, HostingStatus, hosting_status, HostingStatus)
QVXLOG_RAW_VALUE_ACCESSORS(ResolveAnchorEvent, ResolveStatus, resolve_status, ResolveStatus)
QVXLOG_RAW_VALUE_ACCESSORS(ResolveAnchorEndEvent, ResolveStatus, resolve_status, ResolveEndStatus)
QVXLOG_RAW_VALUE_ACCESSORS(FaceMeshFacesDetected, CameraDirection, camera_direction,
                           CameraDirection)
QVXLOG_RAW_VALUE_ACCESSORS(FaceMeshFacesLost, CameraDirection, camera_direction, CameraDirection)
QVXLOG_RAW_VALUE_ACCESSORS(FaceMeshInitialized, CameraDirection, camera_direction,
                           CameraDirection)
QVXLOG_RAW_VALUE_ACCESSORS(FaceMeshInitialized, InitialModel, initial_model, FaceMeshModelType)
#undef QVXLOG_RAW_VALUE_ACCESSORS

void QVXLOGOstrellLog_ClearOstrellEventOneOfCase(QVXLOGOstrellLog* message) {
  message->clear_ostrell_event();
}

void QVXLOGOstrellLog_HostAnchorEvent_ClearLightingConditionStatsOneOfCase(
    QVXLOGOstrellLog_HostAnchorEvent* message) {
  message->clear_lighting_condition_stats();
}

void QVXLOGOstrellLog_ResolveAnchorStartEvent_ClearLightingConditionStatsOneOfCase(
    QVXLOGOstrellLog_ResolveAnchorStartEvent* message) {
  message->clear_lighting_condition_stats();
}

// The descriptor of an enumeration whose values run from 0 to its _MAX without gaps.
#define QVXLOG_ENUM_DESCRIPTOR(Enum)                                                      \
  const QVXLOGEnumDescriptor* QVXLOGOstrellLogEnum_##Enum##_EnumDescriptor() {            \
    static const QVXLOGEnumDescriptor* descriptor = [] {                                  \
      auto* d = new QVXLOGEnumDescriptor{#Enum, {}};                                       \
      for (int32_t v = 0; v <= QVXLOGOstrellLogEnum::Enum##_MAX; ++v) {                    \
        d->values.emplace_back(DescriptorValueName(QVXLOGOstrellLogEnum::Enum##_Name(      \
                                   static_cast<QVXLOGOstrellLogEnum::Enum>(v))),           \
                               v);                                                        \
      }                                                                                   \
      return d;                                                                           \
    }();                                                                                  \
    return descriptor;                                                                    \
  }
QVXLOG_ENUM_DESCRIPTOR(CameraDirection)
QVXLOG_ENUM_DESCRIPTOR(FaceMeshModelType)
QVXLOG_ENUM_DESCRIPTOR(ResolveEndStatus)
QVXLOG_ENUM_DESCRIPTOR(ResolveStatus)
QVXLOG_ENUM_DESCRIPTOR(HostingStatus)
QVXLOG_ENUM_DESCRIPTOR(ResumeStatus)
#undef QVXLOG_ENUM_DESCRIPTOR

bool QVXLOGOstrellLogEnum_CameraDirection_IsValidValue(int32_t value) {
  return InRange(value, 2);
}
bool QVXLOGOstrellLogEnum_FaceMeshModelType_IsValidValue(int32_t value) {
  return InRange(value, 3);
}
bool QVXLOGOstrellLogEnum_ResolveEndStatus_IsValidValue(int32_t value) {
  return InRange(value, 2);
}
bool QVXLOGOstrellLogEnum_ResolveStatus_IsValidValue(int32_t value) { return InRange(value, 12); }
bool QVXLOGOstrellLogEnum_HostingStatus_IsValidValue(int32_t value) { return InRange(value, 19); }
bool QVXLOGOstrellLogEnum_ResumeStatus_IsValidValue(int32_t value) { return InRange(value, 20); }

uint64_t QVXUnixTimeNanosFromSeconds(double seconds) {
  // Converting a negative, NaN or too large double to uint64_t is undefined; saturate instead.
  if (!(seconds > 0)) return 0;
  constexpr double kLimit = 18446744073.0;  // whole seconds whose nanoseconds fit in 64 bits
  if (seconds >= kLimit) return std::numeric_limits<uint64_t>::max();
  double whole = std::trunc(seconds);
  return static_cast<uint64_t>((seconds - whole) * 1e9) +
         static_cast<uint64_t>(whole) * 1000000000ull;
}
