// The interfaces through which the face ML pieces meet: the camera frame record of the front
// ends, detectors over a frame type, the landmark runner and region source that the landmarks
// pipeline drives, and the options records of the two front ends.

#ifndef FACE_ML_INTERFACES_H_
#define FACE_ML_INTERFACES_H_

#include <cstdint>
#include <vector>

#include "absl/time/time.h"
#include "absl/types/optional.h"
#include "face_ml/types.h"
#include "platform/corevideo/pixel_buffer.h"

namespace research {
namespace sorvanti {
namespace api {

// One camera frame as the front ends take it. Copied by value; the record does not retain the
// pixel buffer (32-bit BGRA in the face SDK), which the caller keeps alive while `Detect` runs.
struct MetalRGBABufferFrame {
  int32_t height = 0;
  int32_t width = 0;
  CVPixelBufferRef pixel_buffer = nullptr;
  int32_t rotation_degrees = 0;  // rotation to apply for recognition, a multiple of 90
  absl::optional<absl::Duration> timestamp;  // frame time; empty switches the time rules off
};

// Which landmark filter to use.
enum LandmarksFilterType : int32_t {
  DEFAULT_FILTER = 0,  // the model's default
  NO_FILTER = 1,
  RELATIVE_VELOCITY_FILTER = 2,
};

// When the landmarks pipeline runs the face detector.
enum FaceDetectionStrategy : int32_t {
  SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS = 0,
  RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS = 1,
  SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS = 2,
};

// Options of the landmarks front end.
struct LandmarksOptions {
  int32_t num_faces = 1;  // faces to detect and track
  LandmarksFilterType filter_type = DEFAULT_FILTER;
  FaceDetectionStrategy face_detection_strategy = SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS;
  bool output_face_ids = false;  // false: every face of the result has id -1
  int32_t extra_landmarks_iterations = 0;  // extra landmark-model passes per face and frame
};

// Options of the face detector.
struct ZelkorFaceOptions {
  bool enable_tracking = false;  // keep a face tracker across frames
  int32_t max_num_faces = 1;     // the most faces reported
  LandmarksFilterType filter_type = DEFAULT_FILTER;  // RELATIVE_VELOCITY_FILTER also tracks
};

// A detector of faces with landmarks over frames of type Frame.
template <typename Frame>
class LandmarksDetector {
 public:
  virtual ~LandmarksDetector() = default;
  // Fills `result` for `frame`; false on failure (the reason is logged).
  virtual bool Detect(const Frame& frame, LandmarksDetectionResult* result) = 0;
  virtual std::vector<ContourSet> GetContoursSets() const = 0;
  // The number of meaningful coordinates per landmark, 2 or 3.
  virtual int GetNDimensions() const = 0;
  // Forgets everything carried over from earlier frames.
  virtual void StartNewSequence() = 0;
};

// A detector of object regions over frames of type Frame.
template <typename Frame>
class ObjectDetector {
 public:
  virtual ~ObjectDetector() = default;
  // One entry per object found; false on failure.
  virtual bool Detect(const Frame& frame, std::vector<utils::RectAndBound>* objects) = 0;
};

namespace internal {

// Where the landmarks pipeline gets new face regions from: the face detector run on the
// current frame.
class LandmarksROISource {
 public:
  virtual ~LandmarksROISource() = default;
  // One entry per face found on the current frame (crop in frame pixels, normalised bound,
  // frame time); false on failure.
  virtual bool GetROIs(std::vector<utils::RectAndBound>* rois) const = 0;
};

// Runs a landmark model on rotated crops of the current frame.
class LandmarksRunner {
 public:
  virtual ~LandmarksRunner() = default;
  // Replaces `landmarks` by the landmarks found in the crop `roi`, normalised to the frame,
  // and sets `has_face` (false when the model says the crop holds no face).
  virtual bool Run(utils::RotatedRect roi, std::vector<Landmark>* landmarks, bool* has_face) = 0;
  // Derives the face's bound and the crop for the next run from its landmarks.
  virtual bool GetBound(const std::vector<Landmark>& landmarks, Bound* bound,
                        utils::RotatedRect* roi) const = 0;
};

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_INTERFACES_H_
