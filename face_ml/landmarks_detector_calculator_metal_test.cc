#include "face_ml/landmarks_detector_calculator_metal.h"

#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/status_test_util.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "face_ml/testing/fake_model.h"
#include "gmock/gmock.h"
#include "gpu/gpu_buffer.h"
#include "graph/calculator_graph.h"
#include "graph/packet.h"
#include "graph/tool/sink.h"
#include "graph_config/calculator.pb.h"
#include "gtest/gtest.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"
#include "platform/foundation/scoped_test_folder.h"

namespace pellumo {
namespace sorvanti {
namespace {

using research::sorvanti::api::ContourSet;
using research::sorvanti::api::LandmarksDetectionResult;
using research::sorvanti::api::LandmarksOptions;
using research::sorvanti::api::MetalRGBABufferFrame;
using research::sorvanti::testing::FakeModelLog;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

// What the fake detectors saw and were asked, shared with the graph's threads.
struct FakeRecord {
  std::string factory;              // "plain", "refine" or "list:<number of refinement models>"
  std::vector<std::string> models;  // the model bytes the factory got, in order
  int num_faces = 0;
  std::vector<MetalRGBABufferFrame> frames;
  int new_sequences = 0;
};

std::mutex record_mutex;
FakeRecord record;
std::atomic<bool> fail_build{false};
std::atomic<bool> fail_detect{false};

template <typename F>
void Update(F f) {
  std::lock_guard<std::mutex> lock(record_mutex);
  f(record);
}

FakeRecord TakeRecord() {
  std::lock_guard<std::mutex> lock(record_mutex);
  return std::exchange(record, FakeRecord{});
}

// Sees one face with three landmarks on a bright frame (first byte above 127), none on a dark
// one.
class FakeDetector : public FaceLandmarksDetector {
 public:
  bool Detect(const MetalRGBABufferFrame& frame, LandmarksDetectionResult* result) override {
    Update([&](FakeRecord& r) { r.frames.push_back(frame); });
    if (fail_detect) return false;
    CVPixelBufferLockBaseAddress(frame.pixel_buffer, kCVPixelBufferLock_ReadOnly);
    const auto* pixels =
        static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(frame.pixel_buffer));
    const bool bright = pixels[0] > 127;
    CVPixelBufferUnlockBaseAddress(frame.pixel_buffer, kCVPixelBufferLock_ReadOnly);
    if (bright) {
      result->faces.push_back({{0.25f, 0.25f, 0.75f, 0.75f}, 0, 3, 4});
      result->landmarks = {{0.3f, 0.3f, 0}, {0.5f, 0.5f, 0.1f}, {0.7f, 0.7f, 0}};
    }
    return true;
  }
  std::vector<ContourSet> GetContoursSets() const override { return {{1, {0, 1}}, {2, {1, 2}}}; }
  int GetNDimensions() const override { return 3; }
  void StartNewSequence() override {
    Update([](FakeRecord& r) { ++r.new_sequences; });
  }
};

std::unique_ptr<FaceLandmarksDetector> Build(const std::string& factory,
                                             std::vector<LandmarksFrontEnd::ModelData> models,
                                             const LandmarksOptions& options) {
  FakeModelLog::Get().RecordBuild();  // waits while the test holds the gate closed
  Update([&](FakeRecord& r) {
    r.factory = factory;
    for (auto m : models) r.models.emplace_back(m.data(), m.size());
    r.num_faces = options.num_faces;
  });
  if (fail_build) return nullptr;
  return std::make_unique<FakeDetector>();
}

LandmarksFrontEnd FakeFrontEnd() {
  LandmarksFrontEnd f;
  f.make_detector = [](auto, auto landmarks, auto detector, const LandmarksOptions& options) {
    return Build("plain", {landmarks, detector}, options);
  };
  f.make_with_refine_detector = [](auto, auto landmarks, auto detector, auto refine,
                                   const LandmarksOptions& options) {
    return Build("refine", {landmarks, detector, refine}, options);
  };
  f.make_with_refinement_models = [](auto, auto landmarks, auto detector, auto refinement,
                                     const LandmarksOptions& options) {
    std::vector<LandmarksFrontEnd::ModelData> models = {landmarks, detector};
    models.insert(models.end(), refinement.begin(), refinement.end());
    return Build("list:" + std::to_string(refinement.size()), models, options);
  };
  return f;
}

GpuBuffer MakeFrame(bool bright, int width = 8, int height = 6) {
  CVPixelBufferRef buffer = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, kCVPixelFormatType_32BGRA,
                                nullptr, &buffer),
            kCVReturnSuccess);
  CVPixelBufferLockBaseAddress(buffer, 0);
  std::memset(CVPixelBufferGetBaseAddress(buffer), bright ? 0xff : 0,
              CVPixelBufferGetDataSize(buffer));
  CVPixelBufferUnlockBaseAddress(buffer, 0);
  GpuBuffer frame(buffer);
  CVPixelBufferRelease(buffer);
  return frame;
}

