// The landmarks node end to end in a graph on the generated face models: camera frames as GPU
// buffers at 30 frames per second, the models loaded from the resource bundles, run on the
// Metal device through the front ends, and one face list per frame out.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/status_test_util.h"
#include "face_ml/face_utils.h"
#include "face_ml/refinement_merge_rules.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "face_ml/zelkor_face_detector_metal.h"
#include "gmock/gmock.h"
#include "gpu/gpu_buffer.h"
#include "graph/calculator_graph.h"
#include "graph/packet.h"
#include "graph_config/calculator.pb.h"
#include "gtest/gtest.h"
#include "platform/metal/device.h"
#include "tests/face_landmarks_graph.h"
#include "tools/face_models/face_layout.h"
#include "tools/face_models/landmark_models.h"
#include "tools/face_models/model_files.h"

namespace pellumo {
namespace sorvanti {
namespace {

using tools::face_models::FacePatch;
using tools::face_models::FacePatchOfHeight;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int64_t kFrameInterval = 33333;  // microseconds, 30 frames per second

GpuBuffer MakeFrame(const FacePatch* patch) {
  return quillmere_testing::MakeFacePatchFrame(kWidth, kHeight, patch);
}

std::string ModelPath(const char* folder, const char* file) {
  return std::string(folder) + "/" + file;
}

LandmarksDetectorCalculatorOptions BaseOptions() {
  LandmarksDetectorCalculatorOptions options;
  options.set_face_detector_model_path(
      ModelPath(QM_FACE_RESOURCES_DIR, tools::face_models::kFaceDetectorFile));
  options.set_landmarks_model_path(
      ModelPath(QM_FACE_RESOURCES_DIR, tools::face_models::kFaceMeshFile));
  options.set_output_face_ids(true);
  return options;
}

// Runs "input_video" -> LandmarksDetectorCalculatorMetal -> "faces" over `frames` (a null
// entry is a dark frame) and returns the "FACES" packets.
std::vector<kaldren::Packet> RunGraph(const LandmarksDetectorCalculatorOptions& options,
                                      const std::vector<const FacePatch*>& frames) {
  kaldren::CalculatorGraph graph;
  EXPECT_OK(graph.Initialize(quillmere_testing::LandmarksNodeGraph(options)));
  std::mutex mutex;
  std::vector<kaldren::Packet> faces;
  EXPECT_OK(graph.ObserveOutputStream("faces", [&](const kaldren::Packet& p) {
    std::lock_guard<std::mutex> lock(mutex);
    faces.push_back(p);
    return absl::OkStatus();
  }));
  EXPECT_OK(graph.StartRun({}));
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_OK(graph.AddPacketToInputStream("input_video",
                                           kaldren::MakePacket<GpuBuffer>(MakeFrame(frames[i]))
                                               .At(kaldren::Timestamp(i * kFrameInterval))));
  }
  EXPECT_OK(graph.CloseAllInputStreams());
  EXPECT_OK(graph.WaitUntilDone());
  return faces;
}

bool Contains(const research::sorvanti::api::Bound& bound, double x, double y) {
  return bound.left <= x && x <= bound.right && bound.top <= y && y <= bound.bottom;
}

TEST(FaceLandmarksGraphTest, OneFaceFollowsAMovingPatchWithOneId) {
  std::vector<FacePatch> patches;
  for (int i = 0; i < 30; ++i) patches.push_back(FacePatchOfHeight(100 + 4 * i, 125 - i, 96));
  std::vector<const FacePatch*> frames;
  for (const FacePatch& p : patches) frames.push_back(&p);
  const std::vector<kaldren::Packet> faces = RunGraph(BaseOptions(), frames);

  ASSERT_EQ(faces.size(), patches.size());
  absl::optional<int32_t> id;
  for (size_t i = 0; i < faces.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(faces[i].Timestamp(), kaldren::Timestamp(i * kFrameInterval));
    const auto& list = faces[i].Get<std::vector<Face>>();
    ASSERT_EQ(list.size(), 1u);
    const Face& face = list[0];
    EXPECT_TRUE(Contains(face.rect, patches[i].center_x / kWidth, patches[i].center_y / kHeight));
    EXPECT_EQ(face.landmarks.size(), 468u);
    // The landmarks sit on the patch, not merely around it.
    EXPECT_NEAR((face.rect.left + face.rect.right) / 2 * kWidth, patches[i].center_x, 4);
    EXPECT_NEAR((face.rect.top + face.rect.bottom) / 2 * kHeight, patches[i].center_y, 4);
    ASSERT_TRUE(face.face_id.has_value());
    if (!id) id = face.face_id;
    EXPECT_EQ(face.face_id, id);
  }
}

TEST(FaceLandmarksGraphTest, DarkFramesGiveEmptyLists) {
  const FacePatch patch = FacePatchOfHeight(160, 120, 96);
  const std::vector<kaldren::Packet> faces = RunGraph(BaseOptions(), {nullptr, &patch, nullptr});
  ASSERT_EQ(faces.size(), 3u);
  EXPECT_TRUE(faces[0].Get<std::vector<Face>>().empty());
  EXPECT_EQ(faces[1].Get<std::vector<Face>>().size(), 1u);
}

TEST(FaceLandmarksGraphTest, RefinementModelsMoveLipEyeAndBrowPointsWithinTheMesh) {
  LandmarksDetectorCalculatorOptions options = BaseOptions();
  options.add_refinement_model_path(
      ModelPath(QM_FACE_REFINEMENT_RESOURCES_DIR, tools::face_models::kLipsFile));
  options.add_refinement_model_path(
      ModelPath(QM_FACE_REFINEMENT_RESOURCES_DIR, tools::face_models::kEyesFile));
  const FacePatch a = FacePatchOfHeight(150, 120, 100);
  const FacePatch b = FacePatchOfHeight(156, 118, 100);
  const std::vector<kaldren::Packet> refined = RunGraph(options, {&a, &b});
  const std::vector<kaldren::Packet> plain = RunGraph(BaseOptions(), {&a});
  ASSERT_EQ(refined.size(), 2u);
  ASSERT_EQ(plain.size(), 1u);
  for (const kaldren::Packet& packet : refined) {
    const auto& list = packet.Get<std::vector<Face>>();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].landmarks.size(), 468u);
    EXPECT_TRUE(Contains(list[0].rect, 150.0 / kWidth, 120.0 / kHeight));
  }

