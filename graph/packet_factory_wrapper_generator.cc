#include "graph/packet_factory_wrapper_generator.h"

#include <memory>

#include "base/status_macros.h"
#include "graph_config/packet_factory_wrapper_generator.pb.h"

namespace pellumo {
namespace {

const PacketFactoryWrapperGeneratorOptions& WrapperOptions(
    const PacketGeneratorOptions& extendable_options) {
  return extendable_options.HasExtension(PacketFactoryWrapperGeneratorOptions::ext)
             ? extendable_options.GetExtension(PacketFactoryWrapperGeneratorOptions::ext)
             : PacketFactoryWrapperGeneratorOptions::default_instance();
}

util::StatusOr<std::unique_ptr<internal::StaticAccessToFactory>> CreateFactory(
    const PacketFactoryWrapperGeneratorOptions& options) {
  auto factory = internal::StaticAccessToFactoryRegistry::CreateByNameInNamespace(
      options.package(), options.packet_factory());
  if (!factory.ok()) {
    return util::StatusBuilder(factory.status(), QM_LOC)
           << "Unable to find PacketFactory \"" << options.packet_factory() << "\"";
  }
  return std::move(factory).value();
}

}  // namespace

absl::Status PacketFactoryWrapperGenerator::FillExpectations(
    const PacketGeneratorOptions& extendable_options, kaldren::PacketTypeSet* input_side_packets,
    kaldren::PacketTypeSet* output_side_packets) {
  const PacketFactoryWrapperGeneratorOptions& options = WrapperOptions(extendable_options);
  ASSIGN_OR_RETURN(std::unique_ptr<internal::StaticAccessToFactory> factory,
                   CreateFactory(options));
  RETURN_IF_ERROR(factory->FillExpectations(options.options(), &output_side_packets->Index(0)))
          .SetPrepend()
      << options.packet_factory() << "::FillExpectations() failed: ";
  return absl::OkStatus();
}

absl::Status PacketFactoryWrapperGenerator::Generate(
    const PacketGeneratorOptions& extendable_options,
    const kaldren::PacketSet& input_side_packets, kaldren::PacketSet* output_side_packets) {
  const PacketFactoryWrapperGeneratorOptions& options = WrapperOptions(extendable_options);
  ASSIGN_OR_RETURN(std::unique_ptr<internal::StaticAccessToFactory> factory,
                   CreateFactory(options));
  // Validation has checked this; a direct call with another set must not end the process.
  RET_CHECK(output_side_packets->GetId("", 0).IsValid())
      << "The output side packet of a packet factory must be untagged.";
  RETURN_IF_ERROR(factory->CreatePacket(options.options(), &output_side_packets->Index(0)))
          .SetPrepend()
      << options.packet_factory() << "::CreatePacket() failed: ";
  return absl::OkStatus();
}

REGISTER_PACKET_GENERATOR(PacketFactoryWrapperGenerator);

}  // namespace pellumo