// One call of the node's consumer at a timestamp: the "FACES" packet, empty when the node only
// moved the bound past the timestamp.
struct Output {
  int64_t timestamp;
  kaldren::Packet faces;
};

// Graph: "input_video" (and the optional "rotation", "sequence") -> node -> "faces" (and the
// optional "metadata"); a consumer of "faces" and "tick" sees every timestamp once "faces" has
// a packet there or its bound has passed it.
class LandmarksCalculatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeModelLog::Get().Reset();
    TakeRecord();
    fail_build = false;
    fail_detect = false;
    previous_front_end_ = SetLandmarksFrontEnd(FakeFrontEnd());
    dir_ = folder_.path();
    for (const char* name : {"landmarks", "detector", "refine", "lips", "eyes"}) {
      std::ofstream(dir_ / name) << name;
    }
    options_.set_landmarks_model_path(Path("landmarks"));
    options_.set_face_detector_model_path(Path("detector"));
  }
  void TearDown() override {
    FakeModelLog::Get().SetGateOpen(true);
    graph_.reset();
    SetLandmarksFrontEnd(std::move(previous_front_end_));
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  absl::Status Start(const std::vector<std::string>& optional_tags,
                     std::shared_ptr<Cache> cache = nullptr) {
    CalculatorGraphConfig config;
    config.add_input_stream("input_video");
    config.add_input_stream("tick");
    auto* node = config.add_node();
    node->set_calculator("LandmarksDetectorCalculatorMetal");
    node->add_input_stream("INPUT:input_video");
    node->add_output_stream("FACES:faces");
    for (const std::string& tag : optional_tags) {
      if (tag == "METADATA") {
        node->add_output_stream("METADATA:metadata");
        kaldren::tool::AddVectorSink("metadata", &config, &metadata_);
      } else {
        const std::string stream = tag == "INPUT_ROTATION" ? "rotation" : "sequence";
        config.add_input_stream(stream);
        node->add_input_stream(tag + ":" + stream);
      }
    }
    *node->mutable_options()->MutableExtension(LandmarksDetectorCalculatorOptions::ext) = options_;
    std::pair<std::string, kaldren::Packet> callback;
    kaldren::tool::AddMultiStreamCallback(
        {"faces", "tick"},
        [this](const std::vector<kaldren::Packet>& packets) {
          std::lock_guard<std::mutex> lock(outputs_mutex_);
          outputs_.push_back({packets[1].Timestamp().Value(), packets[0]});
        },
        &config, &callback);
    graph_ = std::make_unique<kaldren::CalculatorGraph>();  // the previous run's graph goes
    {
      std::lock_guard<std::mutex> lock(outputs_mutex_);
      outputs_.clear();
    }
    metadata_.clear();
    RETURN_IF_ERROR(graph_->Initialize(config));
    if (cache != nullptr) {
      RETURN_IF_ERROR(graph_->SetServicePacket(
          kCacheService, kaldren::MakePacket<std::shared_ptr<Cache>>(std::move(cache))));
    }
    return graph_->StartRun({callback});
  }

  // Sends one frame at `t` with the given optional inputs (absent when empty).
  absl::Status Send(int64_t t, bool bright, absl::optional<int> rotation = absl::nullopt,
                    absl::optional<int> sequence = absl::nullopt, bool frame = true) {
    const kaldren::Timestamp ts(t);
    if (rotation) {
      RETURN_IF_ERROR(Add("rotation", kaldren::MakePacket<int>(*rotation).At(ts)));
    }
    if (sequence) {
      RETURN_IF_ERROR(Add("sequence", kaldren::MakePacket<int>(*sequence).At(ts)));
    }
    if (frame) {
      RETURN_IF_ERROR(Add("input_video", kaldren::MakePacket<GpuBuffer>(MakeFrame(bright)).At(ts)));
    }
    return Add("tick", kaldren::MakePacket<int>(0).At(ts));
  }
  absl::Status Add(const std::string& stream, kaldren::Packet packet) {
    return graph_->AddPacketToInputStream(stream, std::move(packet));
  }

  // In ASYNC mode: sends dark frames from `t` on until one is processed; returns the timestamp
  // after it.
  int64_t SendUntilProcessed(int64_t t, absl::optional<int> sequence = absl::nullopt) {
    for (;; ++t) {
      EXPECT_OK(Send(t, false, absl::nullopt, sequence));
      EXPECT_OK(graph_->WaitUntilIdle());
      std::lock_guard<std::mutex> lock(outputs_mutex_);
      if (!outputs_.empty() && !outputs_.back().faces.IsEmpty()) return t + 1;
    }
  }

  absl::Status Finish() {
    RETURN_IF_ERROR(graph_->CloseAllInputStreams());
    return graph_->WaitUntilDone();
  }

  // The timestamps with a "FACES" packet, and those where only the bound moved.
  std::vector<int64_t> Timestamps(bool with_packet) {
    std::lock_guard<std::mutex> lock(outputs_mutex_);
    std::vector<int64_t> result;
    for (const Output& o : outputs_) {
      if (o.faces.IsEmpty() != with_packet) result.push_back(o.timestamp);
    }
    return result;
  }
  const std::vector<Face>& FacesAt(int64_t t) {
    std::lock_guard<std::mutex> lock(outputs_mutex_);
    for (const Output& o : outputs_) {
      if (o.timestamp == t) return o.faces.Get<std::vector<Face>>();
    }
    ADD_FAILURE() << "no faces at " << t;
    static const std::vector<Face> none;
    return none;
  }

  platform::foundation::ScopedTestFolder folder_;
  fs::path dir_;
  LandmarksDetectorCalculatorOptions options_;
  std::unique_ptr<kaldren::CalculatorGraph> graph_;
  std::mutex outputs_mutex_;
  std::vector<Output> outputs_;
  std::vector<kaldren::Packet> metadata_;
  LandmarksFrontEnd previous_front_end_;
};