  // On the first frame both crops come from the detector: the refined face differs from the
  // plain one exactly where the refinement models write.
  std::vector<bool> written(468, false);
  for (int32_t i : research::sorvanti::api::internal::GetLipsMapping()) written[i] = true;
  for (int32_t i : tools::face_models::EyeRegionVertices()) written[i] = true;
  const Face& with = refined[0].Get<std::vector<Face>>()[0];
  const Face& without = plain[0].Get<std::vector<Face>>()[0];
  ASSERT_EQ(without.landmarks.size(), 468u);
  int moved = 0, written_count = 0;
  for (size_t i = 0; i < 468; ++i) {
    const bool same = with.landmarks[i].x == without.landmarks[i].x &&
                      with.landmarks[i].y == without.landmarks[i].y;
    if (!written[i]) {
      EXPECT_TRUE(same) << "landmark " << i << " is no refinement's";
      continue;
    }
    ++written_count;
    moved += !same;
    // Refined, a point stays near where the base mesh put it.
    EXPECT_NEAR(with.landmarks[i].x * kWidth, without.landmarks[i].x * kWidth, 3) << i;
    EXPECT_NEAR(with.landmarks[i].y * kHeight, without.landmarks[i].y * kHeight, 3) << i;
  }
  EXPECT_GT(moved, written_count / 2);
}

TEST(FaceDetectorFrontEndTest, FindsThePatchWhereverItIsAndNothingOnADarkFrame) {
  std::ifstream file(ModelPath(QM_FACE_RESOURCES_DIR, tools::face_models::kFaceDetectorFile),
                     std::ios::binary);
  const std::string model((std::istreambuf_iterator<char>(file)), {});
  std::unique_ptr<
      research::sorvanti::api::LandmarksDetector<research::sorvanti::api::MetalRGBABufferFrame>>
      detector = research::sorvanti::api::MakeZelkorFaceMetal(
          MTLCreateSystemDefaultDevice(), {}, absl::MakeConstSpan(model.data(), model.size()));
  ASSERT_NE(detector, nullptr);
  const FacePatch patches[] = {FacePatchOfHeight(60, 60, 80), FacePatchOfHeight(260, 60, 80),
                               FacePatchOfHeight(160, 120, 110), FacePatchOfHeight(60, 180, 80),
                               FacePatchOfHeight(260, 180, 80)};
  for (const FacePatch* patch : {&patches[0], &patches[1], &patches[2], &patches[3], &patches[4],
                                 static_cast<const FacePatch*>(nullptr)}) {
    const GpuBuffer buffer = MakeFrame(patch);
    research::sorvanti::api::MetalRGBABufferFrame frame;
    frame.width = kWidth;
    frame.height = kHeight;
    frame.pixel_buffer = buffer.pixel_buffer();
    research::sorvanti::api::LandmarksDetectionResult result;
    ASSERT_TRUE(detector->Detect(frame, &result));
    if (patch == nullptr) {
      EXPECT_TRUE(result.faces.empty());
      continue;
    }
    SCOPED_TRACE(testing::Message() << patch->center_x << ", " << patch->center_y);
    ASSERT_EQ(result.faces.size(), 1u);
    EXPECT_TRUE(
        Contains(result.faces[0].rect, patch->center_x / kWidth, patch->center_y / kHeight));
    EXPECT_EQ(result.faces[0].landmarks_end - result.faces[0].landmarks_begin, 6);
  }
}

}  // namespace
}  // namespace sorvanti
}  // namespace pellumo
