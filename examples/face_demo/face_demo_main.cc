// face_demo: runs a face session over camera frames and shows what it found.
//
//   face_demo [--out DIR] [--frames N] [--resources DIR] [PNG_FOLDER]
//
// Without a folder the frames are drawn here: a bright face-like patch moving across a dark
// 640x480 room, N frames (default 90, three seconds at 30 frames per second). With a folder,
// every PNG file in it, in name order, all of one size. Each frame goes through the session
// (one at a time, none dropped); for each result the demo prints a progress line and writes
//   DIR/frames.jsonl       one JSON line per frame (see frame_report.h)
//   DIR/frame_NNNN.png     the camera image with the tracked face mesh drawn over it
// and ends with a summary. Bad input or a session that cannot run ends the program with a
// message and exit status 1 (2 for a bad command line).
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "examples/face_demo/frame_report.h"
#include "examples/face_demo/frame_source.h"
#include "examples/face_demo/image_io.h"
#include "examples/face_demo/overlay.h"
#include "face_sdk/augmented_face_session.h"
#include "face_sdk/face_mesh_graph.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/system_log.h"

namespace {

constexpr size_t kGeneratedWidth = 640;
constexpr size_t kGeneratedHeight = 480;
constexpr double kFramesPerSecond = 30;
// The camera's field of view across the image width, in degrees.
constexpr float kFieldOfView = 60;
// How long one frame may take through the graph before the demo gives up.
constexpr auto kResultTimeout = std::chrono::seconds(60);
// The face graph loads its models in the background and gives no result for a frame that
// arrives before they are ready. Until the first result the demo sends its first frame again
// at warm-up times before the first real frame's, waiting this long for each.
constexpr auto kWarmUpWait = std::chrono::milliseconds(250);
constexpr double kWarmUpStart = -1000;  // seconds; warm-up frames are one frame interval apart
// While waiting for a result the demo looks at the session's log this often.
constexpr auto kLogPoll = std::chrono::milliseconds(50);

#ifdef QM_FACE_RESOURCES_DIR
constexpr const char* kDefaultResources = QM_FACE_RESOURCES_DIR;
#else
constexpr const char* kDefaultResources = "";
#endif

struct Options {
  std::string out = "face_demo_output";
  size_t frames = 90;
  std::string resources = kDefaultResources;
  std::string folder;
  unsigned long runMode = 1;
};

void PrintUsage() {
  std::fprintf(stderr,
               "usage: face_demo [--out DIR] [--frames N] [--resources DIR] [--run-mode 1|2] "
               "[PNG_FOLDER]\n"
               "  --out DIR        where frames.jsonl and the overlay pictures go "
               "(default face_demo_output)\n"
               "  --frames N       how many frames to draw when no folder is given (default 90)\n"
               "  --resources DIR  the folder that holds OstrellFaceResources.bundle\n"
               "  --run-mode 1|2   2 refines lips, eyes and brows with extra models (default 1)\n"
               "  PNG_FOLDER       run over every PNG file of this folder instead\n");
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--run-mode") {
      const char* text = value();
      if (text == nullptr || (std::string(text) != "1" && std::string(text) != "2")) {
        std::fprintf(stderr, "face_demo: --run-mode takes 1 or 2\n");
        return std::nullopt;
      }
      options.runMode = std::string(text) == "2" ? 2 : 1;
    } else if (arg == "--out" || arg == "--resources" || arg == "--frames") {
      const char* text = value();
      if (text == nullptr || *text == '\0') {
        std::fprintf(stderr, "face_demo: %s needs a value\n", arg.c_str());
        return std::nullopt;
      }
      if (arg == "--out") {
        options.out = text;
      } else if (arg == "--resources") {
        options.resources = text;
      } else {
        char* end = nullptr;
        const long long frames = std::strtoll(text, &end, 10);
        if (*end != '\0' || frames < 1 || frames > 100000) {
          std::fprintf(stderr, "face_demo: --frames takes a number from 1 to 100000, not \"%s\"\n",
                       text);
          return std::nullopt;
        }
        options.frames = size_t(frames);
      }
    } else if (arg == "-h" || arg == "--help" || (!arg.empty() && arg[0] == '-')) {
      if (arg != "-h" && arg != "--help") {
        std::fprintf(stderr, "face_demo: unknown option %s\n", arg.c_str());
      }
      return std::nullopt;
    } else if (options.folder.empty()) {
      options.folder = arg;
    } else {
      std::fprintf(stderr, "face_demo: only one folder, please (got %s and %s)\n",
                   options.folder.c_str(), arg.c_str());
      return std::nullopt;
    }
  }
  return options;
}

// Receives the session's frames on its own queue, writes them out and lets the sender wait.
// It owns what its frames need, as it may outlive the run when the run ends early.
class Host : public QVXAugmentedFaceSessionDelegate {
 public:
  Host(std::shared_ptr<const face_demo::FrameSource> source, std::string out)
      : source_(std::move(source)), out_(std::move(out)),
        json_(out_ + "/frames.jsonl", std::ios::trunc) {}

