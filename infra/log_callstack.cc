#include "infra/log_callstack.h"

#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Keeps a call in front of it from becoming a tail call, so that the calling frame stays on the
// stack while the capture below it runs and the frame counts hold.
inline void KeepFrame() { asm volatile("" ::: "memory"); }

constexpr int kFirstRoom = 128;

// The index of the capturing function's own frame in a capture it made. Normally 0, but a
// wrapper of backtrace (a sanitizer's interceptor) adds frames of its own in front; the frame
// after the capturing one holds `returnAddress`, the address the capturing function returns to.
uint64_t OwnFrameIndex(void* const* addresses, int captured, void* returnAddress) {
  for (int i = 1; i < captured && i <= 4; ++i) {
    if (addresses[i] == returnAddress) return static_cast<uint64_t>(i - 1);
  }
  return 0;
}

}  // namespace

__attribute__((noinline)) std::shared_ptr<ZRBLogSymbolCallstack>
ZRBLogSymbolCallstack::symbolCallstackIgnoringFrameCount(uint64_t count) {
  // Frame 0 is this operation.
  std::vector<void*> addresses(kFirstRoom);
  int captured = 0;
  for (;;) {
    captured = backtrace(addresses.data(), static_cast<int>(addresses.size()));
    if (static_cast<size_t>(captured) < addresses.size()) break;
    addresses.resize(addresses.size() * 2);
  }
  uint64_t own = OwnFrameIndex(addresses.data(), captured, __builtin_return_address(0));
  if (count >= static_cast<uint64_t>(captured) - own) return nullptr;
  std::vector<std::string> symbols;
  if (char** texts = backtrace_symbols(addresses.data(), captured)) {
    for (uint64_t i = own + count + 1; i < static_cast<uint64_t>(captured); ++i) {
      symbols.emplace_back(texts[i]);
    }
    std::free(texts);
  }
  auto result = initWithSymbols(std::move(symbols));
  KeepFrame();
  return result;
}

std::shared_ptr<ZRBLogSymbolCallstack> ZRBLogSymbolCallstack::initWithSymbols(
    std::vector<std::string> symbols) {
  return std::make_shared<ZRBLogSymbolCallstack>(std::move(symbols));
}

bool ZRBLogSymbolCallstack::isEqual(const ZRBLogCallstack* other) const {
  if (other == this) return true;
  auto* symbols = dynamic_cast<const ZRBLogSymbolCallstack*>(other);
  return symbols != nullptr && symbols->symbols_ == symbols_;
}

uint64_t ZRBLogSymbolCallstack::hash() const {
  uint64_t hash = symbols_.size();
  for (const std::string& symbol : symbols_) hash = hash * 31 + std::hash<std::string>{}(symbol);
  return hash;
}

std::string ZRBLogSymbolCallstack::description() const {
  std::string text = "(";
  for (size_t i = 0; i < symbols_.size(); ++i) {
    text += (i == 0 ? "\n    " : ",\n    ") + symbols_[i];
  }
  return text + "\n)";
}

__attribute__((noinline)) std::shared_ptr<ZRBLogAddressCallstack>
ZRBLogAddressCallstack::addressCallstackIgnoringFrameCount(uint64_t count) {
  // A count this large would wrap around and keep frames that were asked to be dropped.
  if (count == UINT64_MAX) return nullptr;
  auto result = initWithAddressesIgnoringFrameCount(count + 1);
  KeepFrame();
  return result;
}

__attribute__((noinline)) std::shared_ptr<ZRBLogAddressCallstack>
ZRBLogAddressCallstack::initWithAddressesIgnoringFrameCount(uint64_t count) {
  // Frame 0 is this initializer; the room doubles until a capture leaves some of it unused.
  int room = kFirstRoom;
  std::unique_ptr<void*[]> buffer;
  int captured = 0;
  for (;;) {
    buffer.reset(new (std::nothrow) void*[static_cast<size_t>(room)]);
    if (buffer == nullptr) return nullptr;
    captured = backtrace(buffer.get(), room);
    if (captured < room) break;
    if (room > (1 << 24)) return nullptr;
    room *= 2;
  }
  uint64_t own = OwnFrameIndex(buffer.get(), captured, __builtin_return_address(0));
  uint64_t after_own = static_cast<uint64_t>(captured) - own;
  if (count >= after_own || count + 1 >= after_own) return nullptr;
  auto result =
      std::make_shared<ZRBLogAddressCallstack>(std::move(buffer), captured, own + count + 1);
  KeepFrame();
  return result;
}

ZRBLogAddressCallstack::ZRBLogAddressCallstack(std::unique_ptr<void*[]> buffer,
                                               uint64_t capturedCount, uint64_t firstKept)
    : buffer_(std::move(buffer)),
      captured_count_(capturedCount),
      first_kept_(buffer_.get() + firstKept),
      kept_count_(capturedCount - firstKept) {}

void ZRBLogAddressCallstack::enumerateAddressesWithBlock(
    const std::function<void(void* address, uint64_t index, bool* stop)>& block) const {
  bool stop = false;
  for (uint64_t i = 0; i < kept_count_ && !stop; ++i) block(first_kept_[i], i, &stop);
}

bool ZRBLogAddressCallstack::isEqual(const ZRBLogCallstack* other) const {
  if (other == this) return true;
  auto* addresses = dynamic_cast<const ZRBLogAddressCallstack*>(other);
  return addresses != nullptr && addresses->kept_count_ == kept_count_ &&
         std::memcmp(addresses->first_kept_, first_kept_, kept_count_ * sizeof(void*)) == 0;
}

std::string ZRBLogAddressCallstack::description() const {
  std::string text = "<ZRBLogAddressCallstack " + platform::utility::AddressText(this) + "> { ";
  for (uint64_t i = 0; i < kept_count_; ++i) {
    if (i > 0) text += ", ";
    text += platform::utility::AddressText(first_kept_[i]);
  }
  return text + " }";
}
