// Gives detected faces ids that persist from frame to frame, by matching each face with the
// tracks of earlier frames on overlap and tilt.

#ifndef FACE_ML_FACE_TRACKER_H_
#define FACE_ML_FACE_TRACKER_H_

#include <memory>

#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

class FaceTracker {
 public:
  // Writes the faces' ids into `result`, whose faces must carry 6 key points each (false,
  // with the tracker unchanged, otherwise). A result without faces changes nothing.
  virtual bool Track(int width, int height, LandmarksDetectionResult* result) = 0;
  // Forgets every track; ids start again at 0.
  virtual void Reset() = 0;
  virtual ~FaceTracker() = default;
};

// A tracker whose tracks survive 64 consecutive calls without a matching face.
std::unique_ptr<FaceTracker> MakeSimpleZelkorFaceTracker();

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_FACE_TRACKER_H_
