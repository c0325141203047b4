#include "tflite/gpu/metal/custom_registry.h"

#include <string>
#include <vector>

#include "base/status_test_util.h"
#include "gtest/gtest.h"
#include "tflite/gpu/metal/api.h"
#include "tflite/gpu/metal/testing_util.h"

namespace tflite {
namespace gpu {
namespace {

using metal::testing_util::Outcome;
using metal::testing_util::RunOperation;
using metal::testing_util::Tensor;

TEST(CustomOperationTypeTest, NamesAreExactAndUnknownValuesHaveOne) {
  EXPECT_EQ(ToString(CustomOperationType::ROI_TO_TRANSFORM_MATRIX), "roi_to_transform_matrix");
  EXPECT_EQ(ToString(CustomOperationType::STRETCH_TIME), "stretch_time");
  EXPECT_EQ(ToString(static_cast<CustomOperationType>(5)), "unknown_custom_operation");
  EXPECT_EQ(CustomOperationTypeFromString("stretch_time"), CustomOperationType::STRETCH_TIME);
  EXPECT_EQ(CustomOperationTypeFromString("roi_to_transform_matrix"),
            CustomOperationType::ROI_TO_TRANSFORM_MATRIX);
  EXPECT_EQ(CustomOperationTypeFromString("Stretch_Time"), CustomOperationType::UNKNOWN);
  EXPECT_EQ(CustomOperationTypeFromString(""), CustomOperationType::UNKNOWN);
}

TEST(RegisterCustomOpsTest, OrdinaryOperationsAreLeftToTheBackend) {
  GraphFloat32 graph;
  Node* node = graph.NewNode();
  node->operation.type = ToString(OperationType::CONVOLUTION_2D);
  std::vector<metal::ComputeTaskDescriptorPtr> tasks;
  const absl::Status status = metal::RegisterCustomOps(graph, node, {0}, {1}, {}, &tasks);
  EXPECT_TRUE(absl::IsUnimplemented(status));
  EXPECT_EQ(status.message(), "Unsupported op: convolution_2d");
  EXPECT_TRUE(tasks.empty());
}

TEST(StretchTimeTest, HeightByTwoFromOneToSeven) {
  const BHWC in(1, 4, 3, 6);  // two channel slices
  Tensor x(in.DimensionsProduct());
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i);
  const Outcome run =
      RunOperation({"stretch_time", StretchTimeAttributes{Axis::HEIGHT, 2, 1, 7}}, {in}, {x},
                   BHWC(1, 6, 3, 6));
  ASSERT_OK(run.status);
  for (int r = 0; r < 6; ++r) {
    const int source = (r + 1) / 2;
    for (int i = 0; i < 3 * 6; ++i) {
      ASSERT_EQ(run.output[r * 18 + i], x[source * 18 + i]) << "row " << r;
    }
  }
}

TEST(StretchTimeTest, WidthAndRefusedStretches) {
  const BHWC in(1, 2, 3, 1);
  const Tensor x = {0, 1, 2, 3, 4, 5};
  const Outcome run = RunOperation({"stretch_time", StretchTimeAttributes{Axis::WIDTH, 3, 2, 8}},
                                   {in}, {x}, BHWC(1, 2, 6, 1));
  ASSERT_OK(run.status);
  EXPECT_EQ(run.output, (Tensor{0, 1, 1, 1, 2, 2, 3, 4, 4, 4, 5, 5}));

  // An end past factor x length would read beyond the input.
  const Outcome beyond = RunOperation(
      {"stretch_time", StretchTimeAttributes{Axis::WIDTH, 2, 0, 7}}, {in}, {x}, BHWC(1, 2, 7, 1));
  EXPECT_TRUE(absl::IsInvalidArgument(beyond.status)) << beyond.status;
  const Outcome untyped = RunOperation({"stretch_time", 3}, {in}, {x}, BHWC(1, 2, 3, 1));
  EXPECT_TRUE(absl::IsInvalidArgument(untyped.status)) << untyped.status;
}

TEST(RoiToTransformMatrixTest, MapsOutputCropBackIntoTheInput) {
  const Outcome run = RunOperation(
      {"roi_to_transform_matrix", RoIToTransformMatrixAttributes{HW(8, 16)}}, {BHWC(1, 1, 1, 4)},
      {Tensor{0.25f, 0.125f, 0.75f, 0.625f}}, BHWC(1, 1, 4, 4));
  ASSERT_OK(run.status);
  // x ratio 16 / 0.5, y ratio 8 / 0.5.
  EXPECT_EQ(run.output, (Tensor{1.0f / 32, 0, 0, 0.25f, 0, 1.0f / 16, 0, 0.125f, 0, 0, 1, 0, 0,
                                0, 0, 1}));
}

}  // namespace
}  // namespace gpu
}  // namespace tflite
