#include "graph/timestamp.h"

#include <cmath>

#include "base/logging.h"

namespace kaldren {

TimestampDiff TimestampDiff::operator+(TimestampDiff other) const {
  return TimestampDiff(value_ + other.value_);
}

TimestampDiff TimestampDiff::operator-(TimestampDiff other) const {
  return TimestampDiff(value_ - other.value_);
}

Timestamp TimestampDiff::operator+(Timestamp other) const { return other + *this; }

std::string TimestampDiff::DebugString() const { return std::to_string(Value()); }

Timestamp::Timestamp(int64_t microseconds) : Timestamp(TimestampBaseType(microseconds)) {}

Timestamp::Timestamp(TimestampBaseType microseconds) : timestamp_(microseconds) {
  CHECK(!IsSpecialValue()) << "Cannot directly create a Timestamp with a special value: "
                           << DebugString();
}

Timestamp Timestamp::FromSeconds(double seconds) {
  return Timestamp(TimestampBaseType::FromFloat(std::round(seconds * kTimestampUnitsPerSecond)));
}

TimestampDiff Timestamp::operator-(Timestamp other) const {
  CHECK(IsRangeValue() && other.IsRangeValue())
      << "This timestamp is " << DebugString() << " and other was " << other.DebugString();
  return TimestampDiff(timestamp_ - other.timestamp_);
}

Timestamp Timestamp::operator+(TimestampDiff offset) const {
  CHECK(IsRangeValue()) << "Timestamp is: " << DebugString();
  const int64_t d = offset.Value();
  if (d >= 0 && Value() >= Max().Value() - d) return Max();
  if (d <= 0 && Value() <= Min().Value() - d) return Min();
  return Timestamp(timestamp_ + offset.BaseValue());
}

Timestamp Timestamp::operator-(TimestampDiff offset) const {
  return *this + TimestampDiff(-offset.BaseValue());
}

Timestamp Timestamp::NextAllowedInStreamSlow() const {
  CHECK(IsAllowedInStream()) << "Timestamp is: " << DebugString();
  if (*this == PreStream() || *this >= Max()) return OneOverPostStream();
  return FromRaw(Value() + 1);
}

Timestamp Timestamp::PreviousAllowedInStream() const {
  if (*this <= Min() || *this == PostStream()) return Unstarted();
  if (*this > PostStream()) return Max();
  return FromRaw(Value() - 1);
}

std::string Timestamp::DebugString() const {
  if (!IsSpecialValue()) return std::to_string(Value());
  if (*this == Unset()) return "Timestamp::Unset()";
  if (*this == Unstarted()) return "Timestamp::Unstarted()";
  if (*this == PreStream()) return "Timestamp::PreStream()";
  if (*this == Min()) return "Timestamp::Min()";
  if (*this == Max()) return "Timestamp::Max()";
  if (*this == PostStream()) return "Timestamp::PostStream()";
  if (*this == OneOverPostStream()) return "Timestamp::OneOverPostStream()";
  return "Timestamp::Done()";
}

std::ostream& operator<<(std::ostream& os, Timestamp timestamp) {
  return os << timestamp.DebugString();
}

std::ostream& operator<<(std::ostream& os, TimestampDiff diff) {
  return os << diff.DebugString();
}

}  // namespace kaldren