  // False when the JSON file could not be opened or written.
  bool jsonGood() {
    std::lock_guard<std::mutex> lock(mutex_);
    json_.flush();
    return json_.good();
  }

  void didUpdateFrame(std::shared_ptr<QVXAugmentedFaceFrame> frame) override {
    if (frame->timestamp() < 0) {  // a warm-up frame: the session is ready
      std::lock_guard<std::mutex> lock(mutex_);
      ready_ = true;
      changed_.notify_all();
      return;
    }
    std::string error;
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = received_;
    }
    const std::string name = index < source_->count() ? source_->name(index) : "unexpected";
    const std::string line = face_demo::FrameJson(index, name, *frame);

    std::string summary = "no face";
    if (frame->capturedImage() != nullptr) {
      CFHolder<CVPixelBufferRef> picture = face_demo::CopyBgraPixelBuffer(frame->capturedImage());
      if (picture) {
        const size_t inside = face_demo::DrawFaceMesh(*frame, picture.get());
        if (frame->face() != nullptr) summary = DescribeFace(*frame, inside);
        const std::string path = out_ + "/" + name + ".png";
        face_demo::WritePixelBufferAsPng(picture.get(), path, &error);
      }
    } else {
      error = "the result of " + name + " came without its image";
    }

    std::lock_guard<std::mutex> lock(mutex_);
    json_ << line << '\n';
    if (frame->face() != nullptr) ++faces_;
    if (!error.empty() && error_.empty()) error_ = error;
    last_summary_ = summary;
    ++received_;
    changed_.notify_all();
  }

  // Waits until a warm-up frame's result has arrived, at most `limit`; false on timeout.
  bool WaitReady(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return ready_; });
  }
  // Waits until `count` results have arrived, at most `limit`; false on timeout.
  bool WaitFor(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return received_ >= count; });
  }
  size_t faces() {
    std::lock_guard<std::mutex> lock(mutex_);
    return faces_;
  }
  std::string error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }
  std::string lastSummary() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_summary_;
  }

 private:
  static std::string DescribeFace(const QVXAugmentedFaceFrame& frame, size_t inside) {
    const double width = double(CVPixelBufferGetWidth(frame.capturedImage()));
    const double height = double(CVPixelBufferGetHeight(frame.capturedImage()));
    const simd_float4x4 projection =
        face_demo::CameraProjection(frame.fieldOfView(), width, height);
    const simd_float4 centre = frame.face()->centerTransform().columns[3];
    double x = 0, y = 0;
    char text[128];
    if (face_demo::ProjectToImage(projection, centre, width, height, &x, &y)) {
      std::snprintf(text, sizeof(text), "face at (%.0f, %.0f), %.2f m away, %zu vertices in view",
                    x, y, -double(centre.z), inside);
    } else {
      std::snprintf(text, sizeof(text), "face behind the camera");
    }
    return text;
  }

  const std::shared_ptr<const face_demo::FrameSource> source_;
  const std::string out_;
  std::mutex mutex_;
  std::ofstream json_;
  std::condition_variable changed_;
  size_t received_ = 0;
  size_t faces_ = 0;
  bool ready_ = false;
  std::string error_;
  std::string last_summary_;
};

// The session reports failures only in the system log. While it lives, this takes the log's
// lines, passes them on to standard error and remembers the first failure among them.
class SessionLog {
 public:
  // Passes on the lines logged since the last call; returns the first failure seen so far,
  // without its "Error " prefix, or "" when there was none.
  std::string Failure() {
    const std::vector<std::string> messages = capture_.messages();
    for (; relayed_ < messages.size(); ++relayed_) {
      const std::string& line = messages[relayed_];
      std::fprintf(stderr, "%s\n", line.c_str());
      if (failure_.empty() && line.rfind("Error ", 0) == 0) failure_ = line.substr(6);
    }
    return failure_;
  }

 private:
  platform::foundation::SystemLogCapture capture_;
  size_t relayed_ = 0;
  std::string failure_;
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "face_demo: %s\n", message.c_str());
  return 1;
}

