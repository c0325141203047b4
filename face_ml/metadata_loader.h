// Finds the metadata that a model file carries as a nested flat buffer: the data of the
// buffer named by the model's first metadata-buffer entry, marked by a 4-character file
// identifier ("FDMD" for face detectors, "COMD" for landmark models).
//
//   const fb::FaceDetectorMetadata* metadata =
//       LoadMetadataFromModelFile<fb::FaceDetectorMetadata>(file_bytes, "FDMD");
//   if (metadata == nullptr) ...  // no metadata, or malformed
//
// The nested buffer is verified before it is read, and a table that the readers rely on
// being complete is checked as well (see IsWellFormedMetadata), so a pointer returned here
// can be read without further presence tests of the required parts. The result points into
// the model's bytes and lives as long as they do. Every miss is a null result, not logged.

#ifndef FACE_ML_METADATA_LOADER_H_
#define FACE_ML_METADATA_LOADER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "absl/types/span.h"
#include "face_ml/contours_metadata_generated.h"
#include "face_ml/face_detector_metadata_generated.h"
#include "face_ml/model_file_generated.h"
#include "flatbuffers/flatbuffers.h"

namespace research {
namespace sorvanti {
namespace api {

// Landmark indices in metadata lie in [0, kMaxLandmarks): no model has more landmarks, and
// the bound keeps what the indices make the readers allocate small.
inline constexpr int32_t kMaxLandmarks = 1 << 16;

// Checks beyond the verifier: what the readers and decoders read without presence tests.
// Face detector: an input spec with at least one recommended size; without an output spec,
// an anchors configuration whose per-layer vectors cover every layer used and whose strides
// are positive; with a V1 output spec, anchors per cell for every stride. Both: contour
// ranges within [0, kMaxLandmarks], 2^20 range indices at most in all.
bool IsWellFormedMetadata(const fb::FaceDetectorMetadata& metadata);
bool IsWellFormedMetadata(const fb::ContoursMetadata& metadata);
// The anchors configuration part of the face-detector check.
bool IsUsableAnchorsConfig(const fb::AnchorsConfig& config);

namespace internal {

// The root table T of a nested buffer, or null when the buffer does not verify as T, its
// identifier differs from `identifier` (none compared when null), or it is not well formed.
template <typename T>
const T* ReadNestedMetadata(const uint8_t* data, size_t size, const char* identifier) {
  if (identifier != nullptr && std::strlen(identifier) != flatbuffers::kFileIdentifierLength) {
    return nullptr;
  }
  flatbuffers::Verifier verifier(data, size);
  if (!verifier.VerifyBuffer<T>(identifier)) return nullptr;
  const T* metadata = flatbuffers::GetRoot<T>(data);
  return IsWellFormedMetadata(*metadata) ? metadata : nullptr;
}

}  // namespace internal

// The nested metadata table T of `model`, a verified root of a model file: fb::ModelFile,
// or any model table with the same `buffers` and `metadata_buffer` fields.
template <typename T, typename Model>
const T* LoadMetadata(const Model* model, const char* identifier) {
  if (model == nullptr) return nullptr;
  const auto* indices = model->metadata_buffer();
  if (indices == nullptr || indices->size() == 0) return nullptr;
  const int32_t index = indices->Get(0);
  const auto* buffers = model->buffers();
  if (index < 0 || buffers == nullptr || static_cast<uint32_t>(index) >= buffers->size()) {
    return nullptr;
  }
  const auto* buffer = buffers->Get(index);
  if (buffer == nullptr || buffer->data() == nullptr) return nullptr;
  return internal::ReadNestedMetadata<T>(buffer->data()->data(), buffer->data()->size(),
                                         identifier);
}

// The model file's root after verifying the parts the lookup reads; null when malformed.
const fb::ModelFile* VerifiedModelFile(absl::Span<const uint8_t> model_file);

template <typename T>
const T* LoadMetadataFromModelFile(absl::Span<const uint8_t> model_file, const char* identifier) {
  return LoadMetadata<T>(VerifiedModelFile(model_file), identifier);
}

}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_METADATA_LOADER_H_
