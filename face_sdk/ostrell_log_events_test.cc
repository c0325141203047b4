#include "face_sdk/ostrell_log_events.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "usage_base/wire_test_util.h"

namespace {

using qm_wire_test::DecodeRaw;

TEST(OstrellLogEventsTest, InitializedEventHasTheExpectedWireFields) {
  QVXLOGOstrellLog event;
  event.set_session_id("abc");
  event.set_timestamp(1500000000);
  auto* initialized = event.mutable_facemesh_initialized();
  initialized->set_session_start_time_ms(1234);
  initialized->set_initial_model(QVXLOGOstrellLogEnum::FACEMESH_MODEL_TYPE_LITE);

  EXPECT_EQ(DecodeRaw(event.SerializeAsString()),
            "1: \"abc\"\n"
            "3: 1500000000\n"
            "42 {\n"
            "  1: 1234\n"
            "  4: 2\n"
            "}\n");
}

TEST(OstrellLogEventsTest, OneofHoldsOneEventAndClears) {
  QVXLOGOstrellLog event;
  event.mutable_facemesh_faces_detected()->set_num_faces_detected(1);
  EXPECT_EQ(event.ostrell_event_case(), QVXLOGOstrellLog::kFacemeshFacesDetected);
  event.mutable_facemesh_framerate_change()->set_new_framerate(32);
  EXPECT_EQ(event.ostrell_event_case(), QVXLOGOstrellLog::kFacemeshFramerateChange);
  EXPECT_FALSE(event.has_facemesh_faces_detected());

  QVXLOGOstrellLog_ClearOstrellEventOneOfCase(&event);
  EXPECT_EQ(event.ostrell_event_case(), QVXLOGOstrellLog::OSTRELL_EVENT_NOT_SET);
  EXPECT_EQ(event.ByteSizeLong(), 0u);

  QVXLOGOstrellLog_HostAnchorEvent host;
  host.mutable_ios_stats()->set_min_exposure_duration_milliseconds(4);
  QVXLOGOstrellLog_HostAnchorEvent_ClearLightingConditionStatsOneOfCase(&host);
  EXPECT_FALSE(host.has_ios_stats());
  QVXLOGOstrellLog_ResolveAnchorStartEvent start;
  start.mutable_ios_stats();
  QVXLOGOstrellLog_ResolveAnchorStartEvent_ClearLightingConditionStatsOneOfCase(&start);
  EXPECT_FALSE(start.has_ios_stats());
}

TEST(OstrellLogEventsTest, RawValuesOutsideTheEnumerationSurviveTheWire) {
  QVXLOGOstrellLog event;
  SetQVXLOGOstrellLog_FaceMeshInitialized_InitialModel_RawValue(
      event.mutable_facemesh_initialized(), 77);
  SetQVXLOGOstrellLog_FaceMeshInitialized_CameraDirection_RawValue(
      event.mutable_facemesh_initialized(), -5);

  QVXLOGOstrellLog parsed;
  ASSERT_TRUE(parsed.ParseFromString(event.SerializeAsString()));
  EXPECT_EQ(QVXLOGOstrellLog_FaceMeshInitialized_InitialModel_RawValue(
                parsed.facemesh_initialized()),
            77);
  EXPECT_EQ(QVXLOGOstrellLog_FaceMeshInitialized_CameraDirection_RawValue(
                parsed.facemesh_initialized()),
            -5);

  QVXLOGOstrellLog_SessionResumeEvent resume;
  SetQVXLOGOstrellLog_SessionResumeEvent_ResumeStatus_RawValue(&resume, 21);
  EXPECT_EQ(QVXLOGOstrellLog_SessionResumeEvent_ResumeStatus_RawValue(resume), 21);
  QVXLOGOstrellLog_ResolveAnchorEndEvent end;
  SetQVXLOGOstrellLog_ResolveAnchorEndEvent_ResolveStatus_RawValue(&end, 9);
  EXPECT_EQ(QVXLOGOstrellLog_ResolveAnchorEndEvent_ResolveStatus_RawValue(end), 9);
}

TEST(OstrellLogEventsTest, ValidityIsAnUnsignedRangeCheck) {
  struct Case {
    const char* name;
    bool (*is_valid)(int32_t);
    int32_t last;
  };
  for (const Case& c : {
           Case{"CameraDirection", QVXLOGOstrellLogEnum_CameraDirection_IsValidValue, 2},
           Case{"FaceMeshModelType", QVXLOGOstrellLogEnum_FaceMeshModelType_IsValidValue, 3},
           Case{"ResolveEndStatus", QVXLOGOstrellLogEnum_ResolveEndStatus_IsValidValue, 2},
           Case{"ResolveStatus", QVXLOGOstrellLogEnum_ResolveStatus_IsValidValue, 12},
           Case{"HostingStatus", QVXLOGOstrellLogEnum_HostingStatus_IsValidValue, 19},
           Case{"ResumeStatus", QVXLOGOstrellLogEnum_ResumeStatus_IsValidValue, 20},
       }) {
    EXPECT_TRUE(c.is_valid(0)) << c.name;
    EXPECT_TRUE(c.is_valid(c.last)) << c.name;
    EXPECT_FALSE(c.is_valid(c.last + 1)) << c.name;
    EXPECT_FALSE(c.is_valid(-1)) << c.name;
  }
}

TEST(OstrellLogEventsTest, DescriptorsListEveryValueOnce) {
  struct Case {
    const QVXLOGEnumDescriptor* (*descriptor)();
    bool (*is_valid)(int32_t);
  };
  for (const Case& c : {
           Case{QVXLOGOstrellLogEnum_CameraDirection_EnumDescriptor,
                QVXLOGOstrellLogEnum_CameraDirection_IsValidValue},
           Case{QVXLOGOstrellLogEnum_FaceMeshModelType_EnumDescriptor,
                QVXLOGOstrellLogEnum_FaceMeshModelType_IsValidValue},
           Case{QVXLOGOstrellLogEnum_ResolveEndStatus_EnumDescriptor,
                QVXLOGOstrellLogEnum_ResolveEndStatus_IsValidValue},
           Case{QVXLOGOstrellLogEnum_ResolveStatus_EnumDescriptor,
                QVXLOGOstrellLogEnum_ResolveStatus_IsValidValue},
           Case{QVXLOGOstrellLogEnum_HostingStatus_EnumDescriptor,
                QVXLOGOstrellLogEnum_HostingStatus_IsValidValue},
           Case{QVXLOGOstrellLogEnum_ResumeStatus_EnumDescriptor,
                QVXLOGOstrellLogEnum_ResumeStatus_IsValidValue},
       }) {
    const QVXLOGEnumDescriptor* d = c.descriptor();
    EXPECT_EQ(c.descriptor(), d) << "made once";
    SCOPED_TRACE(d->name);
    // The schema ends where the validity check does, with a named value for every number.
    int32_t count = static_cast<int32_t>(d->values.size());
    EXPECT_TRUE(c.is_valid(count - 1));
    EXPECT_FALSE(c.is_valid(count));
    for (int32_t v = 0; v < count; ++v) {
      EXPECT_EQ(d->values[v].second, v);
      EXPECT_FALSE(d->values[v].first.empty());
    }
  }
}

TEST(OstrellLogEventsTest, DescriptorValueNamesAreTheGeneratedNames) {
  using Values = std::vector<std::pair<std::string, int32_t>>;
  const QVXLOGEnumDescriptor* direction = QVXLOGOstrellLogEnum_CameraDirection_EnumDescriptor();
  EXPECT_EQ(direction->name, "CameraDirection");
  EXPECT_EQ(direction->values, (Values{{"CameraDirectionUnknown", 0},
                                       {"CameraDirectionFront", 1},
                                       {"CameraDirectionRear", 2}}));
  const QVXLOGEnumDescriptor* model = QVXLOGOstrellLogEnum_FaceMeshModelType_EnumDescriptor();
  EXPECT_EQ(model->name, "FaceMeshModelType");
  EXPECT_EQ(model->values, (Values{{"FacemeshModelTypeUnknown", 0},
                                   {"FacemeshModelTypeUltralite", 1},
                                   {"FacemeshModelTypeLite", 2},
                                   {"FacemeshModelTypeFull", 3}}));
  // Names that do not repeat the enumeration's name, and short words such as "Gl".
  const QVXLOGEnumDescriptor* resume = QVXLOGOstrellLogEnum_ResumeStatus_EnumDescriptor();
  EXPECT_EQ(resume->values[1].first, "ResumeSuccess");
  EXPECT_EQ(resume->values[7].first, "ResumeFailDataSourceSetGlTexture");
  EXPECT_EQ(resume->values[20].first, "ResumeSuccessAlreadyResumed");
  EXPECT_EQ(QVXLOGOstrellLogEnum_HostingStatus_EnumDescriptor()->values[19].first,
            "HostingStatusFailNoneKeyFrames");
  EXPECT_EQ(QVXLOGOstrellLogEnum_ResolveStatus_EnumDescriptor()->values[12].first,
            "ResolveStatusFailAttachAnchor");
  EXPECT_EQ(QVXLOGOstrellLogEnum_ResolveEndStatus_EnumDescriptor()->values[2].first,
            "ResolveEndStatusFail");
}

TEST(OstrellLogEventsTest, UnixTimeNanos) {
  struct Case {
    double seconds;
    uint64_t nanos;
  };
  for (const Case& c : {Case{1.5, 1500000000ull}, Case{0, 0}, Case{1765424000.25, 1765424000250000000ull},
                        Case{-3.5, 0}, Case{std::nan(""), 0},
                        Case{1e30, std::numeric_limits<uint64_t>::max()}}) {
    EXPECT_EQ(QVXUnixTimeNanosFromSeconds(c.seconds), c.nanos) << c.seconds;
  }
}

}  // namespace
