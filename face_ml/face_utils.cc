#include "face_ml/face_utils.h"

#include <string>
#include <utility>

#include "absl/strings/str_cat.h"
#include "base/logging.h"
#include "base/status_macros.h"

namespace pellumo {
namespace sorvanti {
namespace internal {

namespace api = ::research::sorvanti::api;

namespace {

float Blend(float a, float b, float t) { return a * (1 - t) + b * t; }

// Converts every set into Contour<T> with type id - first_id; INTERNAL names T's `kind` for
// the first set outside [first_id, first_id + T::kLast].
template <typename T>
util::StatusOr<ContourList> ConvertBand(const std::vector<api::ContourSet>& sets, int first_id,
                                        const char* kind) {
  const int last_id = first_id + static_cast<int>(T::kLast);
  std::vector<Contour<T>> contours;
  contours.reserve(sets.size());
  for (const api::ContourSet& set : sets) {
    if (set.type < first_id || set.type > last_id) {
      return absl::InternalError(absl::StrCat("Cannot convert [", set.type, "] to one of ", kind));
    }
    contours.push_back({static_cast<T>(set.type - first_id), set.indices});
  }
  return ContourList(std::move(contours));
}

}  // namespace

std::vector<Face> GetFaces(const api::LandmarksDetectionResult& result) {
  std::vector<Face> faces;
  faces.reserve(result.faces.size());
  for (const api::LandmarksDetectionResult::Face& in : result.faces) {
    CHECK(0 <= in.landmarks_begin && in.landmarks_begin <= in.landmarks_end &&
          static_cast<size_t>(in.landmarks_end) <= result.landmarks.size());
    Face face;
    face.rect = in.rect;
    face.landmarks.reserve(in.landmarks_end - in.landmarks_begin);
    for (int32_t i = in.landmarks_begin; i < in.landmarks_end; ++i) {
      const api::Landmark& l = result.landmarks[i];
      face.landmarks.push_back({l.x, l.y, l.z});
    }
    face.aux_value = 0;
    if (in.face_id != -1) face.face_id = in.face_id;
    faces.push_back(std::move(face));
  }
  return faces;
}

api::LandmarksDetectionResult GetLandmarksResults(const std::vector<Face>& faces) {
  api::LandmarksDetectionResult result;
  result.faces.reserve(faces.size());
  for (const Face& face : faces) {
    api::LandmarksDetectionResult::Face out;
    out.rect = face.rect;
    out.landmarks_begin = static_cast<int32_t>(result.landmarks.size());
    for (const Landmark& l : face.landmarks) result.landmarks.push_back({l.x, l.y, l.z});
    out.landmarks_end = static_cast<int32_t>(result.landmarks.size());
    out.face_id = face.face_id.value_or(-1);
    result.faces.push_back(out);
  }
  return result;
}

util::StatusOr<ContourList> ConvertContourSets(const std::vector<api::ContourSet>& contour_sets) {
  if (contour_sets.empty()) return ContourList(nullptr);
  const int first = contour_sets.front().type;
  if (first >= 1 && first <= 15) {
    return ConvertBand<ContourType::Contours>(contour_sets, 1, "ContourType::Contours");
  }
  if (first >= 16 && first <= 21) {
    return ConvertBand<ContourType::ZelkorFace>(contour_sets, 16, "ContourType::ZelkorFace");
  }
  std::vector<Contour<int>> contours;
  contours.reserve(contour_sets.size());
  for (const api::ContourSet& set : contour_sets) contours.push_back({set.type, set.indices});
  return ContourList(std::move(contours));
}

Landmark InterpolateLandmark(const Landmark& a, const Landmark& b, float t) {
  return {Blend(a.x, b.x, t), Blend(a.y, b.y, t), Blend(a.z, b.z, t)};
}

util::StatusOr<Face> InterpolateFace(const Face& face_a, const Face& face_b, float t) {
  const size_t landmarks_size = face_a.landmarks.size();
  RET_CHECK_EQ(landmarks_size, face_b.landmarks.size()) << "Not same number of landmarks";
  Face face;
  face.landmarks.reserve(landmarks_size);
  for (size_t i = 0; i < landmarks_size; ++i) {
    face.landmarks.push_back(InterpolateLandmark(face_a.landmarks[i], face_b.landmarks[i], t));
  }
  face.rect.left = Blend(face_a.rect.left, face_b.rect.left, t);
  face.rect.top = Blend(face_a.rect.top, face_b.rect.top, t);
  face.rect.right = Blend(face_a.rect.right, face_b.rect.right, t);
  face.rect.bottom = Blend(face_a.rect.bottom, face_b.rect.bottom, t);
  face.aux_value = Blend(face_a.aux_value, face_b.aux_value, t);
  face.face_id = t < 0.5f ? face_a.face_id : face_b.face_id;
  return face;
}

util::StatusOr<std::vector<Face>> InterpolateFaces(const std::vector<Face>& faces_a,
                                                   const std::vector<Face>& faces_b, float t) {
  const size_t a_size = faces_a.size();
  const size_t b_size = faces_b.size();
  if (a_size == 1 && b_size == 1) {
    ASSIGN_OR_RETURN(Face face, InterpolateFace(faces_a[0], faces_b[0], t));
    return std::vector<Face>{std::move(face)};
  }
  if (a_size == 0 && b_size == 1) return t > 0.999999f ? faces_b : faces_a;
  if (a_size == 1 && b_size == 0) return t < 0.000001f ? faces_a : faces_b;
  if (a_size == 0 && b_size == 0) return std::vector<Face>();

  const bool a_leads = t < 0.5f;
  const std::vector<Face>& leading = a_leads ? faces_a : faces_b;
  const std::vector<Face>& other = a_leads ? faces_b : faces_a;
  const absl::Status missing_id =
      absl::InternalError("Cannot interpolate multiple faces without face_id");
  std::vector<Face> result;
  result.reserve(leading.size());
  for (const Face& face : leading) {
    if (!face.face_id.has_value()) return missing_id;
    const Face* partner = nullptr;
    for (const Face& candidate : other) {
      if (!candidate.face_id.has_value()) return missing_id;
      if (*candidate.face_id == *face.face_id) {
        partner = &candidate;
        break;
      }
    }
    if (partner == nullptr) {
      result.push_back(face);
      continue;
    }
    const Face& from_a = a_leads ? face : *partner;
    const Face& from_b = a_leads ? *partner : face;
    ASSIGN_OR_RETURN(Face blended, InterpolateFace(from_a, from_b, t));
    result.push_back(std::move(blended));
  }
  return result;
}

}  // namespace internal
}  // namespace sorvanti
}  // namespace pellumo