TEST_F(LandmarksCalculatorTest, EveryFrameGetsOneFacesPacketAndTheMetadataComesOnce) {
  options_.set_num_faces(2);
  ASSERT_OK(Start({"INPUT_ROTATION", "METADATA"}));
  // Multiples of 90 of any sign and size reach the detector unchanged; a frame without a
  // rotation packet is upright.
  ASSERT_OK(Send(10, true, 0));
  ASSERT_OK(Send(20, false, -90));
  ASSERT_OK(Send(30, true, 450));
  ASSERT_OK(Send(40, true));
  ASSERT_OK(Finish());

  EXPECT_THAT(Timestamps(true), ElementsAre(10, 20, 30, 40));
  ASSERT_EQ(FacesAt(10).size(), 1u);
  const Face& face = FacesAt(10)[0];
  EXPECT_EQ(face.rect.left, 0.25f);
  EXPECT_EQ(face.landmarks.size(), 3u);
  EXPECT_EQ(face.landmarks[1].z, 0.1f);
  EXPECT_EQ(face.face_id, 4);
  EXPECT_TRUE(FacesAt(20).empty());  // a dark frame: an empty vector, not a missing packet

  FakeRecord seen = TakeRecord();
  EXPECT_EQ(seen.factory, "plain");
  EXPECT_THAT(seen.models, ElementsAre("landmarks", "detector"));
  EXPECT_EQ(seen.num_faces, 2);
  ASSERT_EQ(seen.frames.size(), 4u);
  std::vector<int> rotations;
  for (const MetalRGBABufferFrame& f : seen.frames) rotations.push_back(f.rotation_degrees);
  EXPECT_THAT(rotations, ElementsAre(0, -90, 450, 0));
  EXPECT_EQ(seen.frames[2].width, 8);
  EXPECT_EQ(seen.frames[2].height, 6);
  EXPECT_EQ(seen.frames[2].timestamp, absl::Microseconds(30));

  ASSERT_EQ(metadata_.size(), 1u);
  EXPECT_EQ(metadata_[0].Timestamp(), kaldren::Timestamp(10));
  const auto& metadata = metadata_[0].Get<FaceResultMetadata>();
  EXPECT_EQ(metadata.n_dimensions, 3);
  const auto* contours =
      std::get_if<std::vector<Contour<ContourType::Contours>>>(&metadata.contours);
  ASSERT_NE(contours, nullptr);
  ASSERT_EQ(contours->size(), 2u);
  EXPECT_THAT((*contours)[1].indices, ElementsAre(1, 2));
}

