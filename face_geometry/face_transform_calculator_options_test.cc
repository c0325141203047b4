#include <cstdio>
#include <string>

#include "face_geometry/face_transform_calculator.pb.h"
#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace pellumo {
namespace quorrel {
namespace {

// What `protoc --decode_raw` makes of `bytes`: an independent reading of the wire format.
std::string DecodeRaw(const std::string& bytes) {
  platform::foundation::ScopedTestFolder folder;
  const std::string path = folder.Path("options.bin");
  FILE* file = fopen(path.c_str(), "wb");
  EXPECT_NE(file, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  const std::string command = std::string(QM_PROTOC) + " --decode_raw < " + path;
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[256];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0);
  return output;
}

TEST(FaceTransformCalculatorOptionsTest, WireFormatOfPathAndSpaceType) {
  FaceTransformCalculatorOptions options;
  options.set_face_model_path("a");
  options.set_space_type(FaceTransformCalculatorOptions::METRIC_SPACE);
  const std::string bytes = options.SerializeAsString();
  EXPECT_EQ(bytes, std::string("\x0A\x01\x61\x50\x02", 5));
  EXPECT_EQ(DecodeRaw(bytes), "1: \"a\"\n10: 2\n");

  FaceTransformCalculatorOptions parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes));
  EXPECT_TRUE(parsed.has_face_model_path());
  EXPECT_EQ(parsed.face_model_path(), "a");
  EXPECT_TRUE(parsed.has_space_type());
  EXPECT_EQ(parsed.space_type(), FaceTransformCalculatorOptions::METRIC_SPACE);
  EXPECT_FALSE(parsed.has_init_mode());
  EXPECT_EQ(parsed.GetTypeName(), "pellumo.quorrel.FaceTransformCalculatorOptions");
}

TEST(FaceTransformCalculatorOptionsTest, UnknownValuesAndFieldsAreKeptAsUnknownFields) {
  // space_type 3, screen_origin_location 7, init_mode 5: out of range for their enumerations;
  // field 99 is unknown; field 2 (a float) arrives as a varint; then a valid far_z.
  const std::string bytes("\x50\x03\x28\x07\x30\x05\x98\x06\x01\x10\x05\x65\x00\x00\x80\x3f", 16);
  FaceTransformCalculatorOptions parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes));
  EXPECT_FALSE(parsed.has_space_type());
  EXPECT_EQ(parsed.space_type(), FaceTransformCalculatorOptions::DEFAULT_SPACE_TYPE);
  EXPECT_FALSE(parsed.has_screen_origin_location());
  EXPECT_FALSE(parsed.has_init_mode());
  EXPECT_FALSE(parsed.has_vertical_fov_degrees());
  EXPECT_TRUE(parsed.has_far_z());
  EXPECT_EQ(parsed.far_z(), 1.0f);

  // Known fields first, then the unknown ones verbatim, in arrival order.
  EXPECT_EQ(DecodeRaw(parsed.SerializeAsString()),
            "12: 0x3f800000\n10: 3\n5: 7\n6: 5\n99: 1\n2: 5\n");
}

TEST(FaceTransformCalculatorOptionsTest, IsRegisteredAsAnExtensionOfCalculatorOptions) {
  CalculatorOptions written;
  written.MutableExtension(FaceTransformCalculatorOptions::ext)->set_face_model_path("model.bin");
  CalculatorOptions read;
  ASSERT_TRUE(read.ParseFromString(written.SerializeAsString()));
  ASSERT_TRUE(read.HasExtension(FaceTransformCalculatorOptions::ext));
  EXPECT_EQ(read.GetExtension(FaceTransformCalculatorOptions::ext).face_model_path(), "model.bin");
  EXPECT_EQ(FaceTransformCalculatorOptions::kExtFieldNumber, 197980346);
}

}  // namespace
}  // namespace quorrel
}  // namespace pellumo