// Makes `path` and its parents as needed and checks that files can be made in it; returns ""
// or what is wrong.
std::string MakeWritableFolder(const std::string& path) {
  std::error_code code;
  std::filesystem::create_directories(path, code);
  if (code) return code.message();
  if (access(path.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  return "";
}

int Run(const Options& options) {
  std::error_code code;
  std::filesystem::create_directories(options.out, code);
  if (code || !std::filesystem::is_directory(options.out)) {
    return Fail(options.out + ": cannot make the output folder");
  }
  // The session's usage logs stay with the demo's output. The session cannot run without a
  // folder for them, so a sandbox that cannot be made ends the demo here, with the reason.
  const std::string sandbox = options.out + "/sandbox";
  if (std::filesystem::exists(sandbox, code) && !std::filesystem::is_directory(sandbox, code)) {
    return Fail(sandbox + ": is not a folder (the session keeps its usage logs there); remove it "
                "or choose another --out");
  }
  if (std::string problem = MakeWritableFolder(sandbox + "/Library/Caches"); !problem.empty()) {
    return Fail(sandbox + ": cannot hold the session's usage logs (" + problem + ")");
  }
  platform::foundation::SetSandboxRoot(sandbox);

  std::shared_ptr<face_demo::FrameSource> source;
  std::string error;
  if (options.folder.empty()) {
    source = std::make_unique<face_demo::GeneratedFrames>(kGeneratedWidth, kGeneratedHeight,
                                                          options.frames);
  } else {
    source = face_demo::PngFolderFrames::Open(options.folder, &error);
    if (source == nullptr) return Fail(error);
    // The overlay pictures are named after the frames: they would overwrite the input.
    if (std::filesystem::equivalent(options.folder, options.out, code)) {
      return Fail(options.out + ": the output folder must not be the folder of the frames");
    }
  }

  if (!options.resources.empty()) platform::foundation::SetCodeBundlePath(options.resources);
  std::shared_ptr<NSBundle> resources = QVXFaceMeshGraph::graphResourceBundle();
  if (resources == nullptr) {
    return Fail("the face resources are missing: no OstrellFaceResources.bundle in " +
                (options.resources.empty() ? std::string("the program's folder")
                                           : options.resources) +
                " (they are made by the build; or give --resources DIR)");
  }
  if (!resources->pathForResource("sorvanti_mesh_468_video", "binarypb")) {
    return Fail("the face graph configuration sorvanti_mesh_468_video.binarypb is missing from " +
                resources->bundlePath());
  }

  std::printf("face_demo: starting the face session (loading models)...\n");
  std::fflush(stdout);
  // The session reports a graph that does not start, or one that fails later (a damaged model
  // file is found while the models load), only in the log: watch it for the whole run.
  SessionLog log;
  auto failed = [&log](std::string* failure) { return !(*failure = log.Failure()).empty(); };
  std::string failure;
  std::shared_ptr<NSError> sessionError;
  std::shared_ptr<QVXAugmentedFaceSession> session = QVXAugmentedFaceSession::initWithFieldOfView(
      kFieldOfView, options.runMode, DEFAULT_MAX_FACES, &sessionError);
  if (session == nullptr) {
    log.Failure();
    return Fail("the face session could not be created: " +
                (sessionError ? sessionError->description() : std::string("no reason given")));
  }
  if (failed(&failure)) return Fail("the face graph failed: " + failure);

  auto host = std::make_shared<Host>(source, options.out);
  if (!host->jsonGood()) return Fail(options.out + "/frames.jsonl: cannot be written");
  session->setDelegate(host);
  session->setDelegateQueue(dispatch_queue_create("face_demo", DISPATCH_QUEUE_SERIAL));

  if (source->count() > 0) {
    CFHolder<CVPixelBufferRef> first = source->frame(0, &error);
    if (!first) return Fail(error);
    const auto giveUp = std::chrono::steady_clock::now() + kResultTimeout;
    for (int k = 0; !host->WaitReady(k == 0 ? std::chrono::milliseconds(0) : kWarmUpWait); ++k) {
      if (failed(&failure)) return Fail("the face graph failed: " + failure);
      if (std::chrono::steady_clock::now() > giveUp) {
        return Fail("the face session gave no result within " +
                    std::to_string(kResultTimeout.count()) + " s");
      }
      if (!session->updateWithPixelBuffer(first.get(), kWarmUpStart + k / kFramesPerSecond, 0,
                                          false)) {
        return Fail("the session refused " + source->name(0));
      }
    }
  }

  double totalMs = 0;
  size_t done = 0;
  for (size_t i = 0; i < source->count(); ++i) {
    CFHolder<CVPixelBufferRef> image = source->frame(i, &error);
    if (!image) return Fail(error);
    const auto start = std::chrono::steady_clock::now();
    if (!session->updateWithPixelBuffer(image.get(), double(i) / kFramesPerSecond, 0, false)) {
      return Fail("the session refused " + source->name(i));
    }
    const auto giveUp = start + kResultTimeout;
    while (!host->WaitFor(i + 1, kLogPoll)) {
      if (failed(&failure)) return Fail("the face graph failed: " + failure);
      if (std::chrono::steady_clock::now() > giveUp) {
        return Fail("no result for " + source->name(i) + " within " +
                    std::to_string(kResultTimeout.count()) + " s");
      }
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    totalMs += ms;
    ++done;
    if (std::string hostError = host->error(); !hostError.empty()) return Fail(hostError);
    std::printf("frame %zu/%zu %s: %s, %.1f ms\n", i + 1, source->count(),
                source->name(i).c_str(), host->lastSummary().c_str(), ms);
    std::fflush(stdout);
  }
  std::printf("face_demo: %zu frames, faces found in %zu, mean %.1f ms per frame; output in %s\n",
              done, host->faces(), done ? totalMs / double(done) : 0.0, options.out.c_str());
  return host->jsonGood() ? 0 : Fail(options.out + "/frames.jsonl: write failed");
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    PrintUsage();
    return 2;
  }
  return Run(*options);
}
