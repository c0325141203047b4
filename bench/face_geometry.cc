// Time per face of the face transform pipeline on the canonical 468-vertex model, and of
// the Procrustes step beside Eigen's umeyama on the same points. Single thread.
#include <Eigen/Geometry>
#include <memory>
#include <vector>

#include "benchmark/benchmark.h"
#include "face_geometry/face_transform_pipeline.h"
#include "face_geometry/procrustes_solver.h"
#include "face_geometry/testing/projected_landmarks.h"
#include "tools/canonical_face_model.h"

namespace quorrel {
namespace face_transform {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

std::vector<Eigen::Vector3f> Landmarks(const FaceModelT& model, const CameraParameters& camera) {
  return testing::ProjectedLandmarks(model, camera, kWidth, kHeight,
                                     testing::EulerRotation(-10, 25, 5),
                                     Eigen::Vector3f(4, -3, -55));
}

void RunPipeline(benchmark::State& state, const SpaceParameters& parameters) {
  const auto model = tools::MakeCanonicalFaceModel();
  auto handler = Handler::Create(parameters, *model);
  if (!handler.ok()) {
    state.SkipWithError("handler creation failed");
    return;
  }
  const std::vector<Eigen::Vector3f> landmarks =
      Landmarks(*model, (*handler)->GetSpaceTransform().camera_parameters);
  for (auto _ : state) {
    auto transform = (*handler)->GetTransform(landmarks);
    benchmark::DoNotOptimize(transform);
  }
}

void BM_FaceTransformCameraFrameSpace(benchmark::State& state) {
  RunPipeline(state, *CreateCameraFrameSpaceParameters(kWidth, kHeight));
}
BENCHMARK(BM_FaceTransformCameraFrameSpace)->Unit(benchmark::kMicrosecond);

void BM_FaceTransformMetricSpace(benchmark::State& state) {
  RunPipeline(state, *CreateMetricSpaceParameters(kWidth, kHeight));
}
BENCHMARK(BM_FaceTransformMetricSpace)->Unit(benchmark::kMicrosecond);

// The two heaviest stages alone, on the face-space vertices of one camera-frame transform.
std::vector<Eigen::Vector3f> FaceSpaceVertices(const FaceModelT& model) {
  auto handler = Handler::Create(*CreateCameraFrameSpaceParameters(kWidth, kHeight), model);
  auto transform =
      (*handler)->GetTransform(Landmarks(model, (*handler)->GetSpaceTransform().camera_parameters));
  std::vector<Eigen::Vector3f> vertices;
  for (const Vertex& vertex : transform->mesh.vertices) vertices.push_back(vertex.position);
  return vertices;
}

void BM_MeshEstimate(benchmark::State& state) {
  const auto model = tools::MakeCanonicalFaceModel();
  const std::vector<Eigen::Vector3f> vertices = FaceSpaceVertices(*model);
  auto estimator = MeshEstimator::Create(*model);
  for (auto _ : state) {
    auto mesh = (*estimator)->Estimate(vertices);
    benchmark::DoNotOptimize(mesh);
  }
}
BENCHMARK(BM_MeshEstimate)->Unit(benchmark::kMicrosecond);

void BM_RegionTransforms(benchmark::State& state) {
  const auto model = tools::MakeCanonicalFaceModel();
  const std::vector<Eigen::Vector3f> vertices = FaceSpaceVertices(*model);
  auto estimator = RegionTransformEstimator::Create(*model);
  for (auto _ : state) {
    auto transforms = (*estimator)->Estimate(vertices);
    benchmark::DoNotOptimize(transforms);
  }
}
BENCHMARK(BM_RegionTransforms)->Unit(benchmark::kMicrosecond);

// All 468 canonical points onto the same points under a similarity.
struct PointSets {
  std::vector<Eigen::Vector3f> source;
  std::vector<Eigen::Vector3f> target;
};

PointSets MakePointSets() {
  const auto model = tools::MakeCanonicalFaceModel();
  PointSets sets;
  const Eigen::Matrix3f rotation = testing::EulerRotation(-10, 25, 5);
  for (size_t i = 0; i + 2 < model->vertex_positions.size(); i += 3) {
    const Eigen::Vector3f p(model->vertex_positions[i], model->vertex_positions[i + 1],
                            model->vertex_positions[i + 2]);
    sets.source.push_back(p);
    sets.target.push_back(1.7f * rotation * p + Eigen::Vector3f(4, -3, -55));
  }
  return sets;
}

void RunProcrustes(benchmark::State& state, int algorithm) {
  const PointSets sets = MakePointSets();
  const auto solvers = CreateAllExistingProcrustesSolverCollection();
  auto solver = solvers->GetProcrustesSolver(algorithm);
  if (!solver.ok()) {
    state.SkipWithError("no solver");
    return;
  }
  for (auto _ : state) {
    auto transform = (*solver)->SolveOrthogonalProblem(sets.source, sets.target);
    benchmark::DoNotOptimize(transform);
  }
}

void BM_ProcrustesFloat468(benchmark::State& state) { RunProcrustes(state, 1); }
BENCHMARK(BM_ProcrustesFloat468)->Unit(benchmark::kMicrosecond);

void BM_ProcrustesDouble468(benchmark::State& state) { RunProcrustes(state, 2); }
BENCHMARK(BM_ProcrustesDouble468)->Unit(benchmark::kMicrosecond);

void BM_ProcrustesPointFitter468(benchmark::State& state) { RunProcrustes(state, 0); }
BENCHMARK(BM_ProcrustesPointFitter468)->Unit(benchmark::kMicrosecond);

void BM_EigenUmeyama468(benchmark::State& state) {
  const PointSets sets = MakePointSets();
  for (auto _ : state) {
    // The copy into matrices is part of the work, as it is for the solvers.
    Eigen::Matrix3Xf source(3, sets.source.size()), target(3, sets.target.size());
    for (size_t i = 0; i < sets.source.size(); ++i) {
      source.col(i) = sets.source[i];
      target.col(i) = sets.target[i];
    }
    Eigen::Matrix4f transform = Eigen::umeyama(source, target, true);
    benchmark::DoNotOptimize(transform);
  }
}
BENCHMARK(BM_EigenUmeyama468)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace face_transform
}  // namespace quorrel

BENCHMARK_MAIN();
