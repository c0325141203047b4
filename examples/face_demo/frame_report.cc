#include "examples/face_demo/frame_report.h"

#include <cmath>
#include <cstdio>

namespace face_demo {

namespace {

void AppendNumber(double value, std::string* out) {
  if (!std::isfinite(value)) {
    *out += "null";
    return;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.9g", value);
  *out += text;
}

void AppendMatrix(const simd_float4x4& m, std::string* out) {
  *out += '[';
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      if (c + r > 0) *out += ',';
      AppendNumber(m.columns[c][r], out);
    }
  }
  *out += ']';
}

// The name as a JSON string: quotes, backslashes and control characters escaped.
void AppendString(const std::string& text, std::string* out) {
  *out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += char(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      *out += escaped;
    } else {
      *out += char(c);
    }
  }
  *out += '"';
}

}  // namespace

std::string FrameJson(size_t index, const std::string& name, const QVXAugmentedFaceFrame& frame) {
  std::string out = "{\"frame\":" + std::to_string(index) + ",\"name\":";
  AppendString(name, &out);
  out += ",\"timestamp\":";
  AppendNumber(frame.timestamp(), &out);
  std::shared_ptr<QVXAugmentedFace> face = frame.face();
  out += ",\"face\":";
  out += face ? "true" : "false";
  out += ",\"center\":";
  if (face) {
    AppendMatrix(face->centerTransform(), &out);
    out += ",\"regions\":{\"nose_tip\":";
    AppendMatrix(face->transformForRegion(0), &out);
    out += ",\"forehead_left\":";
    AppendMatrix(face->transformForRegion(1), &out);
    out += ",\"forehead_right\":";
    AppendMatrix(face->transformForRegion(2), &out);
    out += '}';
  } else {
    out += "null,\"regions\":null";
  }
  out += ",\"vertices\":";
  out += std::to_string(face && face->mesh() ? face->mesh()->vertexCount() : 0);
  out += '}';
  return out;
}

}  // namespace face_demo
