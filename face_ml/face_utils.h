// The face records of the graph streams and their conversion from the results of the face
// ML front ends.
//
// The landmarks calculator emits one std::vector<Face> per frame, made with GetFaces, and
// describes the landmark model's contours once with ConvertContourSets:
//
//   std::vector<Face> faces = internal::GetFaces(result);
//   ASSIGN_OR_RETURN(ContourList contours,
//                    internal::ConvertContourSets(detector.GetContoursSets()));
//
// Coordinates stay as the front end gives them: x and y as fractions of the frame width and
// height, z in the unit of x.

#ifndef FACE_ML_FACE_UTILS_H_
#define FACE_ML_FACE_UTILS_H_

#include <cstdint>
#include <variant>
#include <vector>

#include "absl/types/optional.h"
#include "base/statusor.h"
#include "face_ml/types.h"

namespace pellumo {
namespace sorvanti {

struct Landmark {
  float x = 0;  // fraction of the frame width
  float y = 0;  // fraction of the frame height
  float z = 0;  // in fractions of the frame width
};

struct Face {
  research::sorvanti::api::Bound rect;  // bounding box, normalised to the frame
  std::vector<Landmark> landmarks;      // in the landmark model's order
  float aux_value = 0;                  // 0 in every detected face; blended by interpolation
  absl::optional<int32_t> face_id;      // tracking id across frames, when the detector gives one
};

namespace ContourType {

// Dense-mesh contour kinds: contour-set type ids 1 to 15 as values 0 to 14 (value = id - 1).
enum class Contours : int32_t { kFirst = 0, kLast = 14 };

// Face-detector keypoint kinds: contour-set type ids 16 to 21 as values 0 to 5 (value = id - 16).
enum class ZelkorFace : int32_t { kFirst = 0, kLast = 5 };

}  // namespace ContourType

// One contour: its kind and the landmark indices it joins. T is ContourType::Contours,
// ContourType::ZelkorFace, or int for type ids outside both bands.
template <typename T>
struct Contour {
  T type;
  std::vector<int32_t> indices;
};

// A model's contours: none, raw type ids, dense-mesh contours or face-detector keypoints.
using ContourList = std::variant<std::nullptr_t, std::vector<Contour<int>>,
                                 std::vector<Contour<ContourType::Contours>>,
                                 std::vector<Contour<ContourType::ZelkorFace>>>;

namespace internal {

// One Face per result face, in order, with its own copy of its landmark range. A face id of
// -1 becomes an absent id.
std::vector<Face> GetFaces(const research::sorvanti::api::LandmarksDetectionResult& result);

// The reverse of GetFaces; aux_value is dropped and an absent id becomes -1.
research::sorvanti::api::LandmarksDetectionResult GetLandmarksResults(
    const std::vector<Face>& faces);

// The first set's type id picks the band for the whole list: 1 to 15 gives dense-mesh
// contours, 16 to 21 face-detector keypoints (INTERNAL when a later set lies outside that
// band), any other id raw ids. An empty list gives nullptr.
util::StatusOr<ContourList> ConvertContourSets(
    const std::vector<research::sorvanti::api::ContourSet>& contour_sets);

// Linear blends: t = 0 gives a, t = 1 gives b.
Landmark InterpolateLandmark(const Landmark& a, const Landmark& b, float t);
// INTERNAL when the faces have different numbers of landmarks. The id is a's below t = 0.5,
// else b's.
util::StatusOr<Face> InterpolateFace(const Face& face_a, const Face& face_b, float t);
// Pairs faces by id when either list holds more than one face (INTERNAL when a face that
// takes part in the pairing has no id); a face without a partner is kept from the list that
// t is closer to and dropped from the other.
util::StatusOr<std::vector<Face>> InterpolateFaces(const std::vector<Face>& faces_a,
                                                   const std::vector<Face>& faces_b, float t);

}  // namespace internal
}  // namespace sorvanti
}  // namespace pellumo

#endif  // FACE_ML_FACE_UTILS_H_
