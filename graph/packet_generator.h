// Packet generators: components that make side packets from side packets before a graph
// runs. A generator class has two static functions,
//
//   static absl::Status FillExpectations(const pellumo::PacketGeneratorOptions& options,
//                                        PacketTypeSet* input_side_packets,
//                                        PacketTypeSet* output_side_packets);
//   static absl::Status Generate(const pellumo::PacketGeneratorOptions& options,
//                                const PacketSet& input_side_packets,
//                                PacketSet* output_side_packets);
//
// and is registered by name with REGISTER_PACKET_GENERATOR(Class), which stores its
// accessor, `StaticAccessToGeneratorTyped<Class>`, in the packet generator registry.

#ifndef QUILLMERE_GRAPH_PACKET_GENERATOR_H_
#define QUILLMERE_GRAPH_PACKET_GENERATOR_H_

#include "base/status.h"
#include "graph/packet_set.h"
#include "graph/packet_type.h"
#include "graph/registration_macros.h"
#include "graph_config/packet_generator.pb.h"

namespace kaldren {
namespace internal {

// Reaches the static functions of one generator class.
class StaticAccessToGenerator {
 public:
  virtual ~StaticAccessToGenerator() = default;
  virtual absl::Status FillExpectations(const pellumo::PacketGeneratorOptions& extendable_options,
                                        PacketTypeSet* input_side_packets,
                                        PacketTypeSet* output_side_packets) = 0;
  virtual absl::Status Generate(const pellumo::PacketGeneratorOptions& extendable_options,
                                const PacketSet& input_side_packets,
                                PacketSet* output_side_packets) = 0;
};

template <typename T>
class StaticAccessToGeneratorTyped : public StaticAccessToGenerator {
 public:
  absl::Status FillExpectations(const pellumo::PacketGeneratorOptions& extendable_options,
                                PacketTypeSet* input_side_packets,
                                PacketTypeSet* output_side_packets) final {
    return T::FillExpectations(extendable_options, input_side_packets, output_side_packets);
  }
  absl::Status Generate(const pellumo::PacketGeneratorOptions& extendable_options,
                        const PacketSet& input_side_packets,
                        PacketSet* output_side_packets) final {
    return T::Generate(extendable_options, input_side_packets, output_side_packets);
  }
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_PACKET_GENERATOR_H_
