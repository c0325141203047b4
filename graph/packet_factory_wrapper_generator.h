// The packet generator that stands in for a packet factory of an older configuration: it
// looks the factory up by name and lets it type and make its one side packet. Registered
// as "PacketFactoryWrapperGenerator"; configuration conversion puts it where factories were.

#ifndef QUILLMERE_GRAPH_PACKET_FACTORY_WRAPPER_GENERATOR_H_
#define QUILLMERE_GRAPH_PACKET_FACTORY_WRAPPER_GENERATOR_H_

#include "base/status.h"
#include "graph/packet.h"
#include "graph/packet_generator.h"
#include "graph/packet_set.h"
#include "graph/packet_type.h"
#include "graph_config/packet_factory.pb.h"
#include "graph_config/packet_generator.pb.h"

namespace pellumo {
namespace internal {

// Reaches the static functions of one packet factory class, registered by name in
// `StaticAccessToFactoryRegistry`.
class StaticAccessToFactory {
 public:
  virtual ~StaticAccessToFactory() = default;
  virtual absl::Status FillExpectations(const PacketFactoryOptions& factory_options,
                                        kaldren::PacketType* output_type) = 0;
  virtual absl::Status CreatePacket(const PacketFactoryOptions& factory_options,
                                    kaldren::Packet* packet) = 0;
};

}  // namespace internal

class PacketFactoryWrapperGenerator {
 public:
  static absl::Status FillExpectations(const PacketGeneratorOptions& extendable_options,
                                       kaldren::PacketTypeSet* input_side_packets,
                                       kaldren::PacketTypeSet* output_side_packets);
  static absl::Status Generate(const PacketGeneratorOptions& extendable_options,
                               const kaldren::PacketSet& input_side_packets,
                               kaldren::PacketSet* output_side_packets);
};

}  // namespace pellumo

#endif  // QUILLMERE_GRAPH_PACKET_FACTORY_WRAPPER_GENERATOR_H_
