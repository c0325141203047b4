// Writes the seed inputs of face_ml_metadata_fuzz into the folder named by its argument:
// model files with face-detector and landmark metadata (first byte 0 or a small refinement
// output count), and bare nested buffers (first byte 1).

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "face_ml/testing/metadata_builders.h"

namespace {

namespace testing = research::sorvanti::testing;

bool Write(const std::string& path, uint8_t mode, const testing::Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fputc(mode, f) != EOF;
  ok = ok && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <seed folder>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  testing::DetectorMetadataSpec v0;
  v0.v1 = false;
  v0.strides = {64, 64};
  const testing::Bytes v1_metadata = testing::DetectorMetadata({});
  const testing::Bytes v0_metadata = testing::DetectorMetadata(v0);
  const testing::Bytes refinement = testing::ContoursWithRefinementSpecs(
      {{{468, 469, 470}, true, {1, 2}, true, {{{468}, 1}, {{469}, 2, {1, 2}}, {{470}, 3, {5}}}},
       {{7, 8}}});
  const testing::Bytes lips = testing::ContoursWithRefinementSpecs({});
  bool ok = Write(dir + "/detector_v1", 0, testing::ModelFileWithMetadata(v1_metadata));
  ok = ok && Write(dir + "/detector_v0", 0, testing::ModelFileWithMetadata(v0_metadata));
  ok = ok && Write(dir + "/refinement", 6, testing::ModelFileWithMetadata(refinement));
  ok = ok && Write(dir + "/lips", 160, testing::ModelFileWithMetadata(lips));
  ok = ok && Write(dir + "/nested_v0", 1, v0_metadata);
  ok = ok && Write(dir + "/nested_refinement", 1, refinement);
  return ok ? 0 : 1;
}
