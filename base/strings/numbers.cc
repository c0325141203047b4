#include "base/strings/numbers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace strings {
namespace {

// The largest double below DBL_MAX by one unit in the last place; for values
// beyond it the 15-digit text would round up to infinity when read back.
constexpr double kMaxShortDouble = 1.7976931348623137e308;

}  // namespace

char* DoubleToBuffer(double value, char* buffer) {
  if (std::fabs(value) <= kMaxShortDouble) {
    std::snprintf(buffer, kFastToBufferSize, "%.*g", 15, value);
    if (std::strtod(buffer, nullptr) == value) return buffer;
  }
  std::snprintf(buffer, kFastToBufferSize, "%.*g", 17, value);
  return buffer;
}

char* FloatToBuffer(float value, char* buffer) {
  std::snprintf(buffer, kFastToBufferSize, "%.*g", 6, static_cast<double>(value));
  if (std::strtof(buffer, nullptr) == value) return buffer;
  std::snprintf(buffer, kFastToBufferSize, "%.*g", 9, static_cast<double>(value));
  return buffer;
}

std::string RoundTripDtoa(double value) {
  char buffer[kFastToBufferSize];
  return DoubleToBuffer(value, buffer);
}

std::string RoundTripFtoa(float value) {
  char buffer[kFastToBufferSize];
  return FloatToBuffer(value, buffer);
}

}  // namespace strings