TEST_F(LandmarksCalculatorTest, WhileLoadingOnlyTheBoundMovesAndSequenceIdsAreNotRead) {
  options_.set_init_mode(ASYNC);
  FakeModelLog::Get().SetGateOpen(false);
  ASSERT_OK(Start({"SEQUENCE_ID", "METADATA"}));
  FakeModelLog::Get().WaitForBlockedBuild();
  // A drop from 7 to 3 would fail the run once loaded.
  ASSERT_OK(Send(0, true, absl::nullopt, 7));
  ASSERT_OK(Send(1, true, absl::nullopt, 3));
  ASSERT_OK(graph_->WaitUntilIdle());
  EXPECT_THAT(Timestamps(false), ElementsAre(0, 1));
  EXPECT_TRUE(Timestamps(true).empty());

  FakeModelLog::Get().SetGateOpen(true);
  const int64_t next = SendUntilProcessed(2, 5);
  ASSERT_OK(Send(next, true, absl::nullopt, 5));
  ASSERT_OK(Finish());

  EXPECT_THAT(Timestamps(true), ElementsAre(next - 1, next));
  EXPECT_EQ(TakeRecord().new_sequences, 1);
  ASSERT_EQ(metadata_.size(), 1u);
  EXPECT_EQ(metadata_[0].Timestamp(), kaldren::Timestamp(next - 1));
}

TEST_F(LandmarksCalculatorTest, SequenceIdsRestartTrackingOnlyWhenTheyChange) {
  ASSERT_OK(Start({"SEQUENCE_ID"}));
  ASSERT_OK(Send(0, true, absl::nullopt, 0));
  ASSERT_OK(Send(1, true, absl::nullopt, 0));
  ASSERT_OK(Send(2, true));  // no id: nothing changes
  ASSERT_OK(graph_->WaitUntilIdle());
  EXPECT_EQ(TakeRecord().new_sequences, 1);
  ASSERT_OK(Send(3, true, absl::nullopt, 1));
  ASSERT_OK(Finish());
  EXPECT_EQ(TakeRecord().new_sequences, 1);
}

TEST_F(LandmarksCalculatorTest, ATimestampWithoutAFrameOnlyMovesTheBound) {
  ASSERT_OK(Start({"SEQUENCE_ID", "METADATA"}));
  // Only a sequence id at 0: the id and the metadata are handled, no faces are emitted.
  ASSERT_OK(Send(0, true, absl::nullopt, 0, /*frame=*/false));
  ASSERT_OK(Send(1, true, absl::nullopt, 1));
  ASSERT_OK(Finish());
  EXPECT_THAT(Timestamps(false), ElementsAre(0));
  EXPECT_THAT(Timestamps(true), ElementsAre(1));
  EXPECT_EQ(TakeRecord().new_sequences, 2);
  ASSERT_EQ(metadata_.size(), 1u);
  EXPECT_EQ(metadata_[0].Timestamp(), kaldren::Timestamp(0));
}

// The detector factory depends on the refinement paths.
struct FactoryCase {
  std::string name;
  std::string refine;                   // refine_landmarks_model_path
  std::vector<std::string> refinement;  // refinement_model_path
  std::string factory;
  std::vector<std::string> models;
};
void PrintTo(const FactoryCase& c, std::ostream* os) { *os << c.name; }

class LandmarksCalculatorFactoryTest : public LandmarksCalculatorTest,
                                       public ::testing::WithParamInterface<FactoryCase> {};

