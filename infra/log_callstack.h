// Call stacks captured for internal log reports: the base ZRBLogCallstack and its two forms,
// symbol texts (ZRBLogSymbolCallstack) and raw return addresses (ZRBLogAddressCallstack).
//
// The capture operations drop their own frames and then `count` more, so that with a count of
// 0 the first kept frame is the caller of the capture:
//
//   auto stack = ZRBLogAddressCallstack::addressCallstackIgnoringFrameCount(0);
//   stack->enumerateAddressesWithBlock([](void* address, uint64_t index, bool* stop) { ... });
//
// The address form does not symbolise and is what log reports capture by default. Both forms
// are immutable after construction and may be shared between threads.
#ifndef INFRA_LOG_CALLSTACK_H_
#define INFRA_LOG_CALLSTACK_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/utility/format.h"

class ZRBLogCallstack : public platform::utility::Describing {
 public:
  virtual bool isEqual(const ZRBLogCallstack* other) const = 0;
  virtual uint64_t hash() const = 0;
};

class ZRBLogSymbolCallstack : public ZRBLogCallstack {
 public:
  // The current thread's frames as the platform's texts, without this operation's own frame
  // and `count` more; null when fewer frames than that exist.
  static std::shared_ptr<ZRBLogSymbolCallstack> symbolCallstackIgnoringFrameCount(uint64_t count);
  static std::shared_ptr<ZRBLogSymbolCallstack> initWithSymbols(std::vector<std::string> symbols);

  // One text per frame, innermost first.
  const std::vector<std::string>& symbols() const { return symbols_; }

  bool isEqual(const ZRBLogCallstack* other) const override;
  uint64_t hash() const override;
  // "(" then the symbols, one per line, then ")".
  std::string description() const override;

  explicit ZRBLogSymbolCallstack(std::vector<std::string> symbols)
      : symbols_(std::move(symbols)) {}

 private:
  std::vector<std::string> symbols_;
};

class ZRBLogAddressCallstack : public ZRBLogCallstack {
 public:
  // The current thread's return addresses without this operation's own frames and `count`
  // more; null when none is left or memory cannot be had.
  static std::shared_ptr<ZRBLogAddressCallstack> addressCallstackIgnoringFrameCount(
      uint64_t count);
  // Captures and drops the first `count` + 1 addresses (this initializer and `count` callers).
  static std::shared_ptr<ZRBLogAddressCallstack> initWithAddressesIgnoringFrameCount(
      uint64_t count);

  uint64_t frameCount() const { return kept_count_; }
  // Calls `block` with each kept address and its index (from 0) until it sets *stop.
  void enumerateAddressesWithBlock(
      const std::function<void(void* address, uint64_t index, bool* stop)>& block) const;

  // Same frame count and the same kept addresses.
  bool isEqual(const ZRBLogCallstack* other) const override;
  uint64_t hash() const override { return kept_count_; }
  // "<ZRBLogAddressCallstack 0x...> { 0x..., 0x... }".
  std::string description() const override;

  ZRBLogAddressCallstack(std::unique_ptr<void*[]> buffer, uint64_t capturedCount,
                         uint64_t firstKept);

 private:
  std::unique_ptr<void*[]> buffer_;
  uint64_t captured_count_;
  void** first_kept_;
  uint64_t kept_count_;
};

#endif  // INFRA_LOG_CALLSTACK_H_
