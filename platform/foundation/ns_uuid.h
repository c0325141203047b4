// NSUUID: a 128-bit universally unique identifier.
//
// `UUID()` makes a random (version 4, variant 1) identifier from the kernel's random source.
// `UUIDString()` is the 36-character text form, upper-case hexadecimal digits in groups of
// 8-4-4-4-12 separated by "-", for example "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
// `initWithUUIDString` reads that form back, digits of either case, and answers null for any
// other text. Identifiers are immutable and may be shared between threads.
#ifndef PLATFORM_FOUNDATION_NS_UUID_H_
#define PLATFORM_FOUNDATION_NS_UUID_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class NSUUID {
 public:
  using Bytes = std::array<uint8_t, 16>;

  // A new random identifier.
  static std::shared_ptr<NSUUID> UUID();
  // The identifier of a text form; null when `text` is not one.
  static std::shared_ptr<NSUUID> initWithUUIDString(const std::string& text);
  static std::shared_ptr<NSUUID> initWithUUIDBytes(const Bytes& bytes);

  std::string UUIDString() const;
  const Bytes& bytes() const { return bytes_; }

  bool operator==(const NSUUID& other) const { return bytes_ == other.bytes_; }

  explicit NSUUID(const Bytes& bytes) : bytes_(bytes) {}

 private:
  Bytes bytes_;
};

#endif  // PLATFORM_FOUNDATION_NS_UUID_H_
