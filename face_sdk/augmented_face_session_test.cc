#include "face_sdk/augmented_face_session.h"

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/device.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_date.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/foundation/system_log.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A driver without a graph: it records what the session hands it.
class FakeFaceMeshGraph : public QVXFaceMeshGraph {
 public:
  explicit FakeFaceMeshGraph(std::function<void()> onUpdate = nullptr)
      : QVXFaceMeshGraph(60, nullptr), onUpdate_(std::move(onUpdate)) {}

  bool updateWithPixelBuffer(CVPixelBufferRef, double timestamp, unsigned long rotation,
                             bool canDropFrame) override {
    if (onUpdate_) onUpdate_();
    rotations.push_back(rotation);
    timestamps.push_back(timestamp);
    canDrop.push_back(canDropFrame);
    return result;
  }

  bool result = true;
  std::vector<unsigned long> rotations;
  std::vector<double> timestamps;
  std::vector<bool> canDrop;

 private:
  std::function<void()> onUpdate_;
};

class RecordingDelegate : public QVXAugmentedFaceSessionDelegate {
 public:
  void didUpdateFrame(std::shared_ptr<QVXAugmentedFaceFrame> frame) override {
    frame_ = frame;
    onMainThread_ = IsMainThread();
    const char* label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
    label_ = label ? label : "";
    calls_.fetch_add(1);
  }
  int calls() const { return calls_.load(); }

  std::shared_ptr<QVXAugmentedFaceFrame> frame_;
  bool onMainThread_ = false;
  std::string label_;

 private:
  std::atomic<int> calls_{0};
};

class AugmentedFaceSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    platform::foundation::SetWallClock([this] { return now_.load(); });
  }
  void TearDown() override {
    platform::foundation::SetWallClock(nullptr);
    platform::foundation::SetSandboxRoot("");
    platform::foundation::ResetDevice();
  }

  std::shared_ptr<QVXAugmentedFaceSession> MakeSession() {
    driver_ = std::make_shared<FakeFaceMeshGraph>();
    return QVXAugmentedFaceSession::initWithFaceMeshGraph(
        driver_, QVXLogger::fakeThirdPartyLoggerWithPseudonymousID());
  }

  static std::shared_ptr<QVXAugmentedFaceFrame> Frame(bool withFace) {
    return QVXAugmentedFaceFrame::initWithFace(
        withFace ? std::make_shared<QVXAugmentedFace>() : nullptr, nullptr, 0, 60);
  }

  static std::shared_ptr<JQXFakeTrassenLogger> Library(const QVXAugmentedFaceSession& session) {
    return std::dynamic_pointer_cast<JQXFakeTrassenLogger>(session.logger()->logger());
  }

  // The usage events the session logged, in order.
  static std::vector<QVXLOGOstrellLog> Events(const QVXAugmentedFaceSession& session) {
    std::vector<QVXLOGOstrellLog> events;
    for (const auto& event : Library(session)->logEvents()) {
      events.push_back(*std::static_pointer_cast<const QVXLOGOstrellLog>(event->extension()));
    }
    return events;
  }
  static std::vector<QVXLOGOstrellLog::OstrellEventCase> Kinds(
      const QVXAugmentedFaceSession& session) {
    std::vector<QVXLOGOstrellLog::OstrellEventCase> kinds;
    for (const QVXLOGOstrellLog& event : Events(session)) {
      kinds.push_back(event.ostrell_event_case());
    }
    return kinds;
  }

  platform::foundation::ScopedTestFolder folder_;
  std::atomic<double> now_{1000.0};
  std::shared_ptr<FakeFaceMeshGraph> driver_;
};

