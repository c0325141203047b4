// The face SDK's usage-event messages under the names the SDK's callers use, plus the exported
// helpers that go with them.
//
//   QVXLOGOstrellLog event;
//   event.mutable_facemesh_initialized()->set_session_start_time_ms(start_ms);
//   event.mutable_facemesh_initialized()->set_initial_model(
//       QVXLOGOstrellLogEnum::FACEMESH_MODEL_TYPE_LITE);
//   std::string bytes = event.SerializeAsString();
//
// The messages are proto3 (ostrell_log.proto, ostrell_log_enum.proto): enum fields are open,
// so a value outside its enumeration survives parsing and is read back by the *_RawValue
// functions. The *_IsValidValue functions tell whether a value belongs to its enumeration.
// Messages are not thread-safe; the free functions are.
#ifndef FACE_SDK_OSTRELL_LOG_EVENTS_H_
#define FACE_SDK_OSTRELL_LOG_EVENTS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "face_sdk/ostrell_log.pb.h"
#include "face_sdk/ostrell_log_enum.pb.h"

using QVXLOGOstrellLog = logs::proto::vr::ostrell::OstrellLog;
using QVXLOGOstrellLogEnum = logs::proto::vr::ostrell::OstrellLogEnum;
using QVXLOGOstrellLog_SessionResumeEvent = QVXLOGOstrellLog::SessionResumeEvent;
using QVXLOGOstrellLog_HostAnchorEvent = QVXLOGOstrellLog::HostAnchorEvent;
using QVXLOGOstrellLog_ResolveAnchorEvent = QVXLOGOstrellLog::ResolveAnchorEvent;
using QVXLOGOstrellLog_ResolveAnchorStartEvent = QVXLOGOstrellLog::ResolveAnchorStartEvent;
using QVXLOGOstrellLog_ResolveAnchorEndEvent = QVXLOGOstrellLog::ResolveAnchorEndEvent;
using QVXLOGOstrellLog_ResolveAnchorDetachEvent = QVXLOGOstrellLog::ResolveAnchorDetachEvent;
using QVXLOGOstrellLog_FaceMeshFacesDetected = QVXLOGOstrellLog::FaceMeshFacesDetected;
using QVXLOGOstrellLog_FaceMeshFacesLost = QVXLOGOstrellLog::FaceMeshFacesLost;
using QVXLOGOstrellLog_FaceMeshInitialized = QVXLOGOstrellLog::FaceMeshInitialized;
using QVXLOGOstrellLog_FaceMeshFramerateChange = QVXLOGOstrellLog::FaceMeshFramerateChange;
using QVXLOGOstrellLog_Vector3Proto = QVXLOGOstrellLog::Vector3Proto;
using QVXLOGOstrellLog_QuaternionProto = QVXLOGOstrellLog::QuaternionProto;
using QVXLOGOstrellLog_TransformationProto = QVXLOGOstrellLog::TransformationProto;
using QVXLOGOstrellLog_IOSLightingConditionStats = QVXLOGOstrellLog::IOSLightingConditionStats;

// Raw 32-bit values of the enum fields, read and written without a range check.
#define QVXLOG_RAW_VALUE_ACCESSORS(Message, Field)                               \
  int32_t QVXLOGOstrellLog_##Message##_##Field##_RawValue(                       \
      const QVXLOGOstrellLog_##Message& message);                                \
  void SetQVXLOGOstrellLog_##Message##_##Field##_RawValue(QVXLOGOstrellLog_##Message* message, \
                                                         int32_t value);
QVXLOG_RAW_VALUE_ACCESSORS(SessionResumeEvent, ResumeStatus)
QVXLOG_RAW_VALUE_ACCESSORS(HostAnchorEvent, HostingStatus)
QVXLOG_RAW_VALUE_ACCESSORS(ResolveAnchorEvent, ResolveStatus)
QVXLOG_RAW_VALUE_ACCESSORS(ResolveAnchorEndEvent, ResolveStatus)
QVXLOG_RAW_VALUE_ACCESSORS(FaceMeshFacesDetected, CameraDirection)
QVXLOG_RAW_VALUE_ACCESSORS(FaceMeshFacesLost, CameraDirection)
QVXLOG_RAW_VALUE_ACCESSORS(FaceMeshInitialized, CameraDirection)
QVXLOG_RAW_VALUE_ACCESSORS(FaceMeshInitialized, InitialModel)
#undef QVXLOG_RAW_VALUE_ACCESSORS

// Clear the oneof and whichever member it holds.
void QVXLOGOstrellLog_ClearOstrellEventOneOfCase(QVXLOGOstrellLog* message);
void QVXLOGOstrellLog_HostAnchorEvent_ClearLightingConditionStatsOneOfCase(
    QVXLOGOstrellLog_HostAnchorEvent* message);
void QVXLOGOstrellLog_ResolveAnchorStartEvent_ClearLightingConditionStatsOneOfCase(
    QVXLOGOstrellLog_ResolveAnchorStartEvent* message);

// Whether `value` (compared as unsigned) is one of the enumeration's values.
bool QVXLOGOstrellLogEnum_CameraDirection_IsValidValue(int32_t value);
bool QVXLOGOstrellLogEnum_FaceMeshModelType_IsValidValue(int32_t value);
bool QVXLOGOstrellLogEnum_ResolveEndStatus_IsValidValue(int32_t value);
bool QVXLOGOstrellLogEnum_ResolveStatus_IsValidValue(int32_t value);
bool QVXLOGOstrellLogEnum_HostingStatus_IsValidValue(int32_t value);
bool QVXLOGOstrellLogEnum_ResumeStatus_IsValidValue(int32_t value);

// An enumeration's name and its values in number order, named as the generated classes name
// them (CameraDirectionUnknown for the schema's CAMERA_DIRECTION_UNKNOWN); the wire carries
// only the numbers.
struct QVXLOGEnumDescriptor {
  std::string name;
  std::vector<std::pair<std::string, int32_t>> values;
};

// Each descriptor is made once, on first use, and lives for the process.
const QVXLOGEnumDescriptor* QVXLOGOstrellLogEnum_CameraDirection_EnumDescriptor();
const QVXLOGEnumDescriptor* QVXLOGOstrellLogEnum_FaceMeshModelType_EnumDescriptor();
const QVXLOGEnumDescriptor* QVXLOGOstrellLogEnum_ResolveEndStatus_EnumDescriptor();
const QVXLOGEnumDescriptor* QVXLOGOstrellLogEnum_ResolveStatus_EnumDescriptor();
const QVXLOGEnumDescriptor* QVXLOGOstrellLogEnum_HostingStatus_EnumDescriptor();
const QVXLOGEnumDescriptor* QVXLOGOstrellLogEnum_ResumeStatus_EnumDescriptor();

// Nanoseconds since 1970 for a wall-clock time in seconds since 1970: the whole seconds times
// 1e9 plus the fraction's nanoseconds (truncated). Times before 1970 and NaN give 0; times past
// the 64-bit range give the largest value.
uint64_t QVXUnixTimeNanosFromSeconds(double seconds);

#endif  // FACE_SDK_OSTRELL_LOG_EVENTS_H_
