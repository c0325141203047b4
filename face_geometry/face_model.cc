#include "face_geometry/face_model.h"

#include "absl/strings/str_cat.h"
#include "base/status.h"
#include "flatbuffers/flatbuffers.h"

namespace quorrel {
namespace face_transform {

util::StatusOr<std::unique_ptr<FaceModelT>> LoadFaceModel(
    const std::vector<std::string>& file_contents) {
  if (file_contents.empty()) {
    return absl::InvalidArgumentError("No face-model file contents to load!");
  }
  const std::string& buffer = file_contents.front();
  flatbuffers::Verifier verifier(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size());
  if (!VerifyFaceModelBuffer(verifier)) {
    return absl::InvalidArgumentError(absl::StrCat(
        "Face-model file is not a valid face-model buffer (", buffer.size(), " bytes)!"));
  }
  auto model = std::make_unique<FaceModelT>();
  GetFaceModel(buffer.data())->UnPackTo(model.get());
  return model;
}

}  // namespace face_transform
}  // namespace quorrel
