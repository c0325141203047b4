#include "graph/type_map.h"

#include <string>

#include "gtest/gtest.h"

namespace kaldren {
namespace {

struct Registered {};
struct Serialized {};

PELLUMO_REGISTER_TYPE(Registered, "::test::Registered", nullptr, nullptr);
PELLUMO_REGISTER_TYPE(Serialized, "::test::Serialized", nullptr, nullptr);

using IdMap = PacketTypeIdToPellumoTypeData;
using StringMap = PacketTypeStringToPellumoTypeData;

PellumoTypeData Data(uint64_t id, const std::string& name) {
  PellumoTypeData data;
  data.type_id = id;
  data.type_string = name;
  return data;
}

absl::Status Serialize(const packet_internal::HolderBase&, std::string*) {
  return absl::OkStatus();
}
absl::Status Deserialize(const std::string&, std::unique_ptr<packet_internal::HolderBase>*) {
  return absl::OkStatus();
}

TEST(TypeMapTest, RegisteredTypesAreFoundInBothMaps) {
  const uint64_t id = tool::GetTypeHash<Registered>();
  ASSERT_NE(IdMap::GetValue(id), nullptr);
  EXPECT_EQ(IdMap::GetValue(id)->type_string, "::test::Registered");
  ASSERT_NE(StringMap::GetValue("::test::Registered"), nullptr);
  EXPECT_EQ(StringMap::GetValue("::test::Registered")->type_id, id);
  EXPECT_EQ(PellumoTypeStringOrDemangled<Registered>(), "::test::Registered");
  EXPECT_EQ(IdMap::GetValue(tool::GetTypeHash<int>()), nullptr);
  EXPECT_EQ(PellumoTypeStringOrDemangled<int>(), "int");
}

TEST(TypeMapTest, RepeatedRegistrationWithoutFunctionsKeepsTheFirst) {
  const uint64_t id = tool::GetTypeHash<Registered>();
  testing::internal::CaptureStderr();
  IdMap::ValueInserter again("again.cc:1", id, Data(id, "::test::Registered"));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Ignore pellumo type registration of type ::test::Registered at "
                     "again.cc:1, since type has been registered with serialization "
                     "functions at "),
            std::string::npos)
      << log;
  EXPECT_FALSE(IdMap::GetValue(id)->serialize_fn);
}

TEST(TypeMapTest, SerializationFunctionsMayBeAddedOnce) {
  const uint64_t id = tool::GetTypeHash<Serialized>();
  PellumoTypeData with_functions = Data(id, "::test::Serialized");
  with_functions.serialize_fn = Serialize;
  with_functions.deserialize_fn = Deserialize;
  testing::internal::CaptureStderr();
  IdMap::ValueInserter redo("redo.cc:7", id, with_functions);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Redo pellumo type registration of type ::test::Serialized with "
                     "serialization function at redo.cc:7. It was registered at "),
            std::string::npos)
      << log;
  EXPECT_TRUE(IdMap::GetValue(id)->serialize_fn);
  EXPECT_DEATH(IdMap::ValueInserter("twice.cc:9", id, with_functions),
               "Check failed: !existing_data.serialize_fn && !existing_data.deserialize_fn "
               "Attempting to redefine serialization functions of type ::test::Serialized, "
               "that have been defined at redo.cc:7, at twice.cc:9");
}

using TypeMapDeathTest = ::testing::Test;

TEST_F(TypeMapDeathTest, ConflictingRegistrations) {
  const uint64_t id = tool::GetTypeHash<Registered>();
  EXPECT_DEATH(IdMap::ValueInserter("other.cc:3", id, Data(id, "::test::Other")),
               "Check failed: existing_data.type_string == value.type_string Found inconsistent "
               "type strings \\(::test::Registered vs ::test::Other\\) during pellumo type "
               "registration. Previous registration at .* and current registration at "
               "other.cc:3");
  EXPECT_DEATH(StringMap::ValueInserter("other.cc:4", "::test::Registered", Data(id + 1,
                                        "::test::Registered")),
               "Check failed: existing_data.type_id == value.type_id Found inconsistent type ids");
  PellumoTypeData half = Data(id, "::test::Registered");
  half.serialize_fn = Serialize;
  EXPECT_DEATH(IdMap::ValueInserter("half.cc:5", id, half),
               "Invalid pellumo type registration at half.cc:5. Serialization functions should "
               "be provided at the same time.");
}

}  // namespace
}  // namespace kaldren
