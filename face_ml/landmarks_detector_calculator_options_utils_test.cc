#include "face_ml/landmarks_detector_calculator_options_utils.h"

#include <cstdint>
#include <string>

#include "face_ml/testing/log_capture.h"
#include "graph_config/calculator_options.pb.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace pellumo {
namespace sorvanti {
namespace {

namespace api = ::research::sorvanti::api;

TEST(LandmarksOptionsTest, ModelPathsAreCheckedFaceDetectorFirst) {
  LandmarksDetectorCalculatorOptions options;
  absl::Status status = CheckModelPaths(options);
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(), "Face detector model path has to be specified in the options");

  options.set_face_detector_model_path("detector.tflite");
  status = CheckModelPaths(options);
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(), "Landmarks detector model path has to be specified in the options");

  options.set_landmarks_model_path("landmarks.tflite");
  EXPECT_TRUE(CheckModelPaths(options).ok());
}

TEST(LandmarksOptionsTest, EmptyMessageGivesTheFrontEndDefaults) {
  util::StatusOr<api::LandmarksOptions> result =
      GetLandmarksOptionsFromProto(LandmarksDetectorCalculatorOptions());
  ASSERT_TRUE(result.ok()) << result.status();
  EXPECT_EQ(result->num_faces, 1);
  EXPECT_EQ(result->filter_type, api::DEFAULT_FILTER);
  EXPECT_EQ(result->face_detection_strategy, api::SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS);
  EXPECT_FALSE(result->output_face_ids);
  EXPECT_EQ(result->extra_landmarks_iterations, 0);
}

TEST(LandmarksOptionsTest, EveryFieldIsCarriedOver) {
  LandmarksDetectorCalculatorOptions options;
  options.set_num_faces(3);
  options.set_filter_type(NO_FILTER);
  options.set_face_detection_strategy(SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS);
  options.set_output_face_ids(true);
  options.set_extra_landmarks_iterations(2);
  util::StatusOr<api::LandmarksOptions> result = GetLandmarksOptionsFromProto(options);
  ASSERT_TRUE(result.ok()) << result.status();
  EXPECT_EQ(result->num_faces, 3);
  EXPECT_EQ(result->filter_type, api::NO_FILTER);
  EXPECT_EQ(result->face_detection_strategy, api::SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS);
  EXPECT_TRUE(result->output_face_ids);
  EXPECT_EQ(result->extra_landmarks_iterations, 2);
}

// Counts that would wrap to negative (or zero) signed 32-bit values are refused.
TEST(LandmarksOptionsTest, CountsOutOfRangeAreRefused) {
  const uint64_t kMax = INT32_MAX;
  struct Case {
    uint64_t num_faces;
    uint64_t iterations;
    std::string message;  // empty: accepted
  } cases[] = {
      {0, 0, "Number of faces to detect has to be greater than 0"},
      {kMax, kMax, ""},
      {kMax + 1, 0, "Number of faces to detect has to be at most 2147483647"},
      {uint64_t{1} << 32, 0, "Number of faces to detect has to be at most 2147483647"},
      {1, kMax + 1, "Extra landmarks iterations have to be at most 2147483647"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.num_faces << " faces, " << c.iterations << " iterations");
    LandmarksDetectorCalculatorOptions options;
    options.set_num_faces(c.num_faces);
    options.set_extra_landmarks_iterations(c.iterations);
    util::StatusOr<api::LandmarksOptions> result = GetLandmarksOptionsFromProto(options);
    if (c.message.empty()) {
      ASSERT_TRUE(result.ok()) << result.status();
      EXPECT_EQ(result->num_faces, INT32_MAX);
      EXPECT_EQ(result->extra_landmarks_iterations, INT32_MAX);
    } else {
      EXPECT_EQ(result.status().code(), absl::StatusCode::kInvalidArgument);
      EXPECT_EQ(result.status().message(), c.message);
    }
  }
}

