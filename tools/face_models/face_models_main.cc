// Writes the synthetic face models:
//   face_models_main <face resources folder> <refinement resources folder> <benchmark folder>
// The folders must exist. Every run writes the same bytes.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/face_models/face_detector_model.h"
#include "tools/face_models/landmark_models.h"
#include "tools/face_models/model_files.h"

namespace {

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::perror(path.c_str());
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !written) {
    std::perror(path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tools::face_models;
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: %s <face resources folder> <refinement resources folder> "
                 "<benchmark folder>\n",
                 argv[0]);
    return 2;
  }
  const std::string face = std::string(argv[1]) + "/";
  const std::string refinement = std::string(argv[2]) + "/";
  const std::string bench = std::string(argv[3]) + "/";
  const bool ok = Write(face + kFaceDetectorFile, MakeFaceDetectorModel(false)) &&
                  Write(face + kFaceMeshFile, MakeFaceMeshModel(false)) &&
                  Write(refinement + kLipsFile, MakeLipsModel()) &&
                  Write(refinement + kEyesFile, MakeEyesModel()) &&
                  Write(bench + kRealisticFaceDetectorFile, MakeFaceDetectorModel(true)) &&
                  Write(bench + kRealisticFaceMeshFile, MakeFaceMeshModel(true));
  return ok ? 0 : 1;
}
