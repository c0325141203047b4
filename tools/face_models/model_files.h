// The files the face-model generator writes, by folder. The resource bundles are folders in
// the build tree ("OstrellFaceResources.bundle", "OstrellFaceRefinementResources.bundle");
// the realistic-size variants, for benchmarks only, stay beside the generator.

#ifndef TOOLS_FACE_MODELS_MODEL_FILES_H_
#define TOOLS_FACE_MODELS_MODEL_FILES_H_

namespace tools {
namespace face_models {

// In "OstrellFaceResources.bundle".
inline constexpr char kFaceDetectorFile[] = "face_detector.tflite";
inline constexpr char kFaceMeshFile[] = "face_landmarks.tflite";
// In "OstrellFaceRefinementResources.bundle".
inline constexpr char kLipsFile[] = "facelips-full-2019_01_26-v0.f16.tflite";
inline constexpr char kEyesFile[] = "faceeyenbrow-full-2019_02_14-v0.f16.tflite";
// Benchmark variants.
inline constexpr char kRealisticFaceDetectorFile[] = "face_detector_realistic.tflite";
inline constexpr char kRealisticFaceMeshFile[] = "face_landmarks_realistic.tflite";

}  // namespace face_models
}  // namespace tools

#endif  // TOOLS_FACE_MODELS_MODEL_FILES_H_
