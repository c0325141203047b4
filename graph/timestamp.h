// Timestamps of packets and stream bounds.
//
// A `Timestamp` is a count of microseconds. Eight reserved values at the two ends of the
// 64-bit range mark the states of a stream before, around and after its data:
//
//   Unset < Unstarted < PreStream < Min <= (data) <= Max < PostStream < OneOverPostStream < Done
//
// Min and Max are themselves usable data times ("range values"). All arithmetic is
// checked: misuse of a reserved value or an integer overflow ends the process; nothing
// here returns an error status. Adding an offset to a range value saturates at Min/Max.

#ifndef QUILLMERE_GRAPH_TIMESTAMP_H_
#define QUILLMERE_GRAPH_TIMESTAMP_H_

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "graph/deps/safe_int.h"

namespace kaldren {

struct TimestampBaseType_safe_tag_ {};
using TimestampBaseType =
    intops::StrongInt<TimestampBaseType_safe_tag_, int64_t,
                      intops::SafeIntStrongIntValidator<intops::LogFatalOnError>>;

class Timestamp;

// A signed distance between two timestamps, in microseconds; the type of output offsets.
class TimestampDiff {
 public:
  TimestampDiff() = default;
  explicit TimestampDiff(int64_t value) : value_(value) {}
  explicit TimestampDiff(TimestampBaseType value) : value_(value) {}

  int64_t Value() const { return value_.value(); }
  TimestampBaseType BaseValue() const { return value_; }

  friend auto operator<=>(TimestampDiff a, TimestampDiff b) = default;

  // Checked: overflow is fatal.
  TimestampDiff operator+(TimestampDiff other) const;
  TimestampDiff operator-(TimestampDiff other) const;
  Timestamp operator+(Timestamp other) const;

  std::string DebugString() const;

 private:
  TimestampBaseType value_;
};

class Timestamp {
 public:
  static constexpr double kTimestampUnitsPerSecond = 1000000.0;

  // Unset.
  Timestamp() : timestamp_(std::numeric_limits<int64_t>::min()) {}
  // From a count of microseconds; a reserved value is fatal (use the named makers).
  explicit Timestamp(int64_t microseconds);
  explicit Timestamp(TimestampBaseType microseconds);

  static Timestamp Unset() { return FromRaw(std::numeric_limits<int64_t>::min()); }
  static Timestamp Unstarted() { return FromRaw(std::numeric_limits<int64_t>::min() + 1); }
  static Timestamp PreStream() { return FromRaw(std::numeric_limits<int64_t>::min() + 2); }
  static Timestamp Min() { return FromRaw(std::numeric_limits<int64_t>::min() + 3); }
  static Timestamp Max() { return FromRaw(std::numeric_limits<int64_t>::max() - 3); }
  static Timestamp PostStream() { return FromRaw(std::numeric_limits<int64_t>::max() - 2); }
  static Timestamp OneOverPostStream() {
    return FromRaw(std::numeric_limits<int64_t>::max() - 1);
  }
  static Timestamp Done() { return FromRaw(std::numeric_limits<int64_t>::max()); }

  // Seconds to microseconds, rounded half away from zero. Out-of-range and NaN input
  // is fatal, and so is a result that lands on a reserved value.
  static Timestamp FromSeconds(double seconds);

  int64_t Value() const { return timestamp_.value(); }

  // One of the eight reserved values (Min and Max included).
  bool IsSpecialValue() const { return *this <= Min() || *this >= Max(); }
  // Min <= t <= Max.
  bool IsRangeValue() const { return *this >= Min() && *this <= Max(); }
  // PreStream, range values and PostStream.
  bool IsAllowedInStream() const { return *this >= PreStream() && *this <= PostStream(); }

  friend auto operator<=>(Timestamp a, Timestamp b) = default;

  // Both must be range values; checked subtraction.
  TimestampDiff operator-(Timestamp other) const;
  // This must be a range value; the result saturates at Min and Max.
  Timestamp operator+(TimestampDiff offset) const;
  Timestamp operator-(TimestampDiff offset) const;
  Timestamp& operator+=(TimestampDiff offset) { return *this = *this + offset; }
  Timestamp& operator-=(TimestampDiff offset) { return *this = *this - offset; }
  Timestamp& operator++() { return *this += TimestampDiff(1); }
  Timestamp& operator--() { return *this -= TimestampDiff(1); }
  Timestamp operator++(int) {
    Timestamp old = *this;
    ++*this;
    return old;
  }
  Timestamp operator--(int) {
    Timestamp old = *this;
    --*this;
    return old;
  }

  // The smallest timestamp a stream may carry after a packet at this one.
  Timestamp NextAllowedInStream() const {
    // Every packet asks for this several times; the ordinary data time stays inline.
    if (*this >= Min() && *this < Max()) return FromRaw(Value() + 1);
    return NextAllowedInStreamSlow();
  }
  // The largest timestamp a stream may have carried before this one; never fatal.
  Timestamp PreviousAllowedInStream() const;

  std::string DebugString() const;

 private:
  // NextAllowedInStream for PreStream, Max, PostStream and the values no stream carries.
  Timestamp NextAllowedInStreamSlow() const;

  static Timestamp FromRaw(int64_t value) {
    Timestamp t;
    t.timestamp_ = TimestampBaseType(value);
    return t;
  }

  TimestampBaseType timestamp_;
};

std::ostream& operator<<(std::ostream& os, Timestamp timestamp);
std::ostream& operator<<(std::ostream& os, TimestampDiff diff);

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_TIMESTAMP_H_
