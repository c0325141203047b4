#include "face_geometry/face_model.h"

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tools/canonical_face_model.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::HasSubstr;

std::string Serialize(const FaceModelT& model) {
  const std::vector<uint8_t> bytes = tools::SerializeFaceModel(model);
  return std::string(bytes.begin(), bytes.end());
}

TEST(FaceModelTest, RootTableWithEmptyVtableGivesAnEmptyModel) {
  // Root offset 8; a vtable at 4 of length 4 (table length 4), bytes 4..7 where a file
  // identifier would be; the root table at 8 pointing back 4 bytes.
  const std::string buffer("\x08\x00\x00\x00\x04\x00\x04\x00\x04\x00\x00\x00", 12);
  auto model = LoadFaceModel({buffer});
  ASSERT_TRUE(model.ok()) << model.status();
  EXPECT_TRUE((*model)->vertex_positions.empty());
  EXPECT_TRUE((*model)->regions.empty());
  EXPECT_EQ((*model)->camera_frame_space_model, nullptr);
  EXPECT_EQ((*model)->metric_space_depth_rescaling_method_model, nullptr);
  EXPECT_EQ((*model)->camera_frame_space_depth_rescaling_method, 0);
}

TEST(FaceModelTest, CanonicalModelRoundTrips) {
  const auto canonical = tools::MakeCanonicalFaceModel();
  auto loaded = LoadFaceModel({Serialize(*canonical)});
  ASSERT_TRUE(loaded.ok()) << loaded.status();
  const FaceModelT& model = **loaded;
  EXPECT_EQ(model.vertex_positions, canonical->vertex_positions);
  EXPECT_EQ(model.tex_coords, canonical->tex_coords);
  EXPECT_EQ(model.mesh_faces, canonical->mesh_faces);
  EXPECT_EQ(model.tangent_space_triangles, canonical->tangent_space_triangles);
  ASSERT_EQ(model.regions.size(), canonical->regions.size());
  for (size_t i = 0; i < model.regions.size(); ++i) {
    EXPECT_EQ(model.regions[i]->region, canonical->regions[i]->region);
    EXPECT_EQ(model.regions[i]->r_and_s_vertex_weights,
              canonical->regions[i]->r_and_s_vertex_weights);
    EXPECT_EQ(model.regions[i]->depth_rewrite_pass_count,
              canonical->regions[i]->depth_rewrite_pass_count);
  }
  ASSERT_EQ(model.triggers.size(), 1u);
  ASSERT_NE(model.triggers[0]->mouth_is_open_trigger_model, nullptr);
  EXPECT_EQ(model.triggers[0]->mouth_is_open_trigger_model->outer_mouth_contour_vertex_ids,
            canonical->triggers[0]->mouth_is_open_trigger_model->outer_mouth_contour_vertex_ids);
  ASSERT_NE(model.camera_frame_space_model, nullptr);
  EXPECT_EQ(model.camera_frame_space_model->focal_distance_transform_model->target_focal_distance,
            50.0f);
  EXPECT_EQ(model.linear_direct_derived_vertices.size(), 468u);
  EXPECT_EQ(model.metric_space_depth_rescaling_method_model->iterative_scale_matching_method_model
                ->vertex_basis,
            canonical->metric_space_depth_rescaling_method_model
                ->iterative_scale_matching_method_model->vertex_basis);
}

TEST(FaceModelTest, KeepsUnknownEnumerationsAndAbsentTablesAsTheyAre) {
  FaceModelT source;
  source.regions.push_back(std::make_unique<FaceRegionModelT>());
  source.regions[0]->transform_estimation_method = static_cast<TransformEstimationMethod>(7);
  source.triggers.push_back(std::make_unique<FaceTriggerModelT>());
  source.metric_space_model = std::make_unique<SpaceModelT>();
  auto model = LoadFaceModel({Serialize(source)});
  ASSERT_TRUE(model.ok()) << model.status();
  EXPECT_EQ((*model)->regions[0]->transform_estimation_method, 7);
  EXPECT_EQ((*model)->triggers[0]->mouth_is_open_trigger_model, nullptr);
  ASSERT_NE((*model)->metric_space_model, nullptr);
  EXPECT_EQ((*model)->metric_space_model->focal_distance_transform_model, nullptr);
}

TEST(FaceModelTest, RejectsWhatIsNotAWholeFaceModelBuffer) {
  const std::string canonical = Serialize(*tools::MakeCanonicalFaceModel());
  std::vector<std::string> bad = {"", "\x08\x00", std::string("\xff\xff\xff\x7f", 4) + canonical,
                                  canonical.substr(0, canonical.size() / 2),
                                  canonical.substr(0, canonical.size() - 4)};
  for (const std::string& buffer : bad) {
    auto model = LoadFaceModel({buffer});
    ASSERT_FALSE(model.ok()) << buffer.size();
    EXPECT_EQ(model.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_THAT(std::string(model.status().message()), HasSubstr("not a valid face-model buffer"));
  }
  auto none = LoadFaceModel({});
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.status().code(), absl::StatusCode::kInvalidArgument);
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
