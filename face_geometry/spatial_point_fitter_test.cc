#include "face_geometry/spatial_point_fitter.h"

#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "face_geometry/core_logging.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vrk {
namespace sdk {
namespace mask {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct LoggedLine {
  LogLevel level;
  std::string function;
  std::string message;
  bool operator==(const LoggedLine&) const = default;
};
std::vector<LoggedLine>* g_lines = nullptr;
void Capture(LogLevel level, const SrcPoint& src, const std::string& message) {
  g_lines->push_back({level, src.function, message});
}

class SpatialPointFitterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lines = &lines_;
    previous_ = SetLogMessageFn(&Capture);
  }
  void TearDown() override {
    SetLogMessageFn(previous_);
    g_LogLevel = INFO;
    g_lines = nullptr;
  }

  std::vector<LoggedLine> lines_;
  LogMessageFn previous_ = nullptr;
};

Eigen::Matrix3Xf Points(std::initializer_list<Eigen::Vector3f> points) {
  Eigen::Matrix3Xf m(3, points.size());
  int i = 0;
  for (const Eigen::Vector3f& p : points) m.col(i++) = p;
  return m;
}

TEST_F(SpatialPointFitterTest, RecoversExactSimilarity) {
  std::srand(7);
  const Eigen::Matrix3Xf source = Eigen::Matrix3Xf::Random(3, 20);
  const Eigen::Matrix3f rotation =
      Eigen::AngleAxisf(0.7f, Eigen::Vector3f(1, -2, 0.5).normalized()).toRotationMatrix();
  const Eigen::Vector3f offset(0.5f, -3.0f, 12.0f);
  const Eigen::Matrix3Xf target = (2.0f * rotation * source).colwise() + offset;

  Eigen::Matrix3f sr;
  Eigen::Vector3f t;
  ASSERT_TRUE(FitSpatialPoints(source, target, &sr, &t));
  EXPECT_TRUE(sr.isApprox(2.0f * rotation, 1e-5f)) << sr;
  EXPECT_TRUE(t.isApprox(offset, 1e-5f)) << t;
  EXPECT_THAT(lines_, IsEmpty());
}

TEST_F(SpatialPointFitterTest, ScaleIsSizeRatioDividedBySingularValueSum) {
  // n1 = 2, n2 = sqrt(8) and the only non-zero singular value is sqrt(0.5): s = 2.
  const Eigen::Matrix3Xf source = Points({{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}});
  const Eigen::Matrix3Xf target = Points({{2, 0, 0}, {-2, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  Eigen::Matrix3f sr;
  Eigen::Vector3f t;
  ASSERT_TRUE(FitSpatialPoints(source, target, &sr, &t));
  EXPECT_TRUE((sr * Eigen::Vector3f(1, 0, 0)).isApprox(Eigen::Vector3f(2, 0, 0), 1e-5f)) << sr;
  EXPECT_NEAR(sr.determinant(), 8.0f, 1e-4f);
  EXPECT_LT(t.norm(), 1e-6f);
}

TEST_F(SpatialPointFitterTest, MirroredTargetGivesProperRotation) {
  std::srand(11);
  const Eigen::Matrix3Xf source = Eigen::Matrix3Xf::Random(3, 12);
  Eigen::Matrix3Xf target = source;
  target.row(2) *= -1;  // mirror in the z = 0 plane

  Eigen::Matrix3f sr;
  ASSERT_TRUE(FitSpatialPoints(source, target, &sr, nullptr));
  const float scale = std::cbrt(sr.determinant());
  ASSERT_GT(scale, 0.0f);
  const Eigen::Matrix3f r = sr / scale;
  EXPECT_TRUE((r * r.transpose()).isIdentity(1e-5f));
  EXPECT_NEAR(r.determinant(), 1.0f, 1e-5f);

  // The scale uses sigma1 + sigma2 - sigma3 of the normalised cross-covariance.
  const Eigen::Matrix3Xf a = source.colwise() - source.rowwise().mean();
  const Eigen::Matrix3Xf b = target.colwise() - target.rowwise().mean();
  const Eigen::Vector3f sigma =
      Eigen::JacobiSVD<Eigen::Matrix3f>((b / b.norm()) * (a / a.norm()).transpose())
          .singularValues();
  EXPECT_NEAR(scale, b.norm() / (a.norm() * (sigma(0) + sigma(1) - sigma(2))), 1e-4f);
}

TEST_F(SpatialPointFitterTest, BadInputFailsWithoutWritingOutputs) {
  const Eigen::Matrix3Xf one = Points({{1, 2, 3}});
  const Eigen::Matrix3Xf three = Points({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
  const Eigen::Matrix3Xf four = Points({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
  const Eigen::Matrix3Xf spread = Points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  const std::string kDuplicated =
      "Points from the set are too close to each other as if it was a single duplicated "
      "point!";
  const struct {
    const Eigen::Matrix3Xf source;
    const Eigen::Matrix3Xf target;
    LoggedLine line;
  } kCases[] = {
      {three, four,
       {ERROR, "FitSpatialPoints", "Cannot fit spatial points as their number is different!"}},
      {Eigen::Matrix3Xf(3, 0), Eigen::Matrix3Xf(3, 0),
       {ERROR, "FitSpatialPoints", "Cannot fit spatial points as these sets are empty!"}},
      {one, one, {WARNING, "MoveOriginToCenterOfMassAndNormalize", kDuplicated}},
      {three, spread, {WARNING, "MoveOriginToCenterOfMassAndNormalize", kDuplicated}},
      {spread, three, {WARNING, "MoveOriginToCenterOfMassAndNormalize", kDuplicated}},
  };
  for (const auto& c : kCases) {
    lines_.clear();
    Eigen::Matrix3f sr = Eigen::Matrix3f::Constant(5);
    Eigen::Vector3f t = Eigen::Vector3f::Constant(5);
    EXPECT_FALSE(FitSpatialPoints(c.source, c.target, &sr, &t)) << c.line.message;
    EXPECT_FALSE(FitSpatialPoints(c.source, c.target, nullptr, nullptr));
    EXPECT_EQ(sr, Eigen::Matrix3f::Constant(5));
    EXPECT_EQ(t, Eigen::Vector3f::Constant(5));
    EXPECT_THAT(lines_, ElementsAre(c.line, c.line));
  }
  EXPECT_TRUE(FitSpatialPoints(spread, spread, nullptr, nullptr));

  // A raised level silences the warning but not the failure.
  g_LogLevel = ERROR;
  lines_.clear();
  EXPECT_FALSE(FitSpatialPoints(one, one, nullptr, nullptr));
  EXPECT_THAT(lines_, IsEmpty());
}

}  // namespace
}  // namespace mask
}  // namespace sdk
}  // namespace vrk