TEST_F(AugmentedFaceSessionTest, SnapsRotationsAndLetsTheShortFormDrop) {
  auto session = MakeSession();
  const unsigned long given[] = {0, 44, 45, 134, 135, 224, 225, 314, 315, 359, 405, 720};
  const unsigned long snapped[] = {0, 0, 90, 90, 180, 180, 270, 270, 0, 0, 90, 0};
  for (unsigned long rotation : given) {
    EXPECT_TRUE(session->updateWithPixelBuffer(nullptr, 0.5, rotation));
  }
  EXPECT_THAT(driver_->rotations, ::testing::ElementsAreArray(snapped));
  EXPECT_EQ(driver_->canDrop.front(), true);
  EXPECT_EQ(driver_->timestamps.front(), 0.5);

  driver_->result = false;
  EXPECT_FALSE(session->updateWithPixelBuffer(nullptr, 0.6, 0, false));
  EXPECT_EQ(driver_->canDrop.back(), false);
}

TEST_F(AugmentedFaceSessionTest, StartIsLoggedOnceBeforeTheFirstFrameReachesTheDriver) {
  std::shared_ptr<QVXAugmentedFaceSession> session;
  std::vector<size_t> eventsSeenByDriver;
  driver_ = std::make_shared<FakeFaceMeshGraph>(
      [&] { eventsSeenByDriver.push_back(Library(*session)->logEvents().size()); });
  session = QVXAugmentedFaceSession::initWithFaceMeshGraph(
      driver_, QVXLogger::fakeThirdPartyLoggerWithPseudonymousID());
  now_ = 1700000000.2506;

  session->updateWithPixelBuffer(nullptr, 0, 0);
  now_ = 1700000005.0;
  session->updateWithPixelBuffer(nullptr, 1, 0);

  EXPECT_THAT(eventsSeenByDriver, ElementsAre(1, 1));
  std::vector<QVXLOGOstrellLog> events = Events(*session);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].facemesh_initialized().session_start_time_ms(), 1700000000250);
  EXPECT_EQ(events[0].facemesh_initialized().initial_model(),
            QVXLOGOstrellLogEnum::FACEMESH_MODEL_TYPE_LITE);
  EXPECT_EQ(events[0].facemesh_initialized().duration_since_sos_ms(), 0);
}

TEST_F(AugmentedFaceSessionTest, CreationFailsOnlyBelowTheMinimumSystemVersion) {
  // No face resources here: the graph cannot start, which is logged and is no creation error.
  platform::foundation::SetCodeBundlePath(folder_.Path(""));
  {
    platform::foundation::SystemLogCapture capture;
    std::shared_ptr<NSError> error;
    auto session = QVXAugmentedFaceSession::initWithFieldOfView(60, &error);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(session->logger()->loggerIDType(), QVXLogger::kLoggerIDTypePseudonymous);
    EXPECT_EQ(session->faceMeshGraph()->fieldOfView(), 60);
    EXPECT_THAT(capture.messages(), Contains(HasSubstr("Error starting: ")));
    // The first creation set up usage logging, which made the SDK's log folder.
    EXPECT_TRUE(std::filesystem::is_directory(QVXLogger::logDirectory()->path()));
  }
  platform::foundation::SetCodeBundlePath("");

  platform::foundation::DeviceSettings device = platform::foundation::CurrentDevice();
  device.systemVersion = "10.3.3";
  platform::foundation::SetDevice(device);
  std::shared_ptr<NSError> error;
  EXPECT_EQ(QVXAugmentedFaceSession::initWithFieldOfView(60, &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), "QVXAugmentedFaceSession");
  EXPECT_EQ(error->code(), -1);
  EXPECT_TRUE(error->userInfo().empty());
  // No out-parameter: still refused, nothing written.
  EXPECT_EQ(QVXAugmentedFaceSession::initWithFieldOfView(60, 2, 3, nullptr), nullptr);
}

