#include "usage_log/trassen_uploader.h"

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "usage_log/uploader_test_util.h"

namespace {

using ::testing::ElementsAre;
using ::testing::SizeIs;

TEST_F(UploaderTest, ARunSendsEveryFinishedFileAndDeletesWhatWasAccepted) {
  std::string folder = ContextFolder("0", "a", Context(700));
  std::string file = WriteLog(folder, "1", "\x02\x08\x01");
  auto uploader = Make();
  UploadOutcome outcome = Upload(uploader);
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(outcome.error, nullptr);
  EXPECT_FALSE(Exists(file));
  EXPECT_THAT(Bodies("/log/batch"), SizeIs(1));
}

}  // namespace
