// A model file's network as XNNPACK operators over float buffers, bound once, run on the calling
// thread: what one would write by hand for the network, and so the yardstick the benchmarks hold
// the model runner and the face pipeline against. Reshapes share their input's buffer;
// concatenation is one strided copy per input. An operator without an XNNPACK form aborts.

#ifndef BENCH_XNNPACK_REFERENCE_NETWORK_H_
#define BENCH_XNNPACK_REFERENCE_NETWORK_H_

#include <cstdint>
#include <memory>
#include <vector>

struct xnn_operator;

namespace quillmere_bench {

class XnnpackReferenceNetwork {
 public:
  explicit XnnpackReferenceNetwork(const std::vector<uint8_t>& file);
  ~XnnpackReferenceNetwork();
  XnnpackReferenceNetwork(const XnnpackReferenceNetwork&) = delete;
  XnnpackReferenceNetwork& operator=(const XnnpackReferenceNetwork&) = delete;

  // One inference on whatever the input buffer holds.
  void Run();
  // The first value of the last tensor, to keep the work observable.
  float First() const { return (*buffers_.back())[0]; }

 private:
  std::vector<std::shared_ptr<std::vector<float>>> buffers_;
  std::vector<xnn_operator*> ops_;
};

}  // namespace quillmere_bench

#endif  // BENCH_XNNPACK_REFERENCE_NETWORK_H_
