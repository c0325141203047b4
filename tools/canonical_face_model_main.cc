// Writes the canonical face-model file: canonical_face_model_main <output path>.
#include <cstdio>
#include <vector>

#include "tools/canonical_face_model.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output face-model file>\n", argv[0]);
    return 2;
  }
  const std::vector<uint8_t> bytes = tools::SerializeFaceModel(*tools::MakeCanonicalFaceModel());
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !written) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
