// Writing the seed files of the fuzz targets.

#ifndef FUZZ_SEED_FILE_H_
#define FUZZ_SEED_FILE_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fuzz {

// Writes `bytes` as the whole file at `path`; false when any step fails.
inline bool WriteSeedFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace fuzz

#endif  // FUZZ_SEED_FILE_H_
