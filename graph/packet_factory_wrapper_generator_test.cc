#include "graph/packet_factory_wrapper_generator.h"

#include <memory>
#include <string>

#include "gmock/gmock.h"
#include "graph_config/packet_factory_wrapper_generator.pb.h"
#include "graph_config/tag_map.h"
#include "gtest/gtest.h"

namespace pellumo {
namespace {

// Makes an int side packet of 7; the factory name "Failing" fails both calls.
class TestFactory : public internal::StaticAccessToFactory {
 public:
  explicit TestFactory(bool fail) : fail_(fail) {}
  absl::Status FillExpectations(const PacketFactoryOptions&, kaldren::PacketType* type) override {
    if (fail_) return absl::InvalidArgumentError("no type");
    type->Set<int>();
    return absl::OkStatus();
  }
  absl::Status CreatePacket(const PacketFactoryOptions&, kaldren::Packet* packet) override {
    if (fail_) return absl::InvalidArgumentError("no packet");
    *packet = kaldren::MakePacket<int>(7);
    return absl::OkStatus();
  }

 private:
  bool fail_;
};

const kaldren::Unregister kTestFactories[] = {
    kaldren::Unregister(internal::StaticAccessToFactoryRegistry::Register(
        "::pkg::TestFactory", [] { return std::make_unique<TestFactory>(false); })),
    kaldren::Unregister(internal::StaticAccessToFactoryRegistry::Register(
        "Failing", [] { return std::make_unique<TestFactory>(true); })),
};

PacketGeneratorOptions Wrap(const std::string& package, const std::string& factory) {
  PacketGeneratorOptions options;
  auto* wrapper = options.MutableExtension(PacketFactoryWrapperGeneratorOptions::ext);
  wrapper->set_package(package);
  wrapper->set_packet_factory(factory);
  return options;
}

std::shared_ptr<kaldren::tool::TagMap> OneEntry() {
  google::protobuf::RepeatedPtrField<std::string> entries;
  entries.Add("made");
  return kaldren::tool::TagMap::Create(entries).value();
}

TEST(PacketFactoryWrapperGeneratorTest, TypesAndMakesThroughTheFactory) {
  kaldren::PacketTypeSet inputs(kaldren::tool::TagMap::Create(
                                    google::protobuf::RepeatedPtrField<std::string>())
                                    .value());
  kaldren::PacketTypeSet outputs(OneEntry());
  ASSERT_TRUE(
      PacketFactoryWrapperGenerator::FillExpectations(Wrap("pkg", "TestFactory"), &inputs, &outputs)
          .ok());
  EXPECT_TRUE(kaldren::ValidatePacketTypeSet(outputs).ok());

  kaldren::PacketSet input_packets(inputs.GetTagMap());
  kaldren::PacketSet output_packets(OneEntry());
  ASSERT_TRUE(PacketFactoryWrapperGenerator::Generate(Wrap("pkg", "TestFactory"), input_packets,
                                                      &output_packets)
                  .ok());
  EXPECT_EQ(output_packets.Index(0).Get<int>(), 7);
}

TEST(PacketFactoryWrapperGeneratorTest, FailuresNameTheFactory) {
  kaldren::PacketTypeSet inputs(OneEntry());
  kaldren::PacketTypeSet outputs(OneEntry());
  absl::Status missing =
      PacketFactoryWrapperGenerator::FillExpectations(Wrap("pkg", "Missing"), &inputs, &outputs);
  EXPECT_EQ(missing.code(), absl::StatusCode::kNotFound);
  EXPECT_EQ(missing.message(),
            "No registered object with name: Missing; Unable to find PacketFactory \"Missing\"");

  absl::Status failing =
      PacketFactoryWrapperGenerator::FillExpectations(Wrap("", "Failing"), &inputs, &outputs);
  EXPECT_EQ(failing.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(failing.message(), "Failing::FillExpectations() failed: no type");

  kaldren::PacketSet packets(OneEntry());
  absl::Status create =
      PacketFactoryWrapperGenerator::Generate(Wrap("", "Failing"), packets, &packets);
  EXPECT_EQ(create.message(), "Failing::CreatePacket() failed: no packet");
}

}  // namespace
}  // namespace pellumo