TEST(LandmarksOptionsTest, EnumerationsMapToTheFrontEnd) {
  EXPECT_EQ(GetAPIFilterTypeFromProtoFilterType(DEFAULT_FILTER), api::DEFAULT_FILTER);
  EXPECT_EQ(GetAPIFilterTypeFromProtoFilterType(NO_FILTER), api::NO_FILTER);
  EXPECT_EQ(GetAPIFilterTypeFromProtoFilterType(RELATIVE_VELOCITY_FILTER),
            api::RELATIVE_VELOCITY_FILTER);
  EXPECT_EQ(GetAPIFilterTypeFromProtoFilterType(static_cast<LandmarksFilterType>(7)),
            api::DEFAULT_FILTER);

  EXPECT_EQ(*GetAPIFaceDetectionStrategyFromProto(DEFAULT_STRATEGY),
            api::SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS);
  EXPECT_EQ(*GetAPIFaceDetectionStrategyFromProto(SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS),
            api::SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS);
  EXPECT_EQ(*GetAPIFaceDetectionStrategyFromProto(RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS),
            api::RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS);
  EXPECT_EQ(*GetAPIFaceDetectionStrategyFromProto(SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS),
            api::SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS);

  research::sorvanti::testing::LogCapture log;
  util::StatusOr<api::FaceDetectionStrategy> unknown =
      GetAPIFaceDetectionStrategyFromProto(static_cast<FaceDetectionStrategy>(9));
  EXPECT_EQ(unknown.status().code(), absl::StatusCode::kUnimplemented);
  EXPECT_EQ(unknown.status().message(), "Conversion is not supported for: 9");
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, "Conversion is not supported for: 9"), 1);
}

// Wire bytes of field 7 (varint) with value 9, which FaceDetectionStrategy does not define.
constexpr char kUnknownStrategy[] = {0x38, 0x09};

TEST(LandmarksOptionsTest, UnknownEnumValueIsKeptAsUnknownField) {
  LandmarksDetectorCalculatorOptions options;
  ASSERT_TRUE(options.ParseFromString(std::string(kUnknownStrategy, 2)));
  EXPECT_FALSE(options.has_face_detection_strategy());
  EXPECT_EQ(options.face_detection_strategy(), DEFAULT_STRATEGY);
  // The value survives a round trip, so it still tells cache keys apart.
  EXPECT_EQ(options.SerializeAsString(), std::string(kUnknownStrategy, 2));
  EXPECT_NE(options.SerializeAsString(), LandmarksDetectorCalculatorOptions().SerializeAsString());
  // Nothing refuses the message: the unknown value reads as the default strategy.
  EXPECT_TRUE(GetLandmarksOptionsFromProto(options).ok());
}

TEST(LandmarksOptionsTest, CacheKeyTellsPresenceApartAndOrdersFields) {
  LandmarksDetectorCalculatorOptions unset;
  LandmarksDetectorCalculatorOptions set_to_default;
  set_to_default.set_num_faces(1);
  EXPECT_NE(unset.SerializeAsString(), set_to_default.SerializeAsString());

  // Fields in number order whatever order they were set in; repeated entries in order.
  LandmarksDetectorCalculatorOptions options;
  options.add_refinement_model_path("b");
  options.set_init_mode(ASYNC);
  options.add_refinement_model_path("c");
  EXPECT_EQ(options.SerializeAsString(), std::string("\x08\x02\x5a\x01" "b" "\x5a\x01" "c", 8));
}

TEST(LandmarksOptionsTest, TravelsAsNodeOptionsExtension) {
  EXPECT_EQ(LandmarksDetectorCalculatorOptions::kExtFieldNumber, 211021961);
  EXPECT_EQ(LandmarksDetectorCalculatorOptions().GetTypeName(),
            "pellumo.sorvanti.LandmarksDetectorCalculatorOptions");
  pellumo::CalculatorOptions node_options;
  LandmarksDetectorCalculatorOptions* options =
      node_options.MutableExtension(LandmarksDetectorCalculatorOptions::ext);
  options->set_face_detector_model_path("detector.tflite");
  options->add_refinement_model_path("lips.tflite");

  pellumo::CalculatorOptions parsed;
  ASSERT_TRUE(parsed.ParseFromString(node_options.SerializeAsString()));
  ASSERT_TRUE(parsed.HasExtension(LandmarksDetectorCalculatorOptions::ext));
  const LandmarksDetectorCalculatorOptions& read =
      parsed.GetExtension(LandmarksDetectorCalculatorOptions::ext);
  EXPECT_EQ(read.face_detector_model_path(), "detector.tflite");
  EXPECT_THAT(read.refinement_model_path(), testing::ElementsAre("lips.tflite"));
}

TEST(LandmarksOptionsTest, EnumerationHelpersMapNamesAndValues) {
  EXPECT_TRUE(InitMode_IsValid(2));
  EXPECT_FALSE(InitMode_IsValid(3));
  EXPECT_FALSE(FaceDetectionStrategy_IsValid(4));
  EXPECT_EQ(LandmarksFilterType_Name(RELATIVE_VELOCITY_FILTER), "RELATIVE_VELOCITY_FILTER");
  FaceDetectionStrategy strategy;
  ASSERT_TRUE(FaceDetectionStrategy_Parse("SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS", &strategy));
  EXPECT_EQ(strategy, 3);
}

}  // namespace
}  // namespace sorvanti
}  // namespace pellumo