TEST_F(AugmentedFaceSessionTest, FramesReachTheDelegateOnItsQueueOrOnMain) {
  auto session = MakeSession();
  auto delegate = std::make_shared<RecordingDelegate>();
  session->setDelegate(delegate);

  // No queue: the main queue, run here on the main thread.
  auto first = Frame(true);
  std::thread([&] { session->didOutputFace(first); }).join();
  EXPECT_EQ(session->currentFrame(), first);
  EXPECT_EQ(delegate->calls(), 0);
  platform::dispatch::RunUntilIdle();
  ASSERT_EQ(delegate->calls(), 1);
  EXPECT_TRUE(delegate->onMainThread_);
  EXPECT_EQ(delegate->frame_, first);

  session->setDelegateQueue(dispatch_queue_create("frames", DISPATCH_QUEUE_SERIAL));
  auto second = Frame(false);
  std::thread([&] { session->didOutputFace(second); }).join();
  dispatch_sync(session->delegateQueue(), [] {});
  ASSERT_EQ(delegate->calls(), 2);
  EXPECT_FALSE(delegate->onMainThread_);
  EXPECT_EQ(delegate->label_, "frames");
  EXPECT_EQ(delegate->frame_, second);

  // The delegate is weak: once it is gone frames go nowhere.
  delegate.reset();
  session->didOutputFace(Frame(true));
  EXPECT_NE(session->currentFrame(), nullptr);
}

TEST_F(AugmentedFaceSessionTest, FacePresenceChangesAreLogged) {
  auto session = MakeSession();
  session->updateWithPixelBuffer(nullptr, 0, 0);
  for (bool face : {false, true, true, false, true}) {
    now_ = now_ + 0.25;
    session->didOutputFace(Frame(face));
  }
  EXPECT_THAT(Kinds(*session), ElementsAre(QVXLOGOstrellLog::kFacemeshInitialized,
                                           QVXLOGOstrellLog::kFacemeshFacesDetected,
                                           QVXLOGOstrellLog::kFacemeshFacesLost,
                                           QVXLOGOstrellLog::kFacemeshFacesDetected));
  std::vector<QVXLOGOstrellLog> events = Events(*session);
  EXPECT_EQ(events[1].facemesh_faces_detected().duration_since_sos_ms(), 500);
  EXPECT_EQ(events[1].facemesh_faces_detected().num_faces_detected(), 1);
  EXPECT_EQ(events[2].facemesh_faces_lost().duration_since_sos_ms(), 1000);
  EXPECT_EQ(events[3].facemesh_faces_detected().duration_since_sos_ms(), 1250);
}

TEST_F(AugmentedFaceSessionTest, FrameRateChangesOfFiveOrMoreAreLogged) {
  auto session = MakeSession();
  session->updateWithPixelBuffer(nullptr, 0, 0);
  std::vector<int32_t> logged;
  size_t seen = 0;
  // Outputs `count` times, `interval` seconds apart; collects the rates logged meanwhile.
  auto outputs = [&](int count, double interval) {
    for (int i = 0; i < count; ++i) {
      now_ = now_ + interval;
      session->didOutputFace(Frame(false));
    }
    std::vector<QVXLOGOstrellLog> events = Events(*session);
    for (; seen < events.size(); ++seen) {
      if (events[seen].has_facemesh_framerate_change()) {
        logged.push_back(events[seen].facemesh_framerate_change().new_framerate());
      }
    }
  };

  outputs(44, 1.0 / 32);
  EXPECT_TRUE(logged.empty()) << "no estimate before the 45th output";
  outputs(1, 1.0 / 32);
  EXPECT_THAT(logged, ElementsAre(32));
  outputs(60, 1.0 / 36.5);  // settles at 36: 4 away, not logged
  EXPECT_THAT(logged, ElementsAre(32));
  outputs(60, 1.0 / 37.5);  // reaches 37: logged
  EXPECT_THAT(logged, ElementsAre(32, 37));
  outputs(60, 1.0 / 40.5);  // 40 is 3 away from 37, the value now compared against
  EXPECT_THAT(logged, ElementsAre(32, 37));
  outputs(60, 1.0 / 30.5);  // falls through 32: 5 below 37
  EXPECT_THAT(logged, ElementsAre(32, 37, 32));
}

}  // namespace
