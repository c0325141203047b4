// KJPProvider: hands out a value computed by a block each time it is asked; nothing is cached.
//
//   auto now = KJPProvider<int64_t>::providerWithBlock([clock] { return clock->now(); });
//   int64_t a = now->get();  // runs the block
//   int64_t b = now->get();  // runs it again
//
// The block runs on the caller's thread without a lock.
#ifndef INFRA_PROVIDER_H_
#define INFRA_PROVIDER_H_

#include <functional>
#include <memory>

namespace infra::internal {
// The fault report of a provider made without a block.
void ReportProviderWithoutBlock();
}  // namespace infra::internal

template <typename T>
class KJPProvider {
 public:
  using Block = std::function<T()>;

  static std::shared_ptr<KJPProvider> providerWithBlock(Block block) {
    return initWithBlock(std::move(block));
  }
  // Null after a fault report when `block` is empty.
  static std::shared_ptr<KJPProvider> initWithBlock(Block block) {
    if (!block) {
      infra::internal::ReportProviderWithoutBlock();
      return nullptr;
    }
    return std::make_shared<KJPProvider>(std::move(block));
  }

  T get() const { return block_(); }

  explicit KJPProvider(Block block) : block_(std::move(block)) {}

 private:
  Block block_;
};

#endif  // INFRA_PROVIDER_H_