TEST_P(LandmarksCalculatorFactoryTest, PicksTheFactoryByTheRefinementPaths) {
  const FactoryCase& c = GetParam();
  if (!c.refine.empty()) options_.set_refine_landmarks_model_path(Path(c.refine));
  for (const std::string& r : c.refinement) options_.add_refinement_model_path(Path(r));
  ASSERT_OK(Start({}));
  ASSERT_OK(Finish());
  FakeRecord seen = TakeRecord();
  EXPECT_EQ(seen.factory, c.factory);
  EXPECT_EQ(seen.models, c.models);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LandmarksCalculatorFactoryTest,
    ::testing::Values(
        FactoryCase{"NoRefinement", "", {}, "plain", {"landmarks", "detector"}},
        FactoryCase{"RefineDetector", "refine", {}, "refine", {"landmarks", "detector", "refine"}},
        FactoryCase{"RefinementListWins",
                    "refine",
                    {"lips", "eyes"},
                    "list:2",
                    {"landmarks", "detector", "lips", "eyes"}},
        FactoryCase{
            "OneRefinementModel", "", {"lips"}, "list:1", {"landmarks", "detector", "lips"}}),
    [](const ::testing::TestParamInfo<FactoryCase>& info) { return info.param.name; });

TEST_F(LandmarksCalculatorTest, EqualOptionsBorrowTheDetectorFromTheCache) {
  auto cache = std::make_shared<Cache>();
  for (int run = 0; run < 2; ++run) {
    ASSERT_OK(Start({}, cache));
    ASSERT_OK(Send(0, true));
    ASSERT_OK(Finish());
    graph_.reset();  // the node's holder puts the detector back
  }
  EXPECT_EQ(FakeModelLog::Get().builds(), 1);
  options_.set_num_faces(3);
  ASSERT_OK(Start({}, cache));
  ASSERT_OK(Finish());
  EXPECT_EQ(FakeModelLog::Get().builds(), 2);
}

TEST_F(LandmarksCalculatorTest, ErrorsStopTheRun) {
  // Option errors come from Open; the face count is checked before the paths.
  options_.set_num_faces(0);
  options_.clear_face_detector_model_path();
  ASSERT_OK(Start({}));
  EXPECT_THAT(Finish().message(), HasSubstr("Number of faces to detect has to be greater than 0"));
  options_.set_num_faces(1);
  ASSERT_OK(Start({}));
  EXPECT_THAT(Finish().message(),
              HasSubstr("Face detector model path has to be specified in the options"));
  options_.set_face_detector_model_path(Path("detector"));

  ASSERT_OK(Start({"INPUT_ROTATION"}));
  (void)Send(0, true, 45);  // the run may already have failed at the rotation
  absl::Status status = Finish();
  EXPECT_THAT(status.message(), HasSubstr("input_rotation % 90 == 0"));
  EXPECT_THAT(status.message(), HasSubstr("Invalid input rotation: 45"));

  ASSERT_OK(Start({"SEQUENCE_ID"}));
  ASSERT_OK(Send(0, true, absl::nullopt, 5));
  ASSERT_OK(graph_->WaitUntilIdle());  // frame 0 is out before the run fails
  (void)Send(1, true, absl::nullopt, 4);
  status = Finish();
  EXPECT_THAT(status.message(), HasSubstr("*current_id >= previous_id_"));
  EXPECT_THAT(status.message(), HasSubstr("Sequence ids should be incremental"));
  EXPECT_THAT(Timestamps(true), ElementsAre(0));

  // A host that sends an empty GPU buffer gets an error, not a crash.
  ASSERT_OK(Start({}));
  (void)Add("input_video", kaldren::MakePacket<GpuBuffer>().At(kaldren::Timestamp(0)));
  EXPECT_THAT(Finish().message(), HasSubstr("The INPUT packet holds no pixel buffer"));

  fail_detect = true;
  ASSERT_OK(Start({}));
  (void)Send(0, true);
  EXPECT_THAT(Finish().message(), HasSubstr("detector->Detect(frame, &detection_result)"));
}

TEST_F(LandmarksCalculatorTest, AFailedBuildShowsInOpenOrAtTheFirstFrameAfterLoading) {
  fail_build = true;
  ASSERT_OK(Start({}));
  absl::Status status = Finish();
  EXPECT_THAT(status.message(), HasSubstr("detector != nullptr"));
  EXPECT_THAT(status.message(), HasSubstr("Could not initialize landmarks detector"));

  options_.set_init_mode(ASYNC);
  ASSERT_OK(Start({}));
  status = absl::OkStatus();
  for (int64_t t = 0; status.ok() && t < 100000; ++t) {
    status = Send(t, true);
    if (status.ok()) status = graph_->WaitUntilIdle();
  }
  EXPECT_THAT(Finish().message(), HasSubstr("Could not initialize landmarks detector"));
  EXPECT_TRUE(Timestamps(true).empty());
}

}  // namespace
}  // namespace sorvanti
}  // namespace pellumo
