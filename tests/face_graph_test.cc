// The face graph configuration of the resource bundle, as the face SDK loads it.

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/status_test_util.h"
#include "face_geometry/face_transform_calculator.pb.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "gmock/gmock.h"
#include "graph/validated_graph_config.h"
#include "graph_config/calculator.pb.h"
#include "gtest/gtest.h"

namespace {

using ::testing::ElementsAre;

pellumo::CalculatorGraphConfig LoadFaceGraphConfig() {
  std::ifstream file(QM_FACE_GRAPH_FILE, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  pellumo::CalculatorGraphConfig config;
  EXPECT_TRUE(config.ParseFromString(bytes)) << QM_FACE_GRAPH_FILE;
  return config;
}

TEST(FaceGraphConfigTest, HasTheStreamsTheSdkUsesAndValidates) {
  const pellumo::CalculatorGraphConfig config = LoadFaceGraphConfig();
  EXPECT_THAT(config.input_stream(), ElementsAre("input_frames", "pre_rotation", "sequence_id",
                                                 "quorrel_face_space_parameters"));
  EXPECT_THAT(config.output_stream(), ElementsAre("face_transform"));
  std::vector<std::string> calculators;
  for (const auto& node : config.node()) calculators.push_back(node.calculator());
  EXPECT_THAT(calculators, ElementsAre("GlScalerCalculator", "LandmarksDetectorCalculatorMetal",
                                       "QuorrelFaceTransformCalculator"));

  // Both face nodes load their models in the background, as the SDK expects of a graph it
  // starts at once.
  const auto& landmarks =
      config.node(1).options().GetExtension(pellumo::sorvanti::LandmarksDetectorCalculatorOptions::ext);
  EXPECT_EQ(landmarks.init_mode(), pellumo::sorvanti::ASYNC);
  const auto& transform =
      config.node(2).options().GetExtension(pellumo::quorrel::FaceTransformCalculatorOptions::ext);
  EXPECT_EQ(transform.init_mode(), pellumo::sorvanti::ASYNC);
  EXPECT_EQ(transform.face_model_path(), "OstrellFaceResources.bundle/canonical_face_model.bin");

  kaldren::ValidatedGraphConfig validated;
  EXPECT_OK(validated.Initialize(config));
}

}  // namespace
