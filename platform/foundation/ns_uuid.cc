#include "platform/foundation/ns_uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace {

// Offsets of the four "-" in the text form.
bool IsHyphenPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void FillRandom(NSUUID::Bytes& bytes) {
  size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t n = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (n > 0) {
      filled += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (filled < bytes.size()) {
    // The kernel source is unavailable (very old kernel or seccomp): fall back to the C++
    // library's device.
    std::random_device device;
    for (auto& byte : bytes) byte = static_cast<uint8_t>(device());
  }
}

}  // namespace

std::shared_ptr<NSUUID> NSUUID::UUID() {
  Bytes bytes;
  FillRandom(bytes);
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant 1
  return std::make_shared<NSUUID>(bytes);
}

std::shared_ptr<NSUUID> NSUUID::initWithUUIDString(const std::string& text) {
  if (text.size() != 36) return nullptr;
  Bytes bytes{};
  size_t nibble = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHyphenPosition(i)) {
      if (text[i] != '-') return nullptr;
      continue;
    }
    int value = HexValue(text[i]);
    if (value < 0) return nullptr;
    bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] | (value << (nibble % 2 ? 0 : 4)));
    ++nibble;
  }
  return std::make_shared<NSUUID>(bytes);
}

std::shared_ptr<NSUUID> NSUUID::initWithUUIDBytes(const Bytes& bytes) {
  return std::make_shared<NSUUID>(bytes);
}

std::string NSUUID::UUIDString() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kDigits[bytes_[i] >> 4];
    text += kDigits[bytes_[i] & 0x0F];
  }
  return text;
}
