// Test helpers that look at encoded messages from outside the protobuf runtime: protoc's own
// reading of the bytes, and the bytes as hex. Tests that include this define QM_PROTOC.
#ifndef USAGE_BASE_WIRE_TEST_UTIL_H_
#define USAGE_BASE_WIRE_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/foundation/scoped_test_folder.h"

namespace qm_wire_test {

// `protoc --decode_raw` of the bytes: field numbers and raw values only.
inline std::string DecodeRaw(const std::string& bytes) {
  platform::foundation::ScopedTestFolder folder;
  const std::string path = folder.Path("message.bin");
  std::ofstream(path, std::ios::binary) << bytes;
  std::string command = std::string(QM_PROTOC) + " --decode_raw < " + path;
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[256];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << "protoc could not read the bytes";
  return out;
}

// Upper-case hex, one space between bytes: "A0 01 03".
inline std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// The inverse of Hex, for hand-made input.
inline std::string Bytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 3) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

}  // namespace qm_wire_test

#endif  // USAGE_BASE_WIRE_TEST_UTIL_H_
