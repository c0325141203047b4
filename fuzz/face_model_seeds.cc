// Writes the generated face models (detector, face mesh, lips, eyes) into the folder given as
// the argument: the seeds of the fuzz targets that compile and run model files.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/seed_file.h"
#include "tools/face_models/face_detector_model.h"
#include "tools/face_models/landmark_models.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  namespace models = tools::face_models;
  const std::string dir = argv[1];
  return fuzz::WriteSeedFile(dir + "/face_detector", models::MakeFaceDetectorModel(false)) &&
                 fuzz::WriteSeedFile(dir + "/face_mesh", models::MakeFaceMeshModel(false)) &&
                 fuzz::WriteSeedFile(dir + "/lips", models::MakeLipsModel()) &&
                 fuzz::WriteSeedFile(dir + "/eyes", models::MakeEyesModel())
             ? 0
             : 1;
}
