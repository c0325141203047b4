#include "face_ml/face_utils.h"

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace pellumo {
namespace sorvanti {
namespace internal {
namespace {

namespace api = ::research::sorvanti::api;
using ::testing::HasSubstr;

TEST(FaceRecordsTest, FacesTakeTheirOwnLandmarkRangesAndIds) {
  api::LandmarksDetectionResult result;
  result.landmarks = {{0.1f, 0.2f, 0.3f}, {0.4f, 0.5f, 0.6f}, {0.7f, 0.8f, 0.9f}};
  result.faces = {
      {{0.1f, 0.2f, 0.3f, 0.4f}, 0, 2, -1},  // no id
      {{0.5f, 0.6f, 0.7f, 0.8f}, 2, 3, 0},   // id 0 is a real id
      {{0, 0, 1, 1}, 3, 3, 7},               // no landmarks
  };
  std::vector<Face> faces = GetFaces(result);
  ASSERT_EQ(faces.size(), 3u);
  EXPECT_FALSE(faces[0].face_id.has_value());
  ASSERT_EQ(faces[0].landmarks.size(), 2u);
  EXPECT_FLOAT_EQ(faces[0].landmarks[1].y, 0.5f);
  EXPECT_FLOAT_EQ(faces[0].rect.bottom, 0.4f);
  EXPECT_EQ(faces[1].face_id, 0);
  ASSERT_EQ(faces[1].landmarks.size(), 1u);
  EXPECT_FLOAT_EQ(faces[1].landmarks[0].z, 0.9f);
  EXPECT_TRUE(faces[2].landmarks.empty());
  for (const Face& face : faces) EXPECT_EQ(face.aux_value, 0);

  api::LandmarksDetectionResult back = GetLandmarksResults(faces);
  ASSERT_EQ(back.faces.size(), 3u);
  EXPECT_EQ(back.landmarks.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back.faces[i].landmarks_begin, result.faces[i].landmarks_begin);
    EXPECT_EQ(back.faces[i].landmarks_end, result.faces[i].landmarks_end);
    EXPECT_EQ(back.faces[i].face_id, result.faces[i].face_id);
    EXPECT_EQ(back.faces[i].rect.left, result.faces[i].rect.left);
  }
  EXPECT_TRUE(GetFaces(api::LandmarksDetectionResult()).empty());

  // A range past the shared array is a broken producer, not a read out of bounds.
  result.faces = {{{}, 2, 4, -1}};
  EXPECT_DEATH(GetFaces(result), "Check failed");
}

// Type ids of a list of contour sets, each with indices {id}.
std::vector<api::ContourSet> Sets(std::vector<int> ids) {
  std::vector<api::ContourSet> sets;
  for (int id : ids) sets.push_back({id, {id, id + 1}});
  return sets;
}

template <typename T>
std::vector<int> Types(const ContourList& list) {
  std::vector<int> types;
  for (const Contour<T>& c : std::get<std::vector<Contour<T>>>(list)) {
    types.push_back(static_cast<int>(c.type));
  }
  return types;
}

TEST(FaceRecordsTest, ContourSetsConvertByTheFirstSetsBand) {
  EXPECT_EQ(ConvertContourSets({})->index(), 0u);

  util::StatusOr<ContourList> mesh = ConvertContourSets(Sets({3, 7, 15}));
  ASSERT_TRUE(mesh.ok());
  EXPECT_THAT(Types<ContourType::Contours>(*mesh), testing::ElementsAre(2, 6, 14));
  EXPECT_THAT(std::get<2>(*mesh)[1].indices, testing::ElementsAre(7, 8));

  util::StatusOr<ContourList> keypoints = ConvertContourSets(Sets({16, 21}));
  ASSERT_TRUE(keypoints.ok());
  EXPECT_THAT(Types<ContourType::ZelkorFace>(*keypoints), testing::ElementsAre(0, 5));

  // Outside both bands nothing is checked: later ids of any band stay raw.
  for (const std::vector<int>& ids : {std::vector<int>{22, 5}, {0, 16}, {-3}}) {
    util::StatusOr<ContourList> raw = ConvertContourSets(Sets(ids));
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(Types<int>(*raw), ids);
  }

  struct Failure {
    std::vector<int> ids;
    std::string message;
  } failures[] = {
      {{1, 16}, "Cannot convert [16] to one of ContourType::Contours"},
      {{15, 0}, "Cannot convert [0] to one of ContourType::Contours"},
      {{16, 22}, "Cannot convert [22] to one of ContourType::ZelkorFace"},
      {{21, 15}, "Cannot convert [15] to one of ContourType::ZelkorFace"},
  };
  for (const Failure& f : failures) {
    util::StatusOr<ContourList> result = ConvertContourSets(Sets(f.ids));
    EXPECT_EQ(result.status().code(), absl::StatusCode::kInternal);
    EXPECT_EQ(result.status().message(), f.message);
  }
}

Face MakeFace(float v, absl::optional<int32_t> id, int landmarks = 2) {
  Face face;
  face.rect = {v, v, v + 1, v + 1};
  face.landmarks.assign(landmarks, Landmark{v, 2 * v, 3 * v});
  face.aux_value = v;
  face.face_id = id;
  return face;
}

TEST(FaceRecordsTest, InterpolateFaceBlendsEveryValue) {
  util::StatusOr<Face> quarter = InterpolateFace(MakeFace(0, 1), MakeFace(4, 2), 0.25f);
  ASSERT_TRUE(quarter.ok());
  EXPECT_FLOAT_EQ(quarter->rect.left, 1);
  EXPECT_FLOAT_EQ(quarter->rect.bottom, 2);
  EXPECT_FLOAT_EQ(quarter->landmarks[1].z, 3);
  EXPECT_FLOAT_EQ(quarter->aux_value, 1);
  EXPECT_EQ(quarter->face_id, 1);

  EXPECT_EQ(InterpolateFace(MakeFace(0, 1), MakeFace(4, absl::nullopt), 0.5f)->face_id,
            absl::nullopt);

  util::StatusOr<Face> unequal = InterpolateFace(MakeFace(0, 1, 2), MakeFace(0, 1, 3), 0.5f);
  EXPECT_EQ(unequal.status().code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(unequal.status().message()),
              HasSubstr("(landmarks_size)==(face_b.landmarks.size()) Not same number of landmarks"));
}

std::vector<absl::optional<int32_t>> Ids(const std::vector<Face>& faces) {
  std::vector<absl::optional<int32_t>> ids;
  for (const Face& f : faces) ids.push_back(f.face_id);
  return ids;
}

TEST(FaceRecordsTest, InterpolateFacesWithAtMostOneFaceASide) {
  const std::vector<Face> one_a = {MakeFace(0, absl::nullopt)};
  const std::vector<Face> one_b = {MakeFace(4, 9, 2)};
  util::StatusOr<std::vector<Face>> pair = InterpolateFaces(one_a, one_b, 0.5f);
  ASSERT_TRUE(pair.ok());
  ASSERT_EQ(pair->size(), 1u);
  EXPECT_FLOAT_EQ((*pair)[0].aux_value, 2);

  EXPECT_TRUE(InterpolateFaces({}, one_b, 0.99f)->empty());
  EXPECT_EQ(InterpolateFaces({}, one_b, 1.0f)->size(), 1u);
  EXPECT_EQ(InterpolateFaces(one_a, {}, 0.0f)->size(), 1u);
  EXPECT_TRUE(InterpolateFaces(one_a, {}, 0.01f)->empty());
  EXPECT_TRUE(InterpolateFaces({}, {}, 0.5f)->empty());

  const std::vector<Face> three_landmarks = {MakeFace(4, 9, 3)};
  EXPECT_FALSE(InterpolateFaces(one_a, three_landmarks, 0.5f).ok());
}

TEST(FaceRecordsTest, InterpolateFacesPairsSeveralFacesById) {
  const std::vector<Face> a = {MakeFace(0, 1), MakeFace(0, 2), MakeFace(0, 3)};
  const std::vector<Face> b = {MakeFace(4, 2), MakeFace(4, 1), MakeFace(4, 5)};

  // a leads: its order; 3 has no partner and comes out unchanged; b's 5 is dropped.
  util::StatusOr<std::vector<Face>> early = InterpolateFaces(a, b, 0.25f);
  ASSERT_TRUE(early.ok());
  EXPECT_THAT(Ids(*early), testing::ElementsAre(1, 2, 3));
  EXPECT_FLOAT_EQ((*early)[0].aux_value, 1);
  EXPECT_FLOAT_EQ((*early)[2].aux_value, 0);

  // b leads: its order, still blended from a towards b.
  util::StatusOr<std::vector<Face>> late = InterpolateFaces(a, b, 0.75f);
  ASSERT_TRUE(late.ok());
  EXPECT_THAT(Ids(*late), testing::ElementsAre(2, 1, 5));
  EXPECT_FLOAT_EQ((*late)[0].aux_value, 3);
  EXPECT_FLOAT_EQ((*late)[2].aux_value, 4);

  const std::string kMissing = "Cannot interpolate multiple faces without face_id";
  std::vector<Face> leading_without_id = {MakeFace(0, 1), MakeFace(0, absl::nullopt)};
  EXPECT_EQ(InterpolateFaces(leading_without_id, b, 0.25f).status().message(), kMissing);
  // A face without id in the other list is met while searching for a partner.
  std::vector<Face> other_without_id = {MakeFace(4, absl::nullopt), MakeFace(4, 1)};
  EXPECT_EQ(InterpolateFaces(a, other_without_id, 0.25f).status().message(), kMissing);
  // Unequal landmark counts of a pair are the pairing's error.
  std::vector<Face> longer = {MakeFace(4, 1, 3), MakeFace(4, 2)};
  EXPECT_THAT(std::string(InterpolateFaces(a, longer, 0.25f).status().message()),
              HasSubstr("Not same number of landmarks"));
}

}  // namespace
}  // namespace internal
}  // namespace sorvanti
}  // namespace pellumo
